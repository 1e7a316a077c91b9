// AudioBuffer: the buffer-switch work and the fill routines that turn the
// sample memory into one device buffer half of an output pair, at the
// buffer's level.
//
// Every fill is one play-mode body (once or ring) around one conversion
// kernel. The bodies deal in whole source frames and call the kernel at most
// a few times per switch; the kernels are straight loops with no test but
// the loop bound, written so that the compiler vectorises them.
#include <algorithm>
#include <bit>
#include <cstring>
#include <mutex>
#include <type_traits>

#include "mixer/AudioBuffer.h"
#include "mixer/KernelClones.h"
#include "platform/Event.h"


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

// How one sample of memory becomes one output sample at the buffer's level.
// The shift path: 16-bit memory is shifted left into 32-bit output by
// nBitShift (16 at full level), or right into 16-bit output by 16 - nBitShift;
// 32-bit memory is shifted right by 16 - nBitShift into either. The gain path
// multiplies as a double and truncates towards zero, clamped to the sample's
// range; 16-bit memory is then widened as at full level.
struct Up16 {
    uint32_t shift;
    int32_t operator()(int16_t s) const { return Widen(s, shift); }
};
struct Down16 {
    uint32_t down;
    int16_t operator()(int16_t s) const { return static_cast<int16_t>(s >> down); }
};
struct Gain16 {
    double gain;
    int16_t operator()(int16_t s) const {
        // Clamped before narrowing: a gain a hair above one must not carry
        // -32768 out of range.
        return static_cast<int16_t>(std::clamp(s * gain, -32768.0, 32767.0));
    }
};
struct Gain16Up {
    Gain16 level;
    int32_t operator()(int16_t s) const { return Widen(level(s), 16); }
};
struct Down32 {
    uint32_t down;
    int32_t operator()(int32_t s) const { return s >> down; }
};
struct Gain32 {
    double gain;
    int32_t operator()(int32_t s) const {
        return static_cast<int32_t>(std::clamp(s * gain, -2147483648.0, 2147483647.0));
    }
};

// 32-bit memory on a 16-bit card: the levelled sample, rounded to 16 bits
// with triangular dither of one step either way. A sample whose low 16 bits
// are zero comes out within one step of its top half.
template <class Level>
struct Dither16 {
    Level level;
    uint32_t* state;
    int16_t operator()(int32_t s) const {
        uint32_t x = *state;
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        *state = x;
        const int64_t noise = int64_t{x & 0xFFFFu} + int64_t{x >> 16} - 65536;
        const int64_t rounded = (int64_t{level(s)} + noise + 32768) >> 16;
        return static_cast<int16_t>(std::clamp<int64_t>(rounded, -32768, 32767));
    }
};

// The stereo kernels of the 16-bit shift paths, written apart because they
// carry every 16-bit file played unconverted: the frame is read as
// one word.
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
void Stereo16(int16_t* __restrict left, int16_t* __restrict right, const int16_t* __restrict src,
              uint32_t frames, uint32_t down) {
    for (size_t i = 0; i < frames; ++i) {
        const uint32_t w = LoadFrame(src, i);
        left[i] = static_cast<int16_t>(static_cast<int16_t>(w) >> down);
        right[i] = static_cast<int16_t>(static_cast<int16_t>(w >> 16) >> down);
    }
}

// Every other kernel: `frames` source frames converted one sample at a
// time, each frame written twice when lo-res, a mono sample to both sides.
template <bool Stereo, bool LoRes, class Mem, class Out, class Convert>
CANTABILE_KERNEL void Frames(Out* __restrict left, Out* __restrict right,
                             const Mem* __restrict src, uint32_t frames, Convert convert) {
    for (size_t i = 0; i < frames; ++i) {
        const Out l = convert(src[Stereo ? 2 * i : i]);
        const Out r = Stereo ? convert(src[2 * i + 1]) : l;
        if constexpr (LoRes) {
            left[2 * i] = l;
            left[2 * i + 1] = l;
            right[2 * i] = r;
            right[2 * i + 1] = r;
        } else {
            left[i] = l;
            right[i] = r;
        }
    }
}

// A kernel converts `frames` source frames into the outputs (twice as many
// output samples when lo-res) and writes a single output sample from one
// frame for the odd tail of a lo-res switch. Memory is addressed in 16-bit
// units: a 32-bit sample is two of them.
template <bool Stereo, bool LoRes, class Mem, class Convert>
struct Kernel {
    static constexpr uint32_t kSamplesPerFrame = (Stereo ? 2 : 1) * sizeof(Mem) / 2;
    static constexpr uint32_t kOutPerFrame = LoRes ? 2 : 1;
    Convert convert;

    static const Mem* Source(const int16_t* src) { return reinterpret_cast<const Mem*>(src); }

    template <class Out>
    void operator()(Out* l, Out* r, const int16_t* src, uint32_t frames) const {
        if constexpr (std::is_same_v<Convert, Up16> && Stereo && LoRes) {
            StereoLoRes32(l, r, src, frames, convert.shift);
        } else if constexpr (std::is_same_v<Convert, Up16> && Stereo) {
            Stereo32(l, r, src, frames, convert.shift);
        } else if constexpr (std::is_same_v<Convert, Down16> && Stereo && !LoRes) {
            Stereo16(l, r, src, frames, convert.down);
        } else if constexpr (std::is_same_v<Convert, Down16> && !Stereo && !LoRes) {
            // At full level source and outputs share the layout: two block copies.
            if (convert.down == 0) {
                std::memcpy(l, src, frames * sizeof(int16_t));
                std::memcpy(r, src, frames * sizeof(int16_t));
            } else {
                Frames<Stereo, LoRes>(l, r, src, frames, convert);
            }
        } else {
            Frames<Stereo, LoRes>(l, r, Source(src), frames, convert);
        }
    }
    template <class Out>
    void Single(Out* l, Out* r, const int16_t* src) const {
        const Mem* m = Source(src);
        *l = convert(m[0]);
        *r = Stereo ? convert(m[1]) : *l;
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

// The kernel that the memory, the output and the level call for, inside the
// play mode's body. The level is chosen once per switch.
// Runs on the driver's thread: no allocation, no logging.
template <bool Looping, bool Stereo, bool LoRes, class Mem, class Out>
void AudioBuffer::Fill(Out* left, Out* right, uint32_t shift) {
    const auto play = [&](auto convert) {
        const Kernel<Stereo, LoRes, Mem, decltype(convert)> kernel{convert};
        if constexpr (Looping) {
            FillRing(left, right, kernel);
        } else {
            FillOnce(left, right, kernel);
        }
    };
    const uint32_t down = 16 - shift;
    if constexpr (std::is_same_v<Mem, int16_t>) {
        if constexpr (std::is_same_v<Out, int32_t>) {
            dwAttenuation != 0 ? play(Gain16Up{{dGain}}) : play(Up16{shift});
        } else {
            dwAttenuation != 0 ? play(Gain16{dGain}) : play(Down16{down});
        }
    } else if constexpr (std::is_same_v<Out, int32_t>) {
        dwAttenuation != 0 ? play(Gain32{dGain}) : play(Down32{down});
    } else if (dwAttenuation != 0) {
        play(Dither16<Gain32>{{dGain}, &dwDitherState});
    } else {
        play(Dither16<Down32>{{down}, &dwDitherState});
    }
}

// The 32-bit fills are handed the validated output length, which is always
// the buffer's own frame count; they fill exactly that.
void AudioBuffer::FillBufferPair(int32_t* left, int32_t* right, int32_t, uint32_t shift) {
    Fill<false, true, false, int16_t>(left, right, shift);
}
void AudioBuffer::FillBufferPairLoRes(int32_t* left, int32_t* right, int32_t, uint32_t shift) {
    Fill<false, true, true, int16_t>(left, right, shift);
}
void AudioBuffer::FillStreaming(int32_t* left, int32_t* right, int32_t, uint32_t shift) {
    Fill<true, true, false, int16_t>(left, right, shift);
}
void AudioBuffer::FillStreamingLoRes(int32_t* left, int32_t* right, int32_t, uint32_t shift) {
    Fill<true, true, true, int16_t>(left, right, shift);
}
void AudioBuffer::FillBufferPairMono(int32_t* left, int32_t* right, int32_t, uint32_t shift) {
    Fill<false, false, false, int16_t>(left, right, shift);
}
void AudioBuffer::FillBufferPairMonoLoRes(int32_t* left, int32_t* right, int32_t, uint32_t shift) {
    Fill<false, false, true, int16_t>(left, right, shift);
}
void AudioBuffer::FillStreamingMono(int32_t* left, int32_t* right, int32_t, uint32_t shift) {
    Fill<true, false, false, int16_t>(left, right, shift);
}
void AudioBuffer::FillStreamingMonoLoRes(int32_t* left, int32_t* right, int32_t, uint32_t shift) {
    Fill<true, false, true, int16_t>(left, right, shift);
}

void AudioBuffer::FillBufferPair16Bits(int16_t* left, int16_t* right) {
    Fill<false, true, false, int16_t>(left, right, static_cast<uint32_t>(nBitShift));
}
void AudioBuffer::FillBufferPairLoRes16Bits(int16_t* left, int16_t* right) {
    Fill<false, true, true, int16_t>(left, right, static_cast<uint32_t>(nBitShift));
}
void AudioBuffer::FillStreaming16Bits(int16_t* left, int16_t* right) {
    Fill<true, true, false, int16_t>(left, right, static_cast<uint32_t>(nBitShift));
}
void AudioBuffer::FillStreamingLoRes16Bits(int16_t* left, int16_t* right) {
    Fill<true, true, true, int16_t>(left, right, static_cast<uint32_t>(nBitShift));
}
void AudioBuffer::FillBufferPairMono16Bits(int16_t* left, int16_t* right) {
    Fill<false, false, false, int16_t>(left, right, static_cast<uint32_t>(nBitShift));
}
void AudioBuffer::FillBufferPairMonoLoRes16Bits(int16_t* left, int16_t* right) {
    Fill<false, false, true, int16_t>(left, right, static_cast<uint32_t>(nBitShift));
}
void AudioBuffer::FillStreamingMono16Bits(int16_t* left, int16_t* right) {
    Fill<true, false, false, int16_t>(left, right, static_cast<uint32_t>(nBitShift));
}
void AudioBuffer::FillStreamingMonoLoRes16Bits(int16_t* left, int16_t* right) {
    Fill<true, false, true, int16_t>(left, right, static_cast<uint32_t>(nBitShift));
}

template <bool Looping, bool Stereo, bool LoRes>
void AudioBuffer::FillWide(int32_t* left, int32_t* right, int32_t, uint32_t shift) {
    Fill<Looping, Stereo, LoRes, int32_t>(left, right, shift);
}
template <bool Looping, bool Stereo, bool LoRes>
void AudioBuffer::FillWide16Bits(int16_t* left, int16_t* right) {
    Fill<Looping, Stereo, LoRes, int32_t>(left, right, static_cast<uint32_t>(nBitShift));
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

const AudioBuffer::Fill32 AudioBuffer::kWideFills32[8] = {
    &AudioBuffer::FillWide<false, false, false>, &AudioBuffer::FillWide<false, false, true>,
    &AudioBuffer::FillWide<true, false, false>,  &AudioBuffer::FillWide<true, false, true>,
    &AudioBuffer::FillWide<false, true, false>,  &AudioBuffer::FillWide<false, true, true>,
    &AudioBuffer::FillWide<true, true, false>,   &AudioBuffer::FillWide<true, true, true>,
};

const AudioBuffer::Fill16 AudioBuffer::kWideFills16[8] = {
    &AudioBuffer::FillWide16Bits<false, false, false>,
    &AudioBuffer::FillWide16Bits<false, false, true>,
    &AudioBuffer::FillWide16Bits<true, false, false>,
    &AudioBuffer::FillWide16Bits<true, false, true>,
    &AudioBuffer::FillWide16Bits<false, true, false>,
    &AudioBuffer::FillWide16Bits<false, true, true>,
    &AudioBuffer::FillWide16Bits<true, true, false>,
    &AudioBuffer::FillWide16Bits<true, true, true>,
};

// A fade that stopped the buffer says so through its owner's event.
// Runs on the driver's thread: no allocation, no logging.
void AudioBuffer::StopAfterFade() {
    bStopAfterFade = false;
    bIsPlaying.store(false, std::memory_order_relaxed);
    bStoppedByFade.store(true, std::memory_order_release);
    if (hNotifyEvent != nullptr) {
        static_cast<platform::Event*>(hNotifyEvent)->Set();
    }
}

// Runs on the driver's thread: no allocation, no logging.
void AudioBuffer::ProcessBuffers(int32_t* left, int32_t* right, int32_t bytes) {
    std::lock_guard lock(hMutex);
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
    bool fadeEnded = false;
    if (bFadeActive && !bFadeDone) {
        SetProgrammedAttenuation();
        fadeEnded = !bFadeActive || bFadeDone;
    }
    const Fill32* fills = dwSampleBits == 16 ? kFills32 : kWideFills32;
    (this->*fills[FillIndex()])(left, right, static_cast<int32_t>(needed),
                                static_cast<uint32_t>(nBitShift));
    if (dwNotifyMode != NOTIFY_NONE) {
        CheckNotify();
    }
    if (fadeEnded && bStopAfterFade) {
        StopAfterFade();
    }
}

// Runs on the driver's thread: no allocation, no logging.
void AudioBuffer::ProcessBuffers(int16_t* left, int16_t* right) {
    std::lock_guard lock(hMutex);
    if (pBufferStart == nullptr) {
        Zero(left, dwPrimaryBufferSampleSize);
        Zero(right, dwPrimaryBufferSampleSize);
        return;
    }
    bool fadeEnded = false;
    if (bFadeActive && !bFadeDone) {
        SetProgrammedAttenuation();
        fadeEnded = !bFadeActive || bFadeDone;
    }
    const Fill16* fills = dwSampleBits == 16 ? kFills16 : kWideFills16;
    (this->*fills[FillIndex()])(left, right);
    if (dwNotifyMode != NOTIFY_NONE) {
        CheckNotify();
    }
    if (fadeEnded && bStopAfterFade) {
        StopAfterFade();
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
