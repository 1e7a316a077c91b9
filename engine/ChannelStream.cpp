#include "engine/ChannelStream.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <new>

#include "mixer/AudioBuffer.h"
#include "platform/Event.h"
#include "streams/ChannelControl.h"
#include "streams/DecodeStream.h"
#include "streams/MappedFile.h"
#include "streams/SoundFileStream.h"
#include "streams/StreamBuffer.h"
#include "streams/WaveFile.h"

namespace {

// Mono or stereo: the mapped path can play what its parser took.
bool IsMappable(const WaveFile& wave) {
    return wave.GetFormat()->nChannels == 1 || wave.GetFormat()->nChannels == 2;
}

// The files the mapped path plays exactly as they are: at the device's rate
// or half of it, or at any rate when rates are not converted.
bool PlaysMapped(const WAVEFORMATEX& format, const PipelineParams& params) {
    if (!params.bConvertRates) return true;
    return format.nSamplesPerSec == params.dwDeviceRate ||
           2ull * format.nSamplesPerSec == params.dwDeviceRate;
}

}  // namespace

ChannelStream::ChannelStream(int32_t nChannel, const char* path, uint32_t nLoadId)
    : loadId(nLoadId), channel(nChannel) {
    std::unique_ptr<MappedFile> file(new (std::nothrow) MappedFile());
    if (!file || !path) return;
    std::snprintf(szPath, sizeof szPath, "%s", path);
    if (file->Open(path)) {
        mappedFile = std::move(file);
        bOpened = true;
        return;
    }
    // Sizes are 32 bits wide on the mapped path; a larger file (an RF64 WAV)
    // is read by the decode stage from its path.
    struct stat info;
    if (stat(path, &info) == 0 && S_ISREG(info.st_mode) &&
        static_cast<uint64_t>(info.st_size) > UINT32_MAX) {
        bTooLargeToMap = true;
        bOpened = true;
        return;
    }
    std::snprintf(szFailure, sizeof szFailure, "cannot be opened (%s)", file->GetOpenError());
}

ChannelStream::~ChannelStream() {
    // The stream buffer's destructor closes it, and with it the decode
    // stream, the wave and the mapping.
    delete streamBuffer;
    delete control;
    delete link;
}

void ChannelStream::Fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(szFailure, sizeof szFailure, format, args);
    va_end(args);
    wave = nullptr;
    decode = nullptr;
    source = nullptr;
    bCreated = false;
    bFailed = true;
}

void ChannelStream::LogMends(const WaveFile& parsed, const PipelineParams& params) {
    if (!params.pLog) return;
    if (parsed.CueMended()) {
        std::snprintf(text, sizeof text,
                      "Cue chunk mended: cue-in %" PRId32 " -> %" PRId32 ", cue-out %" PRId32
                      " -> %" PRId32 "\n",
                      parsed.nFileCueIn, parsed.cueIn, parsed.nFileCueOut, parsed.cueOut);
        params.pLog(text, false);
    }
    if (parsed.DerivedAvgBytesPerSec()) {
        std::snprintf(text, sizeof text,
                      "nAvgBytesPerSec 0 taken as block align x rate: %" PRIu32 "\n",
                      parsed.GetFormat()->nAvgBytesPerSec);
        params.pLog(text, false);
    }
}

bool ChannelStream::BuildMapped(std::unique_ptr<WaveFile> parsed, const PipelineParams& params,
                                std::unique_ptr<BlockSource>* pSource) {
    wave = parsed.get();
    std::unique_ptr<DecodeStream> stream(new (std::nothrow)
                                             DecodeStream(std::move(parsed), params.pLog));
    if (!stream) {
        Fail("not enough memory");
        return false;
    }
    if (!stream->IsReady()) {
        stream.reset();
        if (params.pLog) params.pLog("Failed to set up a decode stream!\n\n", false);
        Fail("not enough memory");
        return false;
    }
    decode = stream.get();
    *pSource = std::move(stream);
    return true;
}

bool ChannelStream::BuildDecoded(std::unique_ptr<MappedFile>* pFile, const PipelineParams& params,
                                 std::unique_ptr<BlockSource>* pSource) {
    const MappedFile* file = pFile->get();
    std::unique_ptr<SoundFileStream> stream(new (std::nothrow) SoundFileStream(
        file ? file->GetBase() : nullptr, file ? file->GetFileSize() : 0, szPath,
        params.bConvertRates ? params.dwDeviceRate : 0, params.bConvertRates, params.pLog));
    if (!stream) {
        Fail("not enough memory");
        return false;
    }
    if (!stream->IsReady()) {
        Fail("%s", stream->GetRefusal());
        return false;
    }
    stream->Adopt(std::move(*pFile));
    *pSource = std::move(stream);
    return true;
}

bool ChannelStream::Build(const PipelineParams& params) {
    if (!bOpened || bCreated || bFailed) return false;
    auto log = [&params](const char* line) {
        if (params.pLog) params.pLog(line, false);
    };
    const uint32_t start = platform::TimeGetTime();
    std::unique_ptr<BlockSource> stream;
    bool bDecoded = false;
    if (bTooLargeToMap) {
        bDecoded = BuildDecoded(&mappedFile, params, &stream);
    } else {
        std::unique_ptr<WaveFile> parsed(new (std::nothrow) WaveFile(std::move(mappedFile)));
        if (!parsed) {
            // No constructor ran: the mapping is still ours and goes with us.
            Fail("not enough memory");
            return false;
        }
        const bool bParsed = parsed->Parse() && IsMappable(*parsed);
        if (bParsed && PlaysMapped(*parsed->GetFormat(), params)) {
            std::snprintf(text, sizeof text, "Parsed audio file in %" PRId32 " ms\n",
                          static_cast<int32_t>(platform::TimeGetTime() - start));
            log(text);
            LogMends(*parsed, params);
            if (!BuildMapped(std::move(parsed), params, &stream)) return false;
        } else {
            std::unique_ptr<MappedFile> file = parsed->TakeMappedFile();
            bDecoded = BuildDecoded(&file, params, &stream);
            if (!bDecoded && bParsed && file) {
                // What the mapped parser takes and the decoder does not still
                // plays as the mapped path plays it: at its own rate.
                std::snprintf(text, sizeof text, "Not decoded (%s): played as it is\n", szFailure);
                log(text);
                bFailed = false;
                szFailure[0] = '\0';
                parsed.reset(new (std::nothrow) WaveFile(std::move(file)));
                if (!parsed || !parsed->Parse()) {
                    Fail("not enough memory");
                    return false;
                }
                LogMends(*parsed, params);
                if (!BuildMapped(std::move(parsed), params, &stream)) return false;
            }
        }
    }
    if (!stream) {
        std::snprintf(text, sizeof text, "Refused: %s\n", szFailure);
        log(text);
        log("Error - failed parsing file!\n\n");
        return false;
    }
    if (bDecoded) {
        std::snprintf(text, sizeof text, "Parsed audio file in %" PRId32 " ms\n",
                      static_cast<int32_t>(platform::TimeGetTime() - start));
        log(text);
        static_cast<SoundFileStream*>(stream.get())->Describe();
    }

    StreamBufferParams sbParams{channel,        params.hNotifyEvent, params.pStates, stream.get(),
                                params.pCreate, params.pRelease,     params.pLog};
    streamBuffer = new (std::nothrow) StreamBuffer(sbParams);
    if (!streamBuffer) {
        Fail("not enough memory");  // the decode stream is freed with `stream`
        return false;
    }
    source = stream.release();  // the StreamBuffer owns it from here on

    if (!streamBuffer->CreateBuffer()) {
        delete streamBuffer;
        streamBuffer = nullptr;
        log("Failed to create or load sound buffer!\n\n");
        const int32_t pairs = ASIOStereoPairCount();
        if (pairs == 0)
            Fail("no device is open");
        else if (channel >= pairs)
            Fail("the device has no output pair for this channel (it has %d)",
                 static_cast<int>(pairs));
        else
            Fail("its sound buffer could not be made");
        return false;
    }

    control = new (std::nothrow) ChannelControl(streamBuffer);
    link = new (std::nothrow) SourceLink{wave, decode};
    if (!control || !link) {
        // The release frees what exists.
        bCreated = false;
        bFailed = true;
        std::snprintf(szFailure, sizeof szFailure, "not enough memory");
        return false;
    }
    bCreated = true;
    return true;
}

int32_t ChannelStream::OnNotification() {
    return streamBuffer ? streamBuffer->OnNotification() : 0;
}

int32_t ChannelStream::SetPosition(int32_t block, bool resume) {
    return streamBuffer ? streamBuffer->SetPosition(block, resume) : -1;
}

AudioBuffer* ChannelStream::GetAudioBuffer() const {
    // AudioBuffer's only base sits at its own address.
    return streamBuffer ? static_cast<AudioBuffer*>(streamBuffer->GetSoundBuffer()) : nullptr;
}

bool ChannelStream::ArmToPlay() {
    return streamBuffer && !streamBuffer->IsPlaying() && streamBuffer->ArmToPlay();
}

const char* ChannelStream::GetFileName() const {
    return source && bCreated ? source->GetFileName() : "";
}

int32_t ChannelStream::GetNextBlock() const {
    if (!bCreated) return 0;
    if (source->IsBlockExact()) return source->NextBlock();
    return static_cast<int32_t>(streamBuffer->GetPositionFrames() / source->GetFramesPerBlock()) +
           3;
}

void ChannelStream::SetLooping(bool bLoop) {
    if (bCreated) streamBuffer->SetLooping(bLoop);
}

bool ChannelStream::IsLooping() const {
    return streamBuffer && streamBuffer->IsLooping();
}

int64_t ChannelStream::GetPositionFrames() const {
    return bCreated ? streamBuffer->GetPositionFrames() : 0;
}

int64_t ChannelStream::GetLengthFrames() const {
    return streamBuffer ? streamBuffer->GetLengthFrames() : 0;
}

uint32_t ChannelStream::GetFileRate() const {
    return streamBuffer ? streamBuffer->GetFileRate() : 0;
}
