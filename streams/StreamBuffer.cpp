#include "streams/StreamBuffer.h"

#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

#include "streams/ChannelStates.h"
#include "mixer/AudioBuffer.h"
#include "platform/Event.h"
#include "streams/BlockSource.h"

namespace {

// Times are kept in double and logged as 32-bit values; a malformed format
// (no bytes per second) must not turn into an out-of-range conversion.
int32_t FloorToInt32(double value) {
    if (!(value == value)) return 0;
    const double f = std::floor(value);
    if (f >= static_cast<double>(std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max();
    if (f <= static_cast<double>(std::numeric_limits<int32_t>::min()))
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(f);
}

uint32_t FloorToUInt32(double value) {
    return static_cast<uint32_t>(FloorToInt32(value));
}

}  // namespace

StreamBuffer::StreamBuffer(const StreamBufferParams& params)
    : nChannel(params.nChannel),
      hNotifyEvent(params.hNotifyEvent),
      pStates(params.pStates),
      pDecodeStream(params.pDecodeStream),
      pCreate(params.pCreate),
      pRelease(params.pRelease),
      pLog(params.pLog),
      pClock(&platform::TimeGetTime) {
    if (!pDecodeStream) return;
    std::snprintf(szFileName, sizeof szFileName, "%s", pDecodeStream->GetFileName());
    dwBufferSize = pDecodeStream->BufferSize;
    cbDstBufSize = pDecodeStream->cbDstBufSize;
    dwBytesPerSec = pDecodeStream->dwBytesPerSec;
    if (dwBytesPerSec != 0)
        dMsPerBlock =
            static_cast<double>(cbDstBufSize) / static_cast<double>(dwBytesPerSec) * 1000.0;
}

StreamBuffer::~StreamBuffer() {
    Close();
}

SoundBufferBase* StreamBuffer::GetSoundBuffer() const {
    return pSoundBuffer;
}

void StreamBuffer::Log(const char* line) const {
    if (pLog) pLog(line, false);
}

void StreamBuffer::LogF(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    Log(text);
}

void StreamBuffer::SetState(int32_t state) {
    if (pStates && nChannel >= 0 && nChannel < kNumChannels)
        pStates[nChannel].store(state, std::memory_order_release);
}

int32_t StreamBuffer::GetState() const {
    if (pStates && nChannel >= 0 && nChannel < kNumChannels)
        return pStates[nChannel].load(std::memory_order_acquire);
    return CHANNEL_FREE;
}

uint32_t StreamBuffer::CursorPosition() {
    uint32_t cursor = 0;
    pSoundBuffer->GetAudioPosition(&cursor);
    return cursor;
}

void StreamBuffer::ArmOnce(uint32_t bytes) {
    dwArmCursor = CursorPosition();
    dwArmBytes = bytes;
    dwArmTime = Now();
    pSoundBuffer->SetNotify(hNotifyEvent, bytes, NOTIFY_ONCE);
}

uint32_t StreamBuffer::TravelledSinceArm() {
    const uint32_t cursor = CursorPosition();
    return cursor >= dwArmCursor ? cursor - dwArmCursor : dwBufferSize - dwArmCursor + cursor;
}

void StreamBuffer::AdvanceWritePointer() {
    pWrite += cbDstBufSize;
    if (pWrite >= pRingEnd) pWrite = pRingStart;
}

bool StreamBuffer::CreateBuffer() {
    if (bClosed || !pDecodeStream || !pCreate) return false;
    // A ring whose size the sound buffer cannot hold exactly, or that has no
    // blocks at all, could never be refilled inside its memory.
    if (cbDstBufSize == 0 || dwBufferSize != cbDstBufSize * 4u) {
        Log("Failed creating sound buffer.\n");
        return false;
    }
    BufferDescription desc{};
    desc.dwBufferBytes = dwBufferSize;
    desc.dwSamplesPerSec = pDecodeStream->dwRingRate;
    desc.nChannels = pDecodeStream->nRingChannels;
    desc.nOwner = nChannel;
    void* buffer = pCreate(&desc, pDecodeStream->dwSampleBits);
    if (!buffer) {
        Log("Failed creating sound buffer.\n");
        return false;
    }
    pSoundBuffer = static_cast<AudioBuffer*>(buffer);
    Log("Success creating sound buffer.\n");

    if (dwBytesPerSec != 0) {
        const double deviceMs = static_cast<double>(pSoundBuffer->GetPrimaryBufSizeBytes()) /
                                static_cast<double>(dwBytesPerSec) * 1000.0;
        dwOnTime = FloorToUInt32(deviceMs + dMsPerBlock);
    }
    LogF("dwOnTime: %" PRId32 "\n", static_cast<int32_t>(dwOnTime));
    nRingBlock = pDecodeStream->NextBlock();
    bUnplayed = true;
    return DirectSoundBufferSetup();
}

bool StreamBuffer::DirectSoundBufferSetup() {
    if (bClosed || !pSoundBuffer || !pDecodeStream) return false;
    void* memory = nullptr;
    uint32_t locked = 0;
    // The ring is written block by block up to its end without asking the
    // sound buffer again, so its memory must be exactly the ring.
    if (!pSoundBuffer->Lock(0, dwBufferSize, &memory, &locked, nullptr, nullptr,
                            LOCK_ENTIRE_BUFFER) ||
        !memory || locked != dwBufferSize) {
        Log("\nDirectSoundBufferSetup: Lock failed!\n");
        return false;
    }
    auto* ring = static_cast<uint8_t*>(memory);
    const int64_t first = pDecodeStream->NextFrame();
    const bool looped = pDecodeStream->IsLooping();
    for (uint32_t i = 0; i < 4; ++i) {
        qwBlockStart[i] = pDecodeStream->FrameAfter(
            first, static_cast<uint64_t>(i) * pDecodeStream->RingFrames(), looped);
        bBlockLooped[i] = looped;
    }
    // Every source fills what it is given, with zeros past its end.
    const bool ok = pDecodeStream->GetDecodedData(ring, locked, 4, &bEndOfData) == locked;
    pRingStart = ring;
    pRingEnd = ring + dwBufferSize;
    pWrite = pRingStart;
    return ok;
}

bool StreamBuffer::Play() {
    const bool resuming = bPaused;
    if (!ArmToPlay()) return false;
    if (!pSoundBuffer->Play(true)) {
        if (!resuming) pSoundBuffer->CancelNotify();
        return false;
    }
    return true;
}

bool StreamBuffer::ArmToPlay() {
    if (bClosed || !pSoundBuffer) return false;
    const uint32_t now = Now();
    dwLastNotifyTime = now;
    if (bPaused) {
        // The notification armed before the pause is still armed and goes on
        // counting from where the buffer stopped. One that fired just before
        // the pause found the buffer stopped and refilled nothing: raise it
        // again. The caller holds the channel's mutex until the buffer has
        // started, so the refill it asks for comes after the start.
        dwStartTime = now - dwPausedElapsed;
        dwPausedElapsed = 0;
        bPaused = false;
        if (bMissedNotification && hNotifyEvent) hNotifyEvent->Set();
    } else {
        // Armed before the buffer starts, so that no buffer switch can play
        // bytes the notification does not count.
        ArmOnce(cbDstBufSize);
        dwStartTime = now - FloorToUInt32(dPlayedMs);
    }
    bMissedNotification = false;
    bUnplayed = false;
    bResync = true;
    return true;
}

void StreamBuffer::Pause() {
    if (!pSoundBuffer) return;
    pSoundBuffer->Stop();
    dwPausedElapsed = Now() - dwStartTime;
    bPaused = true;
}

bool StreamBuffer::IsPlaying() {
    return pSoundBuffer && pSoundBuffer->IsPlaying();
}

int32_t StreamBuffer::SetPosition(int32_t block, bool resume) {
    if (bClosed || !pSoundBuffer || !pDecodeStream) return -1;
    pSoundBuffer->Stop();
    pSoundBuffer->CancelNotify();
    (void)pSoundBuffer->SetAudioPosition(0);
    // A signal the driver raised before the cancel belongs to the old
    // position; OnNotification re-arms instead of refilling when one still
    // arrives (see there).
    bPaused = false;

    block = pDecodeStream->Seek(block);
    pDecodeStream->ClearEndFlag();
    dwLastNotifyTime = 0;
    bEndOfData = false;
    if (!DirectSoundBufferSetup()) return -1;

    dwStartTime = 0;
    dwPausedElapsed = 0;
    dPlayedMs = static_cast<double>(block) * dMsPerBlock;
    nRingBlock = block;
    bUnplayed = true;
    SetState(CHANNEL_LOADED);
    if (resume) {
        if (!Play()) return -1;
        SetState(CHANNEL_PLAYING);
        return block;
    }
    pSoundBuffer->SetAttenuation(0);
    return block;
}

void StreamBuffer::NoteBlockStart() {
    const size_t slot = static_cast<size_t>(pWrite - pRingStart) / cbDstBufSize;
    qwBlockStart[slot & 3] = pDecodeStream->NextFrame();
    bBlockLooped[slot & 3] = pDecodeStream->IsLooping();
}

bool StreamBuffer::FillNextBlock() {
    NoteBlockStart();
    if (bEndOfData) {
        pDecodeStream->DeliverSilence(pWrite);
    } else {
        pDecodeStream->GetDecodedData(pWrite, cbDstBufSize, 1, &bEndOfData);
    }
    AdvanceWritePointer();
    if (bEndOfData && GetState() == CHANNEL_PLAYING) SetState(CHANNEL_CLOSING);
    return !pDecodeStream->PlayedOut();
}

bool StreamBuffer::ResetBuffer() {
    if (!pSoundBuffer) return false;
    pSoundBuffer->Stop();
    if (bClosed) return false;
    Log("Had to reset buffer!\n");
    (void)pSoundBuffer->SetAudioPosition(0);
    pWrite = pRingStart;
    if (!FillNextBlock()) return false;
    ArmOnce(cbDstBufSize);
    pSoundBuffer->Play(true);
    bool filled = true;
    for (int i = 0; i < 3 && filled; ++i) filled = FillNextBlock();
    return filled;
}

int32_t StreamBuffer::OnNotification() {
    if (bClosed || !pSoundBuffer) return 0;
    if (!pSoundBuffer->IsPlaying()) {
        // A notification whose bytes had all played fired just before a
        // pause: the resume asks for its refill again.
        if (bPaused && TravelledSinceArm() >= dwArmBytes) bMissedNotification = true;
        return 0;
    }

    // A signal raised before the notification was last armed (the driver set
    // it just before a reposition cancelled it) comes soon after the arming
    // and finds the cursor short of the armed target. Refilling then would
    // overwrite blocks not yet heard; arming again for the rest of the way
    // keeps the target, and is harmless if the notification is in fact still
    // armed. A cursor short of the target long after the arming has gone
    // round the whole ring: that is lateness, handled below.
    {
        const uint32_t travelled = TravelledSinceArm();
        if (travelled < dwArmBytes && Now() - dwArmTime < dwOnTime) {
            const uint32_t rest = dwArmBytes - travelled;
            const uint32_t armedAt = dwArmTime;
            ArmOnce(rest);
            dwArmTime = armedAt;
            return 0;
        }
    }

    const uint32_t now = Now();
    dPlayedMs += dMsPerBlock;
    const uint32_t tsl = now - dwLastNotifyTime;
    const uint32_t elapsed = now - dwStartTime;
    dwLastNotifyTime = now;
    LogF("Chn: %d, TSL: %" PRId32 ", a-r: %" PRId32 ", ", nChannel, static_cast<int32_t>(tsl),
         FloorToInt32(dPlayedMs - static_cast<double>(elapsed)));

    // At the first notification after each Play the measured time is set equal
    // to the predicted one; the two drift apart only from there on.
    if (bResync) {
        dwStartTime = now - FloorToUInt32(dPlayedMs);
        bResync = false;
    }

    int32_t count = 1;
    bool filled;
    if (tsl < dwOnTime) {
        filled = FillNextBlock();
    } else {
        // Late: find out how far the cursor has gone. At an on-time
        // notification it stands at the start of the block after the one
        // about to be refilled.
        const uint32_t expected = (GetCurFilledOffset() + cbDstBufSize) % dwBufferSize;
        // The cursor of a looping buffer is always below the end, so the
        // distance is below the ring and at most four blocks are behind.
        const uint32_t distance = (CursorPosition() + dwBufferSize - expected) % dwBufferSize;
        count = static_cast<int32_t>(distance / cbDstBufSize) + 1;
        if (count == 1) {
            filled = FillNextBlock();
        } else if (count == 4) {
            filled = ResetBuffer();
        } else {
            filled = true;
            for (int32_t i = 0; i < count && filled; ++i) filled = FillNextBlock();
            LogF("bufs behind: %d, ", count);
        }
        dPlayedMs += static_cast<double>(count - 1) * dMsPerBlock;
    }

    // Catch up with the cursor if need be, then arm the notification for the
    // end of the block the cursor is in.
    while (filled && count < 4) {
        const uint32_t filledOffset = GetCurFilledOffset();
        const uint32_t cursor = CursorPosition();
        bool rearm = false;
        if (cursor == filledOffset) {
            Log("* ");
            rearm = true;
        } else if (cursor > filledOffset && cursor - filledOffset < cbDstBufSize) {
            rearm = true;
        }
        if (rearm) {
            uint32_t next = filledOffset + cbDstBufSize;
            if (next > dwBufferSize) next -= dwBufferSize;  // the end of the ring itself stays
            if (next > cursor && next - cursor < dwBufferSize) {
                ArmOnce(next - cursor);
                break;
            }
            Log("\nError calculating dwNextCursorNotification!!\n");
            LogF("\ndwBytesToNotification: %" PRId32 ", dwBufferSize: %" PRId32
                 ", dwCurrentPlayCursor: %" PRId32 ", dwNextCursorNotification: %" PRId32 "\n",
                 0, static_cast<int32_t>(dwBufferSize), static_cast<int32_t>(cursor),
                 static_cast<int32_t>(next));
        }
        filled = FillNextBlock();
        dPlayedMs += dMsPerBlock;
        LogF("\nFilled again!!! dwCurFilledOffset: %" PRId32 ", dwCurrentPlayCursor: %" PRId32
             ", dwBufferSize: %" PRId32 "\n",
             static_cast<int32_t>(filledOffset), static_cast<int32_t>(cursor),
             static_cast<int32_t>(dwBufferSize));
    }

    LogF("PT: %" PRId32 "\n", static_cast<int32_t>(Now() - now));

    if (!filled) {
        Pause();
        LogF("\nPlayed ms - predicted: %" PRId32 ", by bufcount: %" PRId32 ", actual: %" PRId32
             "\n",
             static_cast<int32_t>(pDecodeStream->SongPlayTime), FloorToInt32(dPlayedMs),
             static_cast<int32_t>(now - dwStartTime));
        std::snprintf(text, sizeof text, "Terminated %s on channel %d at ", szFileName, nChannel);
        if (pLog) pLog(text, true);
        SetState(CHANNEL_TERMINATED);
        return 8;
    }
    return 0;
}

void StreamBuffer::SetLooping(bool bLoop) {
    if (bClosed || !pDecodeStream || bLoop == pDecodeStream->IsLooping()) return;
    pDecodeStream->SetLooping(bLoop);
    if (bUnplayed && pSoundBuffer) {
        // Nothing of the ring has been heard: fill it again from its start.
        pDecodeStream->Seek(nRingBlock);
        pDecodeStream->ClearEndFlag();
        bEndOfData = false;
        (void)DirectSoundBufferSetup();
        return;
    }
    if (!bLoop || !bEndOfData) return;
    // The end is already in the ring: the next block written starts the
    // range again, and the channel plays on.
    bEndOfData = false;
    pDecodeStream->ClearEndFlag();
    if (GetState() == CHANNEL_CLOSING) SetState(CHANNEL_PLAYING);
}

bool StreamBuffer::IsLooping() const {
    return pDecodeStream && pDecodeStream->IsLooping();
}

int64_t StreamBuffer::GetPositionFrames() {
    if (bClosed || !pSoundBuffer || !pDecodeStream || pDecodeStream->RingFrames() == 0) return 0;
    const uint32_t cursor = CursorPosition();
    const uint32_t slot = (cursor / cbDstBufSize) & 3;
    const uint32_t frameBytes = cbDstBufSize / pDecodeStream->RingFrames();
    const uint32_t into = (cursor % cbDstBufSize) / frameBytes;
    return pDecodeStream->FrameAfter(qwBlockStart[slot], into, bBlockLooped[slot]);
}

int64_t StreamBuffer::GetLengthFrames() const {
    return pDecodeStream ? pDecodeStream->GetLengthFrames() : 0;
}

uint32_t StreamBuffer::GetFileRate() const {
    return pDecodeStream ? pDecodeStream->GetFileRate() : 0;
}

void StreamBuffer::Close() {
    if (bClosed) return;
    bClosed = true;
    if (pSoundBuffer) {
        pSoundBuffer->CancelNotify();
        pSoundBuffer->Stop();
    }
    delete pDecodeStream;
    pDecodeStream = nullptr;
    if (pSoundBuffer) {
        if (pRelease) pRelease(pSoundBuffer);
        pSoundBuffer = nullptr;
    }
    pRingStart = pRingEnd = pWrite = nullptr;
    SetState(CHANNEL_FREE);
}
