// Keeps one channel's sound buffer filled from its decode stream: a ring of
// four blocks that the mixer plays in a loop. Each time the play cursor has
// left a block, the channel's event fires and OnNotification (on the engine's
// event thread) overwrites that block with the next one of the file and arms
// the next notification. It also keeps the channel's play clock, catches up
// when the refills have fallen behind, pads with silence after the data and
// ends the channel once the last block has been heard.
//
// A looping channel plays its range over and over with no gap and never
// ends. The file frame at which each block of the ring begins is kept as the
// block is written, so that the frame under the play cursor is known for
// every channel on its own.
#pragma once

#include <atomic>
#include <cstdint>

#include "diag/DebugLog.h"
#include "mixer/AsioHost.h"
#include "mixer/SoundBuffer.h"

class BlockSource;
class AudioBuffer;
namespace platform {
class Event;
}

// Filled by the channel pipeline, read once by the constructor.
struct StreamBufferParams {
    int32_t nChannel;               // 0..11, also the output pair
    platform::Event* hNotifyEvent;  // the channel's event, waited on by the event thread
    std::atomic<int32_t>* pStates;  // the engine's twelve channel states
    BlockSource* pDecodeStream;     // ownership passes to the StreamBuffer
    CreateSoundBufferFunction pCreate;
    ReleaseSoundBufferFunction pRelease;
    LogFunction pLog;
};

class StreamBuffer {
  public:
    using ClockFunction = uint32_t (*)();

    explicit StreamBuffer(const StreamBufferParams& params);
    // Closes what Close has not: the decode stream and the sound buffer.
    ~StreamBuffer();
    StreamBuffer(const StreamBuffer&) = delete;
    StreamBuffer& operator=(const StreamBuffer&) = delete;

    // Obtains the sound buffer (for output pair nChannel) and fills the ring.
    [[nodiscard]] bool CreateBuffer();
    // Locks the whole sound buffer (which rewinds it) and fills four blocks.
    [[nodiscard]] bool DirectSoundBufferSetup();
    // Starts or resumes playing: ArmToPlay, then the sound buffer's Play.
    [[nodiscard]] bool Play();
    // Everything Play does but start the sound buffer, for a caller that
    // starts several buffers together; it must start this one before it
    // lets go of the channel's mutex.
    [[nodiscard]] bool ArmToPlay();
    // Stops playing and remembers how long the channel had played.
    void Pause();
    bool IsPlaying();
    // Moves to a block (clamped by the file) and refills the ring; the block
    // set, or -1. With resume the channel plays on from there.
    int32_t SetPosition(int32_t block, bool resume);
    // The refill: 8 when the channel has just terminated, else 0.
    int32_t OnNotification();
    bool FillNextBlock();
    bool ResetBuffer();
    // Stops, gives the sound buffer back, frees the decode stream (and with it
    // the file), and marks the channel CHANNEL_FREE.
    void Close();

    // Loops the play range; turned off, the channel plays on to its end. A
    // ring not yet played is filled again at once; a playing one changes from
    // the next block written on, so a loop turned on once the end is already
    // in the ring plays the silence written after it before starting again.
    void SetLooping(bool bLoop);
    bool IsLooping() const;
    // The frame of the file under the play cursor, counted from the first
    // frame of its audio; 0 when closed.
    int64_t GetPositionFrames();
    int64_t GetLengthFrames() const;
    uint32_t GetFileRate() const;

    // The millisecond clock behind the play clock and the lateness test.
    // Tests replace it to make a notification late or on time at will; set it
    // before the buffer is used from two threads.
    void SetClock(ClockFunction clock) { pClock = clock; }

    // Read-only views for the pipeline and for tests.
    SoundBufferBase* GetSoundBuffer() const;
    uint32_t GetBufferSize() const { return dwBufferSize; }
    uint32_t GetCurFilledOffset() const { return static_cast<uint32_t>(pWrite - pRingStart); }
    uint32_t GetStartTime() const { return dwStartTime; }
    const char* GetFileName() const { return szFileName; }

  private:
    void Log(const char* text) const;
    [[gnu::format(printf, 2, 3)]] void LogF(const char* format, ...);
    void SetState(int32_t state);
    int32_t GetState() const;
    uint32_t Now() const { return pClock(); }
    // The next block goes into the ring at the write pointer, which then moves
    // on by a block and wraps at the end.
    void AdvanceWritePointer();
    void ArmOnce(uint32_t bytes);
    // The bytes the cursor has moved since the notification was armed.
    uint32_t TravelledSinceArm();
    uint32_t CursorPosition();
    // Notes where the block at the write pointer, about to be written, begins.
    void NoteBlockStart();

    // Everything below is used under the channel's mutex, by the application's
    // thread (creation, positioning, play, pause, close) or the event thread
    // (OnNotification); the two never run at once on one channel.
    int32_t nChannel;
    platform::Event* hNotifyEvent;
    std::atomic<int32_t>* pStates;
    BlockSource* pDecodeStream;
    CreateSoundBufferFunction pCreate;
    ReleaseSoundBufferFunction pRelease;
    LogFunction pLog;
    ClockFunction pClock;

    AudioBuffer* pSoundBuffer = nullptr;
    // Log lines; room for the longest one around a whole file name.
    char text[512] = {};
    char szFileName[260] = {};  // as large as the WaveFile's name, which is cut at 259

    uint32_t dwBufferSize = 0;  // four blocks
    uint32_t cbDstBufSize = 0;  // one block
    uint32_t dwBytesPerSec = 0;
    // The ring lies in the sound buffer's memory, written here without a lock:
    // a block is written only after the driver's thread has played it.
    uint8_t* pRingStart = nullptr;
    uint8_t* pRingEnd = nullptr;
    uint8_t* pWrite = nullptr;

    double dMsPerBlock = 0.0;
    uint32_t dwOnTime = 0;
    double dPlayedMs = 0.0;
    uint32_t dwLastNotifyTime = 0;
    uint32_t dwStartTime = 0;
    uint32_t dwPausedElapsed = 0;
    // Where and for how many bytes the notification was last armed.
    uint32_t dwArmCursor = 0;
    uint32_t dwArmBytes = 0;
    uint32_t dwArmTime = 0;
    // The file frame at which each block of the ring begins, and whether it
    // was written looping.
    int64_t qwBlockStart[4] = {};
    bool bBlockLooped[4] = {};
    bool bPaused = false;  // Pause stopped the buffer; Play resumes the clock
    // A notification whose bytes had all played came while paused.
    bool bMissedNotification = false;
    // The ring was filled from block nRingBlock and has not been played since.
    bool bUnplayed = false;
    int32_t nRingBlock = 0;
    bool bEndOfData = false;
    bool bClosed = false;
    bool bResync = false;
};
