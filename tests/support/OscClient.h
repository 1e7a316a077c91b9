// A liblo OSC client for tests: sends /cantabile/ messages from a port of its
// own and records what comes back there as text: "/cantabile/ok level",
// "/cantabile/status 1 playing /x/a.wav 1.5 3 -6 0".
#pragma once

#include <lo/lo.h>
#include <sys/socket.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

using Texts = std::vector<std::string>;

class OscClient {
  public:
    explicit OscClient(int port)
        : server_(lo_server_new_with_proto(nullptr, LO_UDP, nullptr)),
          target_(lo_address_new("127.0.0.1", std::to_string(port).c_str())) {
        lo_server_add_method(server_, nullptr, nullptr, &OscClient::Record, this);
        const int bytes = 1 << 20;  // room for every reply a window can bring
        setsockopt(lo_server_get_socket_fd(server_), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
    ~OscClient() {
        lo_address_free(target_);
        lo_server_free(server_);
    }
    template <typename... Args>
    void Send(const char* name, const char* types, Args... args) {
        lo_message message = lo_message_new();
        lo_message_add(message, types, args...);
        lo_send_message_from(target_, server_, (std::string("/cantabile/") + name).c_str(),
                             message);
        lo_message_free(message);
    }
    Texts Ask(const char* name) { return Send(name, ""), Take(1); }
    // Receives what has come, waiting up to ms for the first.
    void Wait(int ms) {
        while (lo_server_recv_noblock(server_, ms) > 0) ms = 0;
    }
    // What has come, once `count` messages have (or 10 s have passed).
    Texts Take(size_t count) {
        for (int i = 0; i < 1000 && got_.size() < count; ++i) Wait(10);
        return std::exchange(got_, {});
    }
    lo_server server_;
    lo_address target_;
    Texts got_;

  private:
    static int Record(const char* path, const char* types, lo_arg** argv, int argc, lo_message,
                      void* self) {
        std::string text = path;
        for (int i = 0; i < argc; ++i) {
            char value[32];
            if (types[i] != 's')
                std::snprintf(value, sizeof value, "%Lg", lo_hires_val(lo_type(types[i]), argv[i]));
            text += " " + std::string(types[i] == 's' ? reinterpret_cast<char*>(argv[i]) : value);
        }
        static_cast<OscClient*>(self)->got_.push_back(text);
        return 0;
    }
};
