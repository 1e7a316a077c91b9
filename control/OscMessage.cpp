// OSC packets to commands and messages to packets, through liblo.
#include "control/OscMessage.h"

#include <lo/lo.h>

#include <cstring>
#include <memory>

namespace control {

namespace {

struct MessageFree {
    void operator()(lo_message message) const { lo_message_free(message); }
};
using MessagePtr = std::unique_ptr<std::remove_pointer_t<lo_message>, MessageFree>;

Parsed Refused(std::string reason) {
    return {false, {}, std::move(reason)};
}

// OSC arguments are aligned to 4 bytes only, so an 8-byte lo_arg member
// cannot be read in place.
template <typename T>
T Read(const void* where) {
    T value;
    std::memcpy(&value, where, sizeof value);
    return value;
}

std::string Snippet(std::string_view text) {
    constexpr size_t kShown = 64;
    return text.size() > kShown ? std::string(text.substr(0, kShown)) + "..." : std::string(text);
}

}  // namespace

Parsed ParseOscPacket(const uint8_t* data, size_t size) {
    static constexpr char kBundle[8] = "#bundle";
    if (size >= sizeof kBundle && std::memcmp(data, kBundle, sizeof kBundle) == 0) {
        return Refused("bundles are not accepted, send single messages");
    }
    if (size == 0) return Refused("empty packet");
    // liblo takes a writable buffer; the caller's bytes stay as they are.
    std::vector<uint8_t> bytes(data, data + size);
    int result = 0;
    const MessagePtr message(lo_message_deserialise(bytes.data(), size, &result));
    if (!message) return Refused("not an OSC message (liblo error " + std::to_string(result) + ")");
    // A message liblo accepted begins with its address, terminated inside it.
    const std::string_view path(reinterpret_cast<const char*>(bytes.data()),
                                strnlen(reinterpret_cast<const char*>(bytes.data()), size));
    if (!path.starts_with(kOscPrefix)) return Refused("unknown address " + Snippet(path));
    const std::string_view name = path.substr(kOscPrefix.size());

    const int argc = lo_message_get_argc(message.get());
    const char* types = lo_message_get_types(message.get());
    lo_arg** argv = lo_message_get_argv(message.get());
    std::vector<Arg> args;
    for (int i = 0; i < argc; ++i) {
        const void* value = argv[i];
        switch (types[i]) {
            case LO_INT32:
                args.push_back(Arg::Num(Read<int32_t>(value)));
                break;
            case LO_FLOAT:
                args.push_back(Arg::Num(Read<float>(value)));
                break;
            case LO_DOUBLE:
                args.push_back(Arg::Num(Read<double>(value)));
                break;
            case LO_INT64:
                args.push_back(Arg::Num(static_cast<double>(Read<int64_t>(value))));
                break;
            case LO_TRUE:
                args.push_back(Arg::Num(1));
                break;
            case LO_FALSE:
                args.push_back(Arg::Num(0));
                break;
            case LO_STRING:
            case LO_SYMBOL:
                args.push_back(Arg::Str(static_cast<const char*>(value)));
                break;
            default:
                return Refused(Snippet(name) + ": argument " + std::to_string(i + 1) +
                               " has the OSC type '" + types[i] + "'; numbers and strings only");
        }
    }
    return BuildCommand(name, args);
}

std::vector<uint8_t> SerialiseOsc(const OscMessage& message) {
    const MessagePtr built(lo_message_new());
    if (!built) return {};
    for (const OscValue& value : message.args) {
        int failed = 0;
        if (const auto* i = std::get_if<int32_t>(&value)) {
            failed = lo_message_add_int32(built.get(), *i);
        } else if (const auto* f = std::get_if<float>(&value)) {
            failed = lo_message_add_float(built.get(), *f);
        } else {
            failed = lo_message_add_string(built.get(), std::get<std::string>(value).c_str());
        }
        if (failed != 0) return {};
    }
    size_t size = lo_message_length(built.get(), message.path.c_str());
    std::vector<uint8_t> bytes(size);
    if (lo_message_serialise(built.get(), message.path.c_str(), bytes.data(), &size) == nullptr) {
        return {};
    }
    bytes.resize(size);
    return bytes;
}

}  // namespace control
