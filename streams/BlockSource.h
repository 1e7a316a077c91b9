// What a stream buffer fills its ring from: a source that delivers a
// channel's audio a block at a time, already in the layout of the channel's
// sound buffer. DecodeStream copies the blocks of a mapped 16-bit WAV file as
// they are; SoundFileStream decodes every other file through libsndfile and
// converts its rate to the device's when it must.
//
// A block of the ring holds cbDstBufSize bytes, RingFrames() frames of the
// sound buffer. Positions are frames of the file, counted from the first
// frame of its audio; the play range runs from the cue-in to the cue-out (or
// the start and the end of the audio).
//
// Every call comes under the channel's mutex, from the application's thread
// (first fill, repositioning, loops) or the engine's event thread (refills).
#pragma once

#include <cstdint>

class BlockSource {
  public:
    static constexpr uint32_t kRingBlocks = 4;  // a sound buffer holds four blocks
    // The block numbers of the file: 4608 frames, 2304 below 44100 Hz.
    static uint32_t FramesPerBlock(uint32_t dwRate) { return dwRate >= 44100 ? 4608u : 2304u; }

    virtual ~BlockSource() = default;
    BlockSource(const BlockSource&) = delete;
    BlockSource& operator=(const BlockSource&) = delete;

    bool IsReady() const { return bReady; }
    // Fills dwBytes bytes at pDst with the next nBlocks blocks, zeros after
    // the data; returns dwBytes. pbEnd, when not null, receives the end flag.
    virtual uint32_t GetDecodedData(uint8_t* pDst, uint32_t dwBytes, int32_t nBlocks,
                                    bool* pbEnd) = 0;
    // One block of silence, written once the data have ended.
    virtual void DeliverSilence(uint8_t* pDst) = 0;
    // Lowers the end flag (after the channel is repositioned).
    void ClearEndFlag() { bEndFlag = false; }
    bool GetEndFlag() const { return bEndFlag; }
    // Moves to a block of the file (clamped as the file allows); the block set.
    virtual int32_t Seek(int32_t nBlock) = 0;
    // True when the block the cursor has just entered, after the last
    // delivery, holds nothing of the file: the channel has played out.
    virtual bool PlayedOut() const = 0;
    // The block of the file the next delivery begins in, as the engine reports
    // positions; meaningful only while IsBlockExact().
    virtual int32_t NextBlock() const = 0;
    // True while blocks of the ring are exactly blocks of the file (the mapped
    // file played straight): NextBlock() then counts them.
    virtual bool IsBlockExact() const { return false; }
    virtual const char* GetFileName() const = 0;

    // A looping source plays its range over and over, frame after frame, and
    // never ends; turned off, it plays on from where it is to the range end.
    virtual void SetLooping(bool bLoop);
    bool IsLooping() const { return bLooping; }

    // The file frame the next delivered block begins with.
    virtual int64_t NextFrame() const = 0;
    // The file frame `ringFrames` frames of the ring after `start`, wrapped
    // into the range when the frames were delivered looping, else held at
    // the range end.
    int64_t FrameAfter(int64_t start, uint64_t ringFrames, bool bLooped) const;

    int64_t GetLengthFrames() const { return qwLengthFrames; }
    uint32_t GetFileRate() const { return dwFileRate; }
    uint32_t GetFramesPerBlock() const { return dwFramesPerBlock; }
    uint32_t RingFrames() const { return dwRingFrameBytes ? cbDstBufSize / dwRingFrameBytes : 0; }

    // What the sound buffer is made for, fixed at construction: its rate,
    // channels and sample width in memory (16 or 32).
    uint32_t dwRingRate = 0;
    uint16_t nRingChannels = 0;
    uint32_t dwSampleBits = 16;
    // The ring's figures, fixed at construction.
    uint32_t cbDstBufSize = 0;   // one block in bytes
    uint32_t BufferSize = 0;     // the ring: four blocks
    uint32_t SongPlayTime = 0;   // ms of the play range, in the file's time
    uint32_t dwBytesPerSec = 0;  // bytes of the ring a second

  protected:
    BlockSource() = default;
    // Milliseconds and byte counts as 32-bit figures: floored, NaN and below
    // zero as 0, beyond 32 bits as the largest.
    static uint32_t FloorToUint32(double value);
    // Sets the range and the geometry that positions are mapped through.
    void SetRange(int64_t qwLength, int64_t qwStart, int64_t qwEnd, uint32_t dwRate,
                  double dFileFramesPerRingFrame, uint32_t dwFrameBytes);

    // Frame by frame delivery from qwFrame on: `read(frame, count, done)` must
    // put `count` frames of the file from `frame` on after the `done` frames
    // delivered so far, and returns how many it could (fewer ends the data).
    // Wraps at the range end while looping; a short read ends the range
    // there. Returns the frames delivered.
    template <class Read>
    uint32_t ReadRange(uint32_t dwFrames, Read&& read);
    // Counts nBlocks blocks just delivered, dwAudible of their frames sound;
    // a delivery that met the end fixes the first block of silence.
    void CountBlocks(int32_t nBlocks, uint64_t qwAudible, bool bEnd);
    // The source has played out once the block at the cursor is silence.
    bool FramesPlayedOut() const;
    // Forgets the blocks counted and the end met, as at a fresh position.
    void RestartCount();
    // What a source that failed to set up delivers: silence, and the end.
    uint32_t DeliverUnready(uint8_t* pDst, uint32_t dwBytes, bool* pbEnd);

    bool bReady = false;
    bool bEndFlag = false;
    bool bLooping = false;
    int64_t qwFrame = 0;  // the next file frame to deliver
    int64_t qwLengthFrames = 0;
    int64_t qwRangeStart = 0;
    int64_t qwRangeEnd = 0;
    uint32_t dwFileRate = 0;
    uint32_t dwFramesPerBlock = 0;
    uint32_t dwRingFrameBytes = 0;
    double dRatio = 1.0;             // file frames per frame of the ring
    int64_t qwBlocks = 0;            // blocks delivered since the last position
    int64_t qwEndBlock = INT64_MAX;  // the first block that is silence throughout
};

template <class Read>
uint32_t BlockSource::ReadRange(uint32_t dwFrames, Read&& read) {
    uint32_t done = 0;
    while (done < dwFrames) {
        if (qwFrame >= qwRangeEnd) {
            if (!bLooping || qwRangeEnd <= qwRangeStart) break;
            qwFrame = qwRangeStart;
        }
        const int64_t left = qwRangeEnd - qwFrame;
        const uint32_t want =
            left < dwFrames - done ? static_cast<uint32_t>(left) : dwFrames - done;
        const uint32_t got = read(qwFrame, want, done);
        qwFrame += got;
        done += got;
        // A file that yields less than it said it holds ends where it stopped.
        if (got < want) qwRangeEnd = qwFrame;
    }
    return done;
}
