// A JACK client of the test's own that captures the given output ports, one
// input each, until its buffers are full, and counts the server's xruns
// meanwhile (each may cost the capture a period).
#pragma once

#include <jack/jack.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

class JackCapture {
  public:
    explicit JackCapture(size_t capacity) : capacity_(capacity) {}
    ~JackCapture() { Close(); }

    // Registers `ports` inputs and activates the client. Activated before
    // the player's client, the capture runs after it in every cycle.
    bool Open(size_t ports) {
        jack_status_t status;
        client_ = jack_client_open("capture", JackNoStartServer, &status);
        if (client_ == nullptr) return false;
        for (size_t c = 0; c < ports; ++c) {
            const std::string name = "in_" + std::to_string(c + 1);
            ports_.push_back(jack_port_register(client_, name.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                                JackPortIsInput, 0));
            if (ports_.back() == nullptr) return false;
            data_.emplace_back(capacity_, 0.0f);
        }
        jack_set_process_callback(client_, &JackCapture::OnProcess, this);
        jack_set_xrun_callback(client_, &JackCapture::OnXrun, this);
        return jack_activate(client_) == 0;
    }

    // Connects source k to input k and waits until the server has published
    // the connections (it does so with its next graph).
    bool Connect(const std::vector<std::string>& sources) {
        for (size_t c = 0; c < sources.size() && c < ports_.size(); ++c)
            if (jack_connect(client_, sources[c].c_str(), jack_port_name(ports_[c])) != 0)
                return false;
        const auto start = std::chrono::steady_clock::now();
        for (size_t c = 0; c < sources.size() && c < ports_.size(); ++c) {
            while (jack_port_connected(ports_[c]) == 0) {
                if (std::chrono::steady_clock::now() - start > std::chrono::seconds(3))
                    return false;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        return true;
    }

    // The ports `port` is connected to, as the server sees it.
    std::vector<std::string> ConnectionsOf(const char* port) const {
        std::vector<std::string> names;
        const char** list =
            jack_port_get_all_connections(client_, jack_port_by_name(client_, port));
        for (int i = 0; list != nullptr && list[i] != nullptr; ++i) names.emplace_back(list[i]);
        jack_free(list);
        return names;
    }

    size_t Capacity() const { return capacity_; }
    size_t Frames() const { return frames_.load(std::memory_order_acquire); }
    uint32_t Xruns() const { return xruns_.load(std::memory_order_acquire); }
    float At(size_t port, size_t frame) const { return data_[port][frame]; }

    void Close() {
        if (client_ != nullptr) jack_client_close(client_);
        client_ = nullptr;
    }

  private:
    static int OnProcess(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<JackCapture*>(arg);
        const size_t at = self->frames_.load(std::memory_order_relaxed);
        const size_t n = std::min<size_t>(frames, self->capacity_ - at);
        for (size_t c = 0; c < self->ports_.size() && n > 0; ++c) {
            const auto* in =
                static_cast<const float*>(jack_port_get_buffer(self->ports_[c], frames));
            std::memcpy(&self->data_[c][at], in, n * sizeof(float));
        }
        self->frames_.store(at + n, std::memory_order_release);
        return 0;
    }

    static int OnXrun(void* arg) {
        auto* self = static_cast<JackCapture*>(arg);
        if (self->Frames() < self->capacity_) self->xruns_.fetch_add(1, std::memory_order_acq_rel);
        return 0;
    }

    const size_t capacity_;
    jack_client_t* client_ = nullptr;
    std::vector<jack_port_t*> ports_;
    std::vector<std::vector<float>> data_;
    std::atomic<size_t> frames_{0};   // written by the process thread
    std::atomic<uint32_t> xruns_{0};  // written by the notification thread
};
