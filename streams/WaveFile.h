// A RIFF/WAVE file: checks and parses the header of the mapped bytes and hands
// out the data chunk block by block. Only 16-bit PCM at 22050 Hz or more is
// accepted; nothing is converted.
//
// Parse works on a base address and a length, so any bytes can be handed to
// it; every read is checked against the length.
#pragma once

#include <cstdint>
#include <memory>

#include "streams/BlockReader.h"
#include "streams/MappedFile.h"
#include "streams/WaveFormat.h"

class WaveFile {
  public:
    static constexpr uint32_t kFileNameField = MappedFile::kPathField;
    // The data id is searched for at every offset from 36 up to and including
    // this one.
    static constexpr uint32_t kLastDataIdOffset = 2084;

    // Where a WAV header keeps its data chunk and its cue blocks: the first
    // "data" id at an offset from 36 to kLastDataIdOffset (within `length`
    // bytes), and a "cue " chunk exactly 20 bytes before it (cue id, size, one
    // word, cue-in, cue-out). dataId is -1 when there is no data id.
    struct Marks {
        int64_t dataId = -1;
        bool bCue = false;
        int32_t cueIn = 0;
        int32_t cueOut = 0;
    };
    static Marks FindMarks(const uint8_t* pBytes, uint64_t length);

    // Takes the mapped file over; its path becomes the file name.
    explicit WaveFile(std::unique_ptr<MappedFile> pMappedFile);
    // Over bytes that the caller keeps alive for the object's lifetime (tests,
    // the fuzzer). No file is owned.
    WaveFile(const uint8_t* pBytes, uint32_t dwLength, const char* pszFileName = "");
    ~WaveFile();
    WaveFile(const WaveFile&) = delete;
    WaveFile& operator=(const WaveFile&) = delete;

    // Checks the header, builds the format record and the reader, and positions
    // the reader at the cue-in block. False refuses the file (no log line; the
    // caller reports it, with RefusalReason). What Parse had to mend is left
    // for the caller to log: see CueMended and DerivedAvgBytesPerSec.
    [[nodiscard]] bool Parse();
    // Why Parse refused the file, in words for the user; null before a
    // refusal.
    const char* RefusalReason() const { return szRefusal[0] ? szRefusal : nullptr; }
    // The cue blocks as the file gave them differ from cueIn and cueOut.
    bool CueMended() const { return nFileCueIn != cueIn || nFileCueOut != cueOut; }
    // The header's nAvgBytesPerSec was 0: the format record holds block align
    // x rate instead.
    bool DerivedAvgBytesPerSec() const { return bDerivedAvgBytesPerSec; }

    // Clamps the block number (past the end: block count - 4 or cue-out - 4;
    // never before cue-in), positions the reader there and sets nNextBlock.
    // Returns the block actually set.
    int32_t Seek(int32_t nBlock);

    // Hands out the next nBlocks blocks (see BlockReader::Fetch).
    uint32_t Fetch(const uint8_t** ppBlock, int32_t nBlocks, bool* pbEnd);

    // After a successful Parse:
    const WAVEFORMATEX* GetFormat() const { return pFormat.get(); }
    const char* GetFileName() const { return szFileName; }
    const uint8_t* GetData() const { return pData; }
    uint32_t GetDataSize() const { return dwDataSize; }
    uint32_t GetBlockSize() const { return dwBlockSize; }
    int32_t GetBlockCount() const { return nBlockCount; }
    float GetMsPerBlock() const { return fMsPerBlock; }
    uint32_t GetPlayLength() const { return dwPlayLength; }
    const BlockReader* GetReader() const { return pReader.get(); }
    // True once after part of the mapped file vanished and plays as silence.
    bool TakeTruncatedFlag();
    // Gives the mapping back, for another reader of the same bytes; the
    // object is of no further use.
    std::unique_ptr<MappedFile> TakeMappedFile();

    // The next block that the decode stream delivers, counted from the start of
    // the data chunk. Written by the decode stream and Seek, read by the engine
    // and the stream buffer; all of them under the channel's mutex.
    int32_t nNextBlock = 0;
    // Block numbers from the cue chunk, 0 when there is none. A cueOut of 0
    // means no cue-out: the data end is the end. Set by Parse, read-only after:
    // a cue-in below 0 or not below the block count is 0, a cue-out not above
    // the cue-in or past the block count is none.
    int32_t cueIn = 0;
    int32_t cueOut = 0;
    // The same as the cue chunk gave them.
    int32_t nFileCueIn = 0;
    int32_t nFileCueOut = 0;
    // The play length in ms (play length / bytes per second of 16-bit samples).
    uint32_t SongPlayTime = 0;

  private:
    [[gnu::format(printf, 2, 3)]] bool Refuse(const char* format, ...);

    std::unique_ptr<MappedFile> pMappedFile;
    const uint8_t* pBase = nullptr;
    uint32_t dwLength = 0;
    char szFileName[kFileNameField];
    std::unique_ptr<WAVEFORMATEX> pFormat;
    std::unique_ptr<BlockReader> pReader;
    const uint8_t* pData = nullptr;
    uint32_t dwDataSize = 0;
    float fMsPerBlock = 0.0f;
    uint32_t dwBlockSize = 0;
    int32_t nBlockCount = 0;
    uint32_t dwPlayLength = 0;
    bool bDerivedAvgBytesPerSec = false;
    char szRefusal[96] = {};
};
