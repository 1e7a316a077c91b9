// Turns a parsed WaveFile into the bytes of a channel's sound buffer: a block
// at a time, between the cue-in and the cue-out block, padded with silence
// where the data run out, with an end flag for the stream buffer.
//
// Once a loop has been asked for, delivery goes frame by frame instead, so
// that the end of the range is followed by its start inside a block; a
// position taken with the loop off goes back to whole blocks.
//
// No locks of its own: every call comes under the channel's mutex, from the
// application's thread (first fill, repositioning) or the engine's event
// thread (refills).
#pragma once

#include <cstdint>
#include <memory>

#include "diag/DebugLog.h"
#include "streams/BlockSource.h"
#include "streams/WaveFile.h"
#include "streams/WaveFormat.h"

class DecodeStream final : public BlockSource {
  public:
    // Takes the parsed WaveFile over. Test IsReady() afterwards; a stream that
    // is not ready must be destroyed.
    DecodeStream(std::unique_ptr<WaveFile> pWaveFile, LogFunction pLog);
    ~DecodeStream();
    DecodeStream(const DecodeStream&) = delete;
    DecodeStream& operator=(const DecodeStream&) = delete;

    // Fills dwBytes bytes at pDst with the next nBlocks blocks, zeros after the
    // data; dwBytes should be nBlocks * cbDstBufSize. Returns dwBytes (the
    // destination is always filled completely). pbEnd, when not null, receives
    // the end flag.
    uint32_t GetDecodedData(uint8_t* pDst, uint32_t dwBytes, int32_t nBlocks, bool* pbEnd) override;
    // After the end: one block of zeros, and the block count goes on.
    void DeliverSilence(uint8_t* pDst) override;
    // WaveFile::Seek; with a loop on, frame by frame from that block.
    int32_t Seek(int32_t nBlock) override;
    bool PlayedOut() const override;
    int32_t NextBlock() const override;
    bool IsBlockExact() const override { return !bFrameMode; }
    const char* GetFileName() const override;
    void SetLooping(bool bLoop) override;
    int64_t NextFrame() const override;

    // The copy step: 1 while data continue, 0 when the end was met.
    int32_t PCMFetchData(uint8_t* pDst, uint32_t dwBytes, int32_t nBlocks);

    const WAVEFORMATEX* GetFormat() const { return pFormat.get(); }
    WaveFile* GetWaveFile() const { return pWaveFile.get(); }

    // Set at construction, read-only afterwards; dwBytesPerSec is the
    // format's nAvgBytesPerSec.
    uint32_t BufferPlayTime = 0;      // ms of BufferSize
    uint32_t DstBufSizePlayTime = 0;  // ms of cbDstBufSize
    uint32_t dwCuedMilisecs = 0;      // ms before the cue-in block

  private:
    void Log(const char* text);
    void WriteDescription();
    // ms(n): n / dwBytesPerSec * 1000, rounded half up.
    uint32_t PlayTimeMs(uint32_t dwBytes) const;
    // Frame by frame delivery, once a loop has been asked for.
    void DeliverFrames(uint8_t* pDst, uint32_t dwBytes, int32_t nBlocks);
    // Raises the end flag and logs the end of the file's data.
    void MeetEnd(uint32_t dwCount);

    bool bFrameMode = false;
    uint32_t dwFrameBytes = 0;  // the format's nBlockAlign
    std::unique_ptr<WAVEFORMATEX> pFormat;
    std::unique_ptr<WaveFile> pWaveFile;
    LogFunction pLogFunction;
    char text[256];
};
