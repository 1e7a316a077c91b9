// The virtual card's recording: every period's output channels, interleaved,
// appended to a multichannel WAV file (WAVE_FORMAT_EXTENSIBLE, 16 or 32-bit
// PCM). The clock thread hands each period over through a preallocated
// single-producer/single-consumer ring; a writer thread of its own does the
// file work, so the clock never waits for the disk.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/Event.h"

namespace drivers {

class WavRecording {
  public:
    static constexpr uint32_t kHeaderBytes = 68;
    // A WAV file's sizes are 32-bit; the recording stops before they overflow.
    static constexpr uint64_t kMaxDataBytes = 0xFFFFFFFFull - (kHeaderBytes - 8);

    WavRecording() = default;
    ~WavRecording();
    WavRecording(const WavRecording&) = delete;
    WavRecording& operator=(const WavRecording&) = delete;

    // Creates (or truncates) the file and writes a header with empty sizes.
    // False with a sentence in *error when the file cannot be created.
    [[nodiscard]] bool Create(const std::string& path, std::string* error);

    // Allocates the ring for periods of `frames` frames of `channels`
    // channels, writes the format into the header and starts the writer.
    // False (with *error) when memory, the header write or the thread fails.
    [[nodiscard]] bool Begin(uint32_t channels, uint32_t sampleRate, uint32_t bytesPerSample,
                             uint32_t frames, std::string* error);

    // Interleaves one period from the per-channel half buffers (a null
    // pointer records silence) into the ring. When the ring is full the
    // period is counted as dropped and the writer reports it.
    // Runs on the driver's thread: no allocation, no logging.
    void Push(const void* const* channelHalves) noexcept;

    // Waits until the writer has written everything pushed so far, then
    // puts the right sizes into the header: the file is complete after it.
    // Called while no Push can run.
    void Flush();

    // Flushes, stops the writer and closes the file.
    void Close();

    bool IsOpen() const { return fd_ >= 0; }
    // Read after Flush (the writer publishes them with the read index).
    uint64_t DataBytes() const { return dataBytes_; }
    uint64_t DroppedPeriods() const { return dropped_.load(std::memory_order_relaxed); }

  private:
    void WriterLoop();
    void WriteSlot(const uint8_t* slot);
    void PatchSizes();

    int fd_ = -1;
    std::string path_;
    uint32_t channels_ = 0;
    uint32_t bytesPerSample_ = 0;
    uint32_t frames_ = 0;
    size_t slotBytes_ = 0;
    uint64_t slotCount_ = 0;
    std::vector<uint8_t>
        ring_;  // slotCount_ slots; a slot is written by Push, then read by the writer

    // Periods pushed: written by Push (the clock thread), read by the writer and Flush.
    std::atomic<uint64_t> pushed_{0};
    // Periods taken off the ring: written by the writer, read by Push and Flush.
    std::atomic<uint64_t> taken_{0};
    // Periods lost to a full ring: written by Push, read by the writer (which logs them).
    std::atomic<uint64_t> dropped_{0};
    // Set by Close, read by the writer.
    std::atomic<bool> quit_{false};

    // Written by the writer only; read by Flush once the ring is empty.
    uint64_t dataBytes_ = 0;
    bool bWriteFailed_ = false;

    platform::Event wake_;     // Push -> writer: a period is waiting
    platform::Event drained_;  // writer -> Flush: the ring went empty
    std::thread writer_;
};

}  // namespace drivers
