// Divides a data chunk into blocks of a fixed number of sample frames and
// hands them out as pointers into the mapped file; nothing is copied here.
#pragma once

#include <cstdint>

class BlockReader {
  public:
    static constexpr uint32_t kFramesPerBlock = 4608;     // at 44100 Hz and above
    static constexpr uint32_t kFramesPerBlockLow = 2304;  // below 44100 Hz

    // nBlockAlign must be nonzero and nSamplesPerSec nonzero; WaveFile::Parse
    // refuses formats that break that before it builds a reader.
    BlockReader(const uint8_t* pData, uint32_t dwDataSize, uint16_t nBlockAlign,
                uint32_t nSamplesPerSec);

    // The first byte of block i, or null when i is outside 0 .. block count - 1.
    const uint8_t* BlockPointer(int32_t nBlock) const;

    // Hands out the next nBlocks blocks from the current block on and moves
    // past them. Returns their byte count (the rest of the data when they reach
    // the last block, which also raises *pbEnd), 0 with a null pointer when the
    // current block is past the data. pbEnd may be null.
    uint32_t Fetch(const uint8_t** ppBlock, int32_t nBlocks, bool* pbEnd);

    // Makes block i the current block. Returns false, and leaves the reader
    // where it was, when i is outside the data. Either out-argument may be null.
    bool Seek(const uint8_t** ppBlock, bool* pbIsLast, int32_t nBlock);

    uint32_t GetFramesPerBlock() const { return dwFramesPerBlock; }
    uint32_t GetBlockSize() const { return dwBlockSize; }
    int32_t GetBlockCount() const { return nBlockCount; }
    float GetMsPerBlock() const { return fMsPerBlock; }
    int32_t GetCurrentBlock() const { return nCurrentBlock; }

  private:
    const uint8_t* pDataStart;
    const uint8_t* pDataEnd;
    uint32_t dwFramesPerBlock;
    uint32_t dwBlockSize;
    int32_t nBlockCount;
    float fMsPerBlock;
    int32_t nCurrentBlock = 0;
};
