#include "streams/BlockSource.h"

#include <algorithm>
#include <cmath>
#include <cstring>

void BlockSource::SetRange(int64_t qwLength, int64_t qwStart, int64_t qwEnd, uint32_t dwRate,
                           double dFileFramesPerRingFrame, uint32_t dwFrameBytes) {
    qwLengthFrames = qwLength;
    qwRangeStart = qwStart;
    qwRangeEnd = qwEnd;
    dwFileRate = dwRate;
    dwFramesPerBlock = FramesPerBlock(dwRate);
    dRatio = dFileFramesPerRingFrame;
    dwRingFrameBytes = dwFrameBytes;
}

void BlockSource::SetLooping(bool bLoop) {
    bLooping = bLoop;
    // An end met before belongs to the pass that the loop now carries on.
    if (bLoop) qwEndBlock = INT64_MAX;
}

int64_t BlockSource::FrameAfter(int64_t start, uint64_t ringFrames, bool bLooped) const {
    int64_t frame =
        start + static_cast<int64_t>(std::floor(static_cast<double>(ringFrames) * dRatio));
    const int64_t length = qwRangeEnd - qwRangeStart;
    if (bLooped && length > 0) {
        frame = qwRangeStart + (frame - qwRangeStart) % length;
    } else {
        frame = std::min(frame, qwRangeEnd);
    }
    return std::max(frame, qwRangeStart);
}

uint32_t BlockSource::FloorToUint32(double value) {
    if (!(value > 0.0)) return 0;
    if (value >= 4294967295.0) return UINT32_MAX;
    return static_cast<uint32_t>(std::floor(value));
}

void BlockSource::CountBlocks(int32_t nBlocks, uint64_t qwAudible, bool bEnd) {
    const uint32_t ringFrames = RingFrames();
    if (bEnd && qwEndBlock == INT64_MAX && ringFrames != 0)
        qwEndBlock = qwBlocks + static_cast<int64_t>((qwAudible + ringFrames - 1) / ringFrames);
    qwBlocks += nBlocks;
}

bool BlockSource::FramesPlayedOut() const {
    // The ring holds the block being heard and the next three, the last of
    // which was just written.
    return !bLooping && qwBlocks - static_cast<int64_t>(kRingBlocks) >= qwEndBlock;
}

void BlockSource::RestartCount() {
    qwBlocks = 0;
    qwEndBlock = INT64_MAX;
}

uint32_t BlockSource::DeliverUnready(uint8_t* pDst, uint32_t dwBytes, bool* pbEnd) {
    if (dwBytes) std::memset(pDst, 0, dwBytes);
    bEndFlag = true;
    if (pbEnd) *pbEnd = true;
    return dwBytes;
}
