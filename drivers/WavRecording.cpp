#include "drivers/WavRecording.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <new>

#include "diag/DebugLog.h"

namespace drivers {

namespace {

void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

// Writes all of it, or reports the errno that stopped it.
bool WriteAll(int fd, const uint8_t* data, size_t bytes, int* error) {
    while (bytes > 0) {
        ssize_t n = ::write(fd, data, bytes);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            *error = errno;
            return false;
        }
        data += n;
        bytes -= static_cast<size_t>(n);
    }
    return true;
}

bool PutAt(int fd, off_t offset, uint32_t value) {
    uint8_t bytes[4];
    Put32(bytes, value);
    return ::pwrite(fd, bytes, 4, offset) == 4;
}

}  // namespace

WavRecording::~WavRecording() {
    Close();
}

bool WavRecording::Create(const std::string& path, std::string* error) {
    Close();
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        *error = "Cannot create the recording file " + path + ": " + std::strerror(errno);
        return false;
    }
    path_ = path;
    return true;
}

bool WavRecording::Begin(uint32_t channels, uint32_t sampleRate, uint32_t bytesPerSample,
                         uint32_t frames, std::string* error) {
    if (fd_ < 0 || writer_.joinable()) {
        *error = "The recording file is not open";
        return false;
    }
    channels_ = channels;
    bytesPerSample_ = bytesPerSample;
    frames_ = frames;
    slotBytes_ = static_cast<size_t>(frames) * channels * bytesPerSample;
    // Half a second of periods: enough to ride out a slow disk, small enough
    // (under 20 MB even at 384 kHz) to allocate up front.
    slotCount_ = sampleRate / frames / 2;
    if (slotCount_ < 8) {
        slotCount_ = 8;
    }
    try {
        ring_.assign(slotBytes_ * slotCount_, 0);
    } catch (const std::bad_alloc&) {
        *error = "Not enough memory for the recording";
        return false;
    }

    uint8_t header[kHeaderBytes] = {};
    const uint32_t blockAlign = channels * bytesPerSample;
    std::memcpy(header, "RIFF", 4);
    Put32(header + 4, kHeaderBytes - 8);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    Put32(header + 16, 40);
    Put16(header + 20, 0xFFFE);  // WAVE_FORMAT_EXTENSIBLE
    Put16(header + 22, static_cast<uint16_t>(channels));
    Put32(header + 24, sampleRate);
    Put32(header + 28, sampleRate * blockAlign);
    Put16(header + 32, static_cast<uint16_t>(blockAlign));
    Put16(header + 34, static_cast<uint16_t>(8 * bytesPerSample));
    Put16(header + 36, 22);
    Put16(header + 38, static_cast<uint16_t>(8 * bytesPerSample));  // valid bits
    Put32(header + 40, 0);  // no speaker positions: 24 channels have no standard layout
    // KSDATAFORMAT_SUBTYPE_PCM {00000001-0000-0010-8000-00aa00389b71}
    static const uint8_t kPcm[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                     0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71};
    std::memcpy(header + 44, kPcm, 16);
    std::memcpy(header + 60, "data", 4);
    Put32(header + 64, 0);
    int err = 0;
    if (::lseek(fd_, 0, SEEK_SET) != 0 || !WriteAll(fd_, header, sizeof header, &err)) {
        *error = "Cannot write the recording file " + path_ + ": " +
                 std::strerror(err != 0 ? err : errno);
        return false;
    }

    dataBytes_ = 0;
    bWriteFailed_ = false;
    pushed_.store(0);
    taken_.store(0);
    dropped_.store(0);
    quit_.store(false);
    try {
        writer_ = std::thread(&WavRecording::WriterLoop, this);
    } catch (const std::system_error&) {
        *error = "Cannot start the recording thread";
        return false;
    }
    return true;
}

void WavRecording::Push(const void* const* channelHalves) noexcept {
    // Runs on the driver's thread: no allocation, no logging.
    const uint64_t pushed = pushed_.load(std::memory_order_relaxed);
    if (pushed - taken_.load(std::memory_order_acquire) >= slotCount_) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        wake_.Set();
        return;
    }
    uint8_t* slot = ring_.data() + (pushed % slotCount_) * slotBytes_;
    const size_t frameBytes = static_cast<size_t>(channels_) * bytesPerSample_;
    for (uint32_t c = 0; c < channels_; ++c) {
        uint8_t* dst = slot + static_cast<size_t>(c) * bytesPerSample_;
        const auto* src = static_cast<const uint8_t*>(channelHalves[c]);
        if (src == nullptr) {
            for (uint32_t f = 0; f < frames_; ++f, dst += frameBytes) {
                std::memset(dst, 0, bytesPerSample_);
            }
        } else if (bytesPerSample_ == 4) {
            for (uint32_t f = 0; f < frames_; ++f, dst += frameBytes, src += 4) {
                std::memcpy(dst, src, 4);
            }
        } else {
            for (uint32_t f = 0; f < frames_; ++f, dst += frameBytes, src += 2) {
                std::memcpy(dst, src, 2);
            }
        }
    }
    pushed_.store(pushed + 1, std::memory_order_release);
    wake_.Set();
}

void WavRecording::WriterLoop() {
    uint64_t droppedReported = 0;
    for (;;) {
        wake_.Wait(100);
        uint64_t taken = taken_.load(std::memory_order_relaxed);
        while (taken != pushed_.load(std::memory_order_acquire)) {
            WriteSlot(ring_.data() + (taken % slotCount_) * slotBytes_);
            ++taken;
            taken_.store(taken, std::memory_order_release);
        }
        const uint64_t dropped = dropped_.load(std::memory_order_relaxed);
        if (dropped != droppedReported) {
            char line[160];
            std::snprintf(line, sizeof line,
                          "VirtualCard: %" PRIu64
                          " period(s) dropped from the recording (writer too slow)",
                          dropped - droppedReported);
            MixerDebugLog().WriteLine(line);
            droppedReported = dropped;
        }
        drained_.Set();
        if (quit_.load(std::memory_order_acquire) &&
            taken == pushed_.load(std::memory_order_acquire)) {
            return;
        }
    }
}

void WavRecording::WriteSlot(const uint8_t* slot) {
    if (bWriteFailed_) {
        return;  // recording stopped; keep emptying the ring so the clock never notices
    }
    if (dataBytes_ + slotBytes_ > kMaxDataBytes) {
        bWriteFailed_ = true;
        MixerDebugLog().WriteLine(
            "VirtualCard: recording stopped at the 4 GB size limit of a WAV file");
        return;
    }
    int err = 0;
    if (!WriteAll(fd_, slot, slotBytes_, &err)) {
        bWriteFailed_ = true;
        // A short write may have left part of a period: cut the file back to
        // whole periods so that the header and the data agree.
        if (::ftruncate(fd_, static_cast<off_t>(kHeaderBytes + dataBytes_)) == 0) {
            (void)::lseek(fd_, 0, SEEK_END);
        }
        std::string line = "VirtualCard: recording stopped: " + path_ + ": " + std::strerror(err);
        MixerDebugLog().WriteLine(line.c_str());
        return;
    }
    dataBytes_ += slotBytes_;
}

void WavRecording::PatchSizes() {
    // Failures here have already been logged by the writer or cannot be
    // mended: the file stays as it is.
    (void)PutAt(fd_, 4, static_cast<uint32_t>(kHeaderBytes - 8 + dataBytes_));
    (void)PutAt(fd_, 64, static_cast<uint32_t>(dataBytes_));
}

void WavRecording::Flush() {
    if (!writer_.joinable()) {
        return;
    }
    while (taken_.load(std::memory_order_acquire) != pushed_.load(std::memory_order_acquire)) {
        wake_.Set();
        drained_.Wait(100);
    }
    PatchSizes();
}

void WavRecording::Close() {
    if (writer_.joinable()) {
        Flush();
        quit_.store(true, std::memory_order_release);
        wake_.Set();
        writer_.join();
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    ring_.clear();
    ring_.shrink_to_fit();
}

}  // namespace drivers
