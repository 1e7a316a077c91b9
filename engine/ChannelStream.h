// Everything the engine keeps for one file loaded on one channel: the mapped
// file, the parsed wave, the decode stream, the stream buffer, and the two
// small handles through which the engine plays, pauses, positions and
// describes the channel. Made in two steps under the channel's mutex: the
// constructor maps the file, Build assembles the rest.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "diag/DebugLog.h"
#include "mixer/AsioHost.h"

class AudioBuffer;
class BlockSource;
class ChannelControl;
class DecodeStream;
class MappedFile;
class StreamBuffer;
class WaveFile;
namespace platform {
class Event;
}

// What the engine reads through a channel: the file's name and position.
struct SourceLink {
    WaveFile* pWaveFile;
    DecodeStream* pDecodeStream;
};

// Handed by the engine to Build.
struct PipelineParams {
    platform::Event* hNotifyEvent;  // the channel's event, set by its sound buffer
    std::atomic<int32_t>* pStates;  // the engine's twelve channel states
    CreateSoundBufferFunction pCreate;
    ReleaseSoundBufferFunction pRelease;
    LogFunction pLog;
    // The device's rate (0: not known) and whether files at other rates are
    // converted to it. Without both, every file plays at its own rate.
    uint32_t dwDeviceRate;
    bool bConvertRates;
};

class ChannelStream {
  public:
    // Maps the file read-only; IsOpened tells whether that worked.
    ChannelStream(int32_t nChannel, const char* path, uint32_t loadId);
    // Closes and frees whatever exists, built or not.
    ~ChannelStream();
    ChannelStream(const ChannelStream&) = delete;
    ChannelStream& operator=(const ChannelStream&) = delete;

    bool IsOpened() const { return bOpened; }
    // Why the file could not be opened or built, in words for the user; ""
    // while nothing failed. Every stage that refuses a file says why here.
    const char* GetFailure() const { return szFailure; }
    // Parses the file and builds the decode stream and the stream buffer,
    // which obtains and fills its sound buffer. Once only. A 16-bit PCM WAV
    // of one or two channels at the device's rate or half of it (or at any
    // rate the mapped parser takes, when rates are not converted) plays
    // mapped, as it is; every other file goes through the decode stage.
    [[nodiscard]] bool Build(const PipelineParams& params);

    // The refill, on the event thread: 8 when the channel has just terminated.
    int32_t OnNotification();
    // The block set, or -1.
    int32_t SetPosition(int32_t block, bool resume);

    // The sound buffer, for the channel's level and fades; null before Build.
    AudioBuffer* GetAudioBuffer() const;
    // Readies an idle channel to play without starting its sound buffer (see
    // StreamBuffer::ArmToPlay); false when it already plays or cannot start.
    [[nodiscard]] bool ArmToPlay();

    ChannelControl* GetControl() const { return control; }
    const SourceLink* GetLink() const { return link; }
    StreamBuffer* GetStreamBuffer() const { return streamBuffer; }
    uint32_t GetLoadId() const { return loadId; }
    int32_t GetChannel() const { return channel; }
    // The full path the file was opened with ("" before Build), and the next
    // block the decode stream delivers (0 before Build); for a channel whose
    // ring blocks are not the file's, the block under the cursor plus three,
    // so that the engine's report of the block playing holds for it too.
    const char* GetFileName() const;
    int32_t GetNextBlock() const;

    // Loops the play range (see StreamBuffer::SetLooping); nothing before Build.
    void SetLooping(bool bLoop);
    bool IsLooping() const;
    // The frame of the file under the play cursor and the file's length in
    // frames, at its rate; 0 before Build.
    int64_t GetPositionFrames() const;
    int64_t GetLengthFrames() const;
    uint32_t GetFileRate() const;

  private:
    // Build gives up: forgets the parts it no longer owns and keeps the reason.
    [[gnu::format(printf, 2, 3)]] void Fail(const char* format, ...);
    // Logs what the parser mended in the file's header words.
    void LogMends(const WaveFile& parsed, const PipelineParams& params);
    // The mapped path over a parsed WaveFile; the decode stage over the bytes
    // (or, for a file too large to map, the path).
    bool BuildMapped(std::unique_ptr<WaveFile> parsed, const PipelineParams& params,
                     std::unique_ptr<BlockSource>* pSource);
    bool BuildDecoded(std::unique_ptr<MappedFile>* pFile, const PipelineParams& params,
                      std::unique_ptr<BlockSource>* pSource);

    ChannelControl* control = nullptr;
    SourceLink* link = nullptr;
    uint32_t loadId;
    WaveFile* wave = nullptr;        // owned by the decode stream once that exists
    DecodeStream* decode = nullptr;  // owned by the stream buffer once that exists
    StreamBuffer* streamBuffer = nullptr;
    int32_t channel;
    std::unique_ptr<MappedFile> mappedFile;  // handed to the WaveFile by Build
    BlockSource* source = nullptr;           // owned by the stream buffer
    bool bOpened = false;
    bool bCreated = false;  // built whole: the stream buffer, control and link exist
    bool bFailed = false;
    bool bTooLargeToMap = false;  // read through the decode stage by path
    char text[256] = {};
    char szPath[4096] = {};
    char szFailure[192] = {};
};
