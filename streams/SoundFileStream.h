// The decode stage: a channel's blocks from a SoundFile, for every file the
// mapped path does not play. Sources above 16 bits, and every converted
// channel, fill 32-bit sample memory; others keep 16 bits.
//
// A file at the device's rate, or at exactly half of it, is delivered as it
// is (the sound buffer plays a half-rate file's frames twice); any other rate
// is converted to the device's rate by the channel's own RateConverter as the
// blocks are delivered, on whichever thread delivers them (the event thread
// for every refill). Cue blocks and positions stay in the file's own time:
// a block of the file is 4608 of its frames (2304 below 44100 Hz), while a
// block of the ring holds the device frames of about one such block.
#pragma once

#include <cstdint>
#include <memory>

#include "diag/DebugLog.h"
#include "streams/BlockSource.h"
#include "streams/MappedFile.h"
#include "streams/RateConverter.h"
#include "streams/SoundFile.h"

class SoundFileStream final : public BlockSource {
  public:
    static constexpr uint32_t kMinUnconvertedRate = 22050;

    // Over bytes the caller keeps alive (then hands over with Adopt), or,
    // when pBytes is null, over the file at path. dwDeviceRate 0 is not
    // known: nothing is converted. Test IsReady(); GetRefusal() says why not.
    SoundFileStream(const uint8_t* pBytes, uint64_t qwLength, const char* path,
                    uint32_t dwDeviceRate, bool bConvert, LogFunction pLog);
    ~SoundFileStream() override;

    // Takes over the mapping that the bytes lie in.
    void Adopt(std::unique_ptr<MappedFile> pFile) { pMappedFile = std::move(pFile); }
    const char* GetRefusal() const { return szRefusal; }
    // Writes what the stream is into the log.
    void Describe();

    uint32_t GetDecodedData(uint8_t* pDst, uint32_t dwBytes, int32_t nBlocks, bool* pbEnd) override;
    void DeliverSilence(uint8_t* pDst) override;
    // Clamped as a WaveFile clamps: past the end, four blocks before it;
    // never before the cue-in. Forgets the converter's state.
    int32_t Seek(int32_t nBlock) override;
    bool PlayedOut() const override { return FramesPlayedOut(); }
    int32_t NextBlock() const override;
    const char* GetFileName() const override { return szFileName; }
    void SetLooping(bool bLoop) override;
    int64_t NextFrame() const override;

  private:
    [[gnu::format(printf, 2, 3)]] void LogF(const char* format, ...);
    void Refuse(const char* reason);
    void FindCue(const uint8_t* pBytes, uint64_t qwLength, int32_t nBlockCount);
    // The range's frames from qwFrame on, read as they are into the ring.
    uint32_t Copy(uint8_t* pDst, uint32_t dwFrames);
    // The range's frames converted: dwFrames frames of the device's rate.
    uint32_t Convert(int32_t* pDst, uint32_t dwFrames);
    // Where the file is to be read from next; false when it cannot go there.
    bool ReadFrom(int64_t qwAt);
    void RestartConverter();

    SoundFile file;
    std::unique_ptr<MappedFile> pMappedFile;
    std::unique_ptr<RateConverter> pConverter;
    std::unique_ptr<float[]> pInput;  // the converter's input, kInputFrames frames
    LogFunction pLogFunction;
    bool bWide = false;  // 32-bit memory
    int32_t cueIn = 0;
    int32_t cueOut = 0;  // 0: none
    int32_t nBlockCount = 0;
    int64_t qwFilePos = 0;  // the frame libsndfile reads next
    // The converter's books since the last position: frames read from the
    // file, frames taken by the converter so far, frames it has given.
    int64_t qwRead = 0;
    uint32_t dwInputHeld = 0;  // read, not yet taken
    uint32_t dwInputTaken = 0;
    int64_t qwMade = 0;
    bool bInputEnded = false;
    char szFileName[MappedFile::kPathField] = {};
    char szRefusal[160] = {};
    char text[256] = {};
};
