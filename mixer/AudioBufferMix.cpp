// AudioBuffer: the buffer-switch work and the sixteen fill routines that turn
// the 16-bit sample memory into one device buffer half of an output pair.
//
// Every fill is one play-mode body (once or ring) around one conversion
// kernel. The bodies deal in whole source frames and call the kernel at most
// a few times per switch; the kernels are straight loops with no test but
// the loop bound, written so that the compiler vectorises them.
#include <algorithm>
#include <bit>
#include <cstring>

#include "mixer/AudioBuffer.h"

// The kernels are cloned for AVX-512 and AVX2 machines and picked at load
// time. The thread sanitizer's runtime is not up when load-time resolvers
// run, so its builds keep the plain version.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
#define CANTABILE_KERNEL __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define CANTABILE_KERNEL
#endif

static_assert(std::endian::native == std::endian::little,
              "sample memory and outputs are little-endian");

namespace {

// Sign-extends and shifts as unsigned, so that a negative sample is never
// shifted as a signed value: -32768 at 16 gives -2147483648.
inline int32_t Widen(int16_t sample, uint32_t shift) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<int32_t>(sample)) << shift);
}

// A stereo frame read as one little-endian word: left in the low half.
inline uint32_t LoadFrame(const int16_t* src, size_t frame) {
    uint32_t word;
    std::memcpy(&word, src + 2 * frame, sizeof word);
    return word;
}

// With the sample already in the top half of a word, an arithmetic right
// shift by 16 - shift gives the sample shifted left by `shift`; shift is
// never above 16. This spares the compiler a pack and an unpack per vector.
inline int32_t LeftOf(uint32_t frame, uint32_t down) {
    return static_cast<int32_t>(frame << 16) >> down;
}
inline int32_t RightOf(uint32_t frame, uint32_t down) {
    return static_cast<int32_t>(frame & 0xFFFF0000u) >> down;
}

CANTABILE_KERNEL
void Stereo32(int32_t* __restrict left, int32_t* __restrict right, const int16_t* __restrict src,
              uint32_t frames, uint32_t shift) {
    const uint32_t down = 16 - shift;
    for (size_t i = 0; i < frames; ++i) {
        const uint32_t w = LoadFrame(src, i);
        left[i] = LeftOf(w, down);
        right[i] = RightOf(w, down);
    }
}

CANTABILE_KERNEL
void StereoLoRes32(int32_t* __restrict left, int32_t* __restrict right,
                   const int16_t* __restrict src, uint32_t frames, uint32_t shift) {
    const uint32_t down = 16 - shift;
    for (size_t i = 0; i < frames; ++i) {
        const uint32_t w = LoadFrame(src, i);
        const int32_t l = LeftOf(w, down);
        const int32_t r = RightOf(w, down);
        left[2 * i] = l;
        left[2 * i + 1] = l;
        right[2 * i] = r;
        right[2 * i + 1] = r;
    }
}

CANTABILE_KERNEL
void Mono32(int32_t* __restrict left, int32_t* __restrict right, const int16_t* __restrict src,
            uint32_t frames, uint32_t shift) {
    for (size_t i = 0; i < frames; ++i) {
        const int32_t s = Widen(src[i], shift);
        left[i] = s;
        right[i] = s;
    }
}

CANTABILE_KERNEL
void MonoLoRes32(int32_t* __restrict left, int32_t* __restrict right, const int16_t* __restrict src,
                 uint32_t frames, uint32_t shift) {
    for (size_t i = 0; i < frames; ++i) {
        const int32_t s = Widen(src[i], shift);
        left[2 * i] = s;
        left[2 * i + 1] = s;
        right[2 * i] = s;
        right[2 * i + 1] = s;
    }
}

CANTABILE_KERNEL
void Stereo16(int16_t* __restrict left, int16_t* __restrict right, const int16_t* __restrict src,
              uint32_t frames) {
    for (size_t i = 0; i < frames; ++i) {
        const uint32_t w = LoadFrame(src, i);
        left[i] = static_cast<int16_t>(w);
        right[i] = static_cast<int16_t>(w >> 16);
    }
}

CANTABILE_KERNEL
void StereoLoRes16(int16_t* __restrict left, int16_t* __restrict right,
                   const int16_t* __restrict src, uint32_t frames) {
    for (size_t i = 0; i < frames; ++i) {
        const uint32_t w = LoadFrame(src, i);
        const auto l = static_cast<int16_t>(w);
        const auto r = static_cast<int16_t>(w >> 16);
        left[2 * i] = l;
        left[2 * i + 1] = l;
        right[2 * i] = r;
        right[2 * i + 1] = r;
    }
}

// Source and outputs share the layout: two block copies.
void Mono16(int16_t* __restrict left, int16_t* __restrict right, const int16_t* __restrict src,
            uint32_t frames) {
    std::memcpy(left, src, frames * sizeof(int16_t));
    std::memcpy(right, src, frames * sizeof(int16_t));
}

CANTABILE_KERNEL
void MonoLoRes16(int16_t* __restrict left, int16_t* __restrict right, const int16_t* __restrict src,
                 uint32_t frames) {
    for (size_t i = 0; i < frames; ++i) {
        const int16_t s = src[i];
        left[2 * i] = s;
        left[2 * i + 1] = s;
        right[2 * i] = s;
        right[2 * i + 1] = s;
    }
}

// A kernel converts `frames` source frames into the outputs (twice as many
// output samples when lo-res) and writes a single output sample from one
// frame for the odd tail of a lo-res switch.
template <bool Stereo, bool LoRes>
struct Kernel32 {
    static constexpr uint32_t kSamplesPerFrame = Stereo ? 2 : 1;
    static constexpr uint32_t kOutPerFrame = LoRes ? 2 : 1;
    uint32_t shift;
    void operator()(int32_t* l, int32_t* r, const int16_t* src, uint32_t frames) const {
        if constexpr (Stereo && LoRes) {
            StereoLoRes32(l, r, src, frames, shift);
        } else if constexpr (Stereo) {
            Stereo32(l, r, src, frames, shift);
        } else if constexpr (LoRes) {
            MonoLoRes32(l, r, src, frames, shift);
        } else {
            Mono32(l, r, src, frames, shift);
        }
    }
    void Single(int32_t* l, int32_t* r, const int16_t* src) const {
        *l = Widen(src[0], shift);
        *r = Widen(src[Stereo ? 1 : 0], shift);
    }
};

template <bool Stereo, bool LoRes>
struct Kernel16 {
    static constexpr uint32_t kSamplesPerFrame = Stereo ? 2 : 1;
    static constexpr uint32_t kOutPerFrame = LoRes ? 2 : 1;
    void operator()(int16_t* l, int16_t* r, const int16_t* src, uint32_t frames) const {
        if constexpr (Stereo && LoRes) {
            StereoLoRes16(l, r, src, frames);
        } else if constexpr (Stereo) {
            Stereo16(l, r, src, frames);
        } else if constexpr (LoRes) {
            MonoLoRes16(l, r, src, frames);
        } else {
            Mono16(l, r, src, frames);
        }
    }
    void Single(int16_t* l, int16_t* r, const int16_t* src) const {
        *l = src[0];
        *r = src[Stereo ? 1 : 0];
    }
};

template <class Out>
void Zero(Out* out, uint32_t samples) {
    std::memset(out, 0, samples * sizeof(Out));
}

}  // namespace

// Plays the memory once: a finished buffer writes silence, a buffer that runs
// out mid-switch writes what is left and then silence, and stops at the end.
// Runs on the driver's thread: no allocation, no logging.
template <class Kernel, class Out>
void AudioBuffer::FillOnce(Out* left, Out* right, Kernel kernel) {
    const uint32_t outFrames = dwPrimaryBufferSampleSize;
    const uint32_t whole = outFrames / Kernel::kOutPerFrame;
    const uint32_t tail = outFrames - whole * Kernel::kOutPerFrame;
    if (pPlayCursor >= pBufferEnd) {
        Zero(left, outFrames);
        Zero(right, outFrames);
        return;
    }
    // A trailing half frame of an oddly sized stereo buffer is never played.
    const uint32_t available =
        static_cast<uint32_t>(pBufferEnd - pPlayCursor) / Kernel::kSamplesPerFrame;
    if (available >= whole + tail) {
        kernel(left, right, pPlayCursor, whole);
        pPlayCursor += whole * Kernel::kSamplesPerFrame;
        if (tail != 0) {
            kernel.Single(left + outFrames - 1, right + outFrames - 1, pPlayCursor);
            pPlayCursor += Kernel::kSamplesPerFrame;
        }
        return;
    }
    kernel(left, right, pPlayCursor, available);
    const uint32_t written = available * Kernel::kOutPerFrame;
    Zero(left + written, outFrames - written);
    Zero(right + written, outFrames - written);
    pPlayCursor = pBufferEnd;
}

// Plays the memory as a ring. The owner keeps fresh data ahead of the cursor,
// so a ring never writes silence; a ring shorter than one switch simply wraps
// more than once.
// Runs on the driver's thread: no allocation, no logging.
template <class Kernel, class Out>
void AudioBuffer::FillRing(Out* left, Out* right, Kernel kernel) {
    const uint32_t outFrames = dwPrimaryBufferSampleSize;
    const uint32_t whole = outFrames / Kernel::kOutPerFrame;
    const uint32_t tail = outFrames - whole * Kernel::kOutPerFrame;
    if (static_cast<uint32_t>(pBufferEnd - pBufferStart) < Kernel::kSamplesPerFrame) {
        // Not one whole frame to play: nothing can be read.
        Zero(left, outFrames);
        Zero(right, outFrames);
        pPlayCursor = pBufferStart;
        return;
    }
    uint32_t needed = whole;
    while (needed != 0) {
        uint32_t available =
            static_cast<uint32_t>(pBufferEnd - pPlayCursor) / Kernel::kSamplesPerFrame;
        if (available == 0) {
            pPlayCursor = pBufferStart;
            continue;
        }
        const uint32_t chunk = std::min(needed, available);
        kernel(left, right, pPlayCursor, chunk);
        left += chunk * Kernel::kOutPerFrame;
        right += chunk * Kernel::kOutPerFrame;
        pPlayCursor += chunk * Kernel::kSamplesPerFrame;
        needed -= chunk;
    }
    if (tail != 0) {
        if (static_cast<uint32_t>(pBufferEnd - pPlayCursor) < Kernel::kSamplesPerFrame) {
            pPlayCursor = pBufferStart;
        }
        kernel.Single(left, right, pPlayCursor);
        pPlayCursor += Kernel::kSamplesPerFrame;
    }
    if (pPlayCursor >= pBufferEnd) {
        pPlayCursor = pBufferStart;
    }
}

// The 32-bit fills are handed the validated output length, which is always
// the buffer's own frame count; they fill exactly that.
void AudioBuffer::FillBufferPair(int32_t* left, int32_t* right, int32_t, uint32_t shift) {
    FillOnce(left, right, Kernel32<true, false>{shift});
}
void AudioBuffer::FillBufferPairLoRes(int32_t* left, int32_t* right, int32_t, uint32_t shift) {
    FillOnce(left, right, Kernel32<true, true>{shift});
}
void AudioBuffer::FillStreaming(int32_t* left, int32_t* right, int32_t, uint32_t shift) {
    FillRing(left, right, Kernel32<true, false>{shift});
}
void AudioBuffer::FillStreamingLoRes(int32_t* left, int32_t* right, int32_t, uint32_t shift) {
    FillRing(left, right, Kernel32<true, true>{shift});
}
void AudioBuffer::FillBufferPairMono(int32_t* left, int32_t* right, int32_t, uint32_t shift) {
    FillOnce(left, right, Kernel32<false, false>{shift});
}
void AudioBuffer::FillBufferPairMonoLoRes(int32_t* left, int32_t* right, int32_t, uint32_t shift) {
    FillOnce(left, right, Kernel32<false, true>{shift});
}
void AudioBuffer::FillStreamingMono(int32_t* left, int32_t* right, int32_t, uint32_t shift) {
    FillRing(left, right, Kernel32<false, false>{shift});
}
void AudioBuffer::FillStreamingMonoLoRes(int32_t* left, int32_t* right, int32_t, uint32_t shift) {
    FillRing(left, right, Kernel32<false, true>{shift});
}

void AudioBuffer::FillBufferPair16Bits(int16_t* left, int16_t* right) {
    FillOnce(left, right, Kernel16<true, false>{});
}
void AudioBuffer::FillBufferPairLoRes16Bits(int16_t* left, int16_t* right) {
    FillOnce(left, right, Kernel16<true, true>{});
}
void AudioBuffer::FillStreaming16Bits(int16_t* left, int16_t* right) {
    FillRing(left, right, Kernel16<true, false>{});
}
void AudioBuffer::FillStreamingLoRes16Bits(int16_t* left, int16_t* right) {
    FillRing(left, right, Kernel16<true, true>{});
}
void AudioBuffer::FillBufferPairMono16Bits(int16_t* left, int16_t* right) {
    FillOnce(left, right, Kernel16<false, false>{});
}
void AudioBuffer::FillBufferPairMonoLoRes16Bits(int16_t* left, int16_t* right) {
    FillOnce(left, right, Kernel16<false, true>{});
}
void AudioBuffer::FillStreamingMono16Bits(int16_t* left, int16_t* right) {
    FillRing(left, right, Kernel16<false, false>{});
}
void AudioBuffer::FillStreamingMonoLoRes16Bits(int16_t* left, int16_t* right) {
    FillRing(left, right, Kernel16<false, true>{});
}

// Index: stereo (4), looping (2), lo-res (1).
const AudioBuffer::Fill32 AudioBuffer::kFills32[8] = {
    &AudioBuffer::FillBufferPairMono, &AudioBuffer::FillBufferPairMonoLoRes,
    &AudioBuffer::FillStreamingMono,  &AudioBuffer::FillStreamingMonoLoRes,
    &AudioBuffer::FillBufferPair,     &AudioBuffer::FillBufferPairLoRes,
    &AudioBuffer::FillStreaming,      &AudioBuffer::FillStreamingLoRes,
};

const AudioBuffer::Fill16 AudioBuffer::kFills16[8] = {
    &AudioBuffer::FillBufferPairMono16Bits, &AudioBuffer::FillBufferPairMonoLoRes16Bits,
    &AudioBuffer::FillStreamingMono16Bits,  &AudioBuffer::FillStreamingMonoLoRes16Bits,
    &AudioBuffer::FillBufferPair16Bits,     &AudioBuffer::FillBufferPairLoRes16Bits,
    &AudioBuffer::FillStreaming16Bits,      &AudioBuffer::FillStreamingLoRes16Bits,
};

// Runs on the driver's thread: no allocation, no logging.
void AudioBuffer::ProcessBuffers(int32_t* left, int32_t* right, int32_t bytes) {
    std::lock_guard<std::mutex> lock(hMutex);
    const uint64_t needed = uint64_t{dwPrimaryBufferSampleSize} * sizeof(int32_t);
    if (bytes < 0 || static_cast<uint64_t>(bytes) < needed) {
        // Outputs shorter than one switch cannot be filled without writing
        // past them: silence what was given and leave the buffer as it is.
        const uint32_t given = bytes > 0 ? static_cast<uint32_t>(bytes) / 4 : 0;
        Zero(left, given);
        Zero(right, given);
        return;
    }
    if (pBufferStart == nullptr) {
        Zero(left, dwPrimaryBufferSampleSize);
        Zero(right, dwPrimaryBufferSampleSize);
        return;
    }
    // Both checks are repeated here only to spare a call on the common path.
    if (bFadeActive && !bFadeDone) {
        SetProgrammedAttenuation();
    }
    if (dwAttenuation != 0) {
        ApplyAttenuation(dwBytesPerSwitch);
    }
    (this->*kFills32[FillIndex()])(left, right, static_cast<int32_t>(needed),
                                   static_cast<uint32_t>(nBitShift));
    if (dwNotifyMode != NOTIFY_NONE) {
        CheckNotify();
    }
}

// Runs on the driver's thread: no allocation, no logging.
void AudioBuffer::ProcessBuffers(int16_t* left, int16_t* right) {
    std::lock_guard<std::mutex> lock(hMutex);
    if (pBufferStart == nullptr) {
        Zero(left, dwPrimaryBufferSampleSize);
        Zero(right, dwPrimaryBufferSampleSize);
        return;
    }
    // Both checks are repeated here only to spare a call on the common path.
    if (bFadeActive && !bFadeDone) {
        SetProgrammedAttenuation();
    }
    if (dwAttenuation != 0) {
        ApplyAttenuation(dwBytesPerSwitch);
    } else if (b16Bits && nBitShift != 16) {
        const auto shift = static_cast<uint32_t>(16 - nBitShift);
        if (bStereo) {
            ApplyBitShiftStereo(dwBytesPerSwitch, shift);
        } else {
            ApplyBitShiftMono(dwBytesPerSwitch, shift);
        }
    }
    (this->*kFills16[FillIndex()])(left, right);
    if (dwNotifyMode != NOTIFY_NONE) {
        CheckNotify();
    }
}

// Runs on the driver's thread: no allocation, no logging.
void ProcessAudioBuffer32Bits(AudioBuffer* buffer, int32_t* left, int32_t* right, int32_t bytes) {
    if (buffer == nullptr || left == nullptr || right == nullptr) {
        return;
    }
    buffer->ProcessBuffers(left, right, bytes);
}

// Runs on the driver's thread: no allocation, no logging.
void ProcessAudioBuffer16Bits(AudioBuffer* buffer, int16_t* left, int16_t* right) {
    if (buffer == nullptr || left == nullptr || right == nullptr) {
        return;
    }
    buffer->ProcessBuffers(left, right);
}
