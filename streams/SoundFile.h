// A sound file read through libsndfile: every WAV the mapped parser does not
// take (24 and 32-bit, float, extensible headers, RF64) and FLAC, AIFF, W64
// and whatever else libsndfile reads. It judges the file once, when opened,
// and then hands out frames in the widths the sound buffers hold.
//
// It reads the bytes of a mapped file through libsndfile's virtual I/O, so
// that any bytes can be handed to it (the tests and the fuzzer do); a file
// too large to map is read by path.
#pragma once

#include <cstdint>
#include <memory>

struct sf_private_tag;

class SoundFile {
  public:
    SoundFile();
    ~SoundFile();
    SoundFile(const SoundFile&) = delete;
    SoundFile& operator=(const SoundFile&) = delete;

    // Over bytes that the caller keeps alive for the object's lifetime.
    // False refuses the file; GetRefusal() says why.
    [[nodiscard]] bool OpenBytes(const uint8_t* pBytes, uint64_t qwLength);
    // For a file too large to map.
    [[nodiscard]] bool OpenPath(const char* path);
    // Why the file was refused, in words for the user.
    const char* GetRefusal() const { return szRefusal; }

    int64_t Frames() const { return qwFrames; }
    uint32_t Rate() const { return dwRate; }
    uint16_t Channels() const { return nChannels; }
    // More than 16 bits per sample, or floating point: played from 32-bit
    // memory to keep what the file holds.
    bool IsWide() const { return bWide; }
    // The container and the encoding, as libsndfile names them.
    const char* Describe() const { return szDescription; }

    // Moves to a frame; false when libsndfile cannot.
    [[nodiscard]] bool Seek(int64_t qwFrame);
    // Reads up to dwFrames interleaved frames from the current frame on and
    // returns how many it read (libsndfile never answers with a negative
    // count). As 16-bit samples; as 32-bit samples (an
    // integer sample s of b bits as s << (32 - b), a floating-point x as
    // round(x * 2^31) held to the 32-bit range); as floats of full scale 1.
    uint32_t ReadShort(int16_t* pDst, uint32_t dwFrames);
    uint32_t ReadInt(int32_t* pDst, uint32_t dwFrames);
    uint32_t ReadFloat(float* pDst, uint32_t dwFrames);

  private:
    bool Judge(const struct SF_INFO& info);
    [[gnu::format(printf, 2, 3)]] bool Refuse(const char* format, ...);
    void Forget();

    sf_private_tag* pFile = nullptr;
    struct Bytes;
    std::unique_ptr<Bytes> pBytes;       // the virtual I/O's view of the bytes
    std::unique_ptr<double[]> pScratch;  // floating-point frames on their way to 32 bits
    int64_t qwFrames = 0;
    uint32_t dwRate = 0;
    uint16_t nChannels = 0;
    bool bWide = false;
    bool bFloat = false;
    char szRefusal[160] = {};
    char szDescription[96] = {};
};
