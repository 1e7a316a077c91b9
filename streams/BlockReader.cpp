#include "streams/BlockReader.h"

#include <cstdint>

BlockReader::BlockReader(const uint8_t* pData, uint32_t dwDataSize, uint16_t nBlockAlign,
                         uint32_t nSamplesPerSec)
    : pDataStart(pData), pDataEnd(pData + dwDataSize) {
    dwFramesPerBlock = nSamplesPerSec >= 44100 ? kFramesPerBlock : kFramesPerBlockLow;
    // At most 65535 * 4608 bytes: a block always fits in 32 bits.
    dwBlockSize = static_cast<uint32_t>(nBlockAlign) * dwFramesPerBlock;
    const uint32_t dwFrameCount = nBlockAlign ? dwDataSize / nBlockAlign : 0;
    // A last, partial block counts.
    nBlockCount = static_cast<int32_t>((dwFrameCount + dwFramesPerBlock - 1) / dwFramesPerBlock);
    fMsPerBlock = nSamplesPerSec ? static_cast<float>(dwFramesPerBlock * 1000) /
                                       static_cast<float>(nSamplesPerSec)
                                 : 0.0f;
}

const uint8_t* BlockReader::BlockPointer(int32_t nBlock) const {
    if (nBlock < 0 || nBlock >= nBlockCount) return nullptr;
    return pDataStart + static_cast<uint64_t>(nBlock) * dwBlockSize;
}

uint32_t BlockReader::Fetch(const uint8_t** ppBlock, int32_t nBlocks, bool* pbEnd) {
    if (pbEnd) *pbEnd = false;
    const uint8_t* pBlock = BlockPointer(nCurrentBlock);
    if (ppBlock) *ppBlock = pBlock;
    if (!pBlock || nBlocks < 0) return 0;
    const int64_t nNext = static_cast<int64_t>(nCurrentBlock) + nBlocks;
    if (nNext < nBlockCount) {
        nCurrentBlock = static_cast<int32_t>(nNext);
        return static_cast<uint32_t>(nBlocks) * dwBlockSize;
    }
    // The fetch that hands out the last block, full or partial, raises the end.
    nCurrentBlock = nNext > INT32_MAX ? INT32_MAX : static_cast<int32_t>(nNext);
    if (pbEnd) *pbEnd = true;
    return static_cast<uint32_t>(pDataEnd - pBlock);
}

bool BlockReader::Seek(const uint8_t** ppBlock, bool* pbIsLast, int32_t nBlock) {
    if (pbIsLast) *pbIsLast = false;
    const uint8_t* pBlock = BlockPointer(nBlock);
    if (ppBlock) *ppBlock = pBlock;
    if (!pBlock) return false;
    nCurrentBlock = nBlock;
    if (pbIsLast) *pbIsLast = nBlock == nBlockCount - 1;
    return true;
}
