#include "engine/ChannelStream.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <new>

#include "mixer/AudioBuffer.h"
#include "platform/Event.h"
#include "streams/ChannelControl.h"
#include "streams/DecodeStream.h"
#include "streams/MappedFile.h"
#include "streams/StreamBuffer.h"
#include "streams/WaveFile.h"

ChannelStream::ChannelStream(int32_t nChannel, const char* path, uint32_t nLoadId)
    : loadId(nLoadId), channel(nChannel) {
    std::unique_ptr<MappedFile> file(new (std::nothrow) MappedFile());
    if (!file || !path) return;
    if (file->Open(path)) {
        mappedFile = std::move(file);
        bOpened = true;
    } else {
        std::snprintf(szFailure, sizeof szFailure, "cannot be opened (%s)", file->GetOpenError());
    }
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
    bCreated = false;
    bFailed = true;
}

bool ChannelStream::Build(const PipelineParams& params) {
    if (!bOpened || bCreated || bFailed) return false;
    auto log = [&params](const char* line) {
        if (params.pLog) params.pLog(line, false);
    };

    std::unique_ptr<WaveFile> parsed(new (std::nothrow) WaveFile(std::move(mappedFile)));
    if (!parsed) {
        // No constructor ran: the mapping is still ours and goes with us.
        Fail("not enough memory");
        return false;
    }
    const uint32_t start = platform::TimeGetTime();
    if (!parsed->Parse()) {
        if (const char* reason = parsed->RefusalReason()) {
            std::snprintf(text, sizeof text, "Refused: %s\n", reason);
            log(text);
        }
        log("Error - failed parsing file!\n\n");
        // The WaveFile frees the mapping as it goes.
        Fail("%s", parsed->RefusalReason() ? parsed->RefusalReason() : "not a playable WAV file");
        return false;
    }
    std::snprintf(text, sizeof text, "Parsed audio file in %" PRId32 " ms\n",
                  static_cast<int32_t>(platform::TimeGetTime() - start));
    log(text);
    if (parsed->CueMended()) {
        std::snprintf(text, sizeof text,
                      "Cue chunk mended: cue-in %" PRId32 " -> %" PRId32 ", cue-out %" PRId32
                      " -> %" PRId32 "\n",
                      parsed->nFileCueIn, parsed->cueIn, parsed->nFileCueOut, parsed->cueOut);
        log(text);
    }
    if (parsed->DerivedAvgBytesPerSec()) {
        std::snprintf(text, sizeof text,
                      "nAvgBytesPerSec 0 taken as block align x rate: %" PRIu32 "\n",
                      parsed->GetFormat()->nAvgBytesPerSec);
        log(text);
    }

    wave = parsed.get();
    std::unique_ptr<DecodeStream> stream(new (std::nothrow)
                                             DecodeStream(std::move(parsed), params.pLog));
    if (!stream) {
        Fail("not enough memory");
        return false;
    }
    if (!stream->IsReady()) {
        stream.reset();
        log("Failed to set up a decode stream!\n\n");
        Fail("not enough memory");
        return false;
    }

    StreamBufferParams sbParams{channel,        params.hNotifyEvent, params.pStates, stream.get(),
                                params.pCreate, params.pRelease,     params.pLog};
    streamBuffer = new (std::nothrow) StreamBuffer(sbParams);
    if (!streamBuffer) {
        Fail("not enough memory");  // the decode stream is freed with `stream`
        return false;
    }
    decode = stream.release();  // the StreamBuffer owns it from here on

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
    return link && link->pWaveFile ? link->pWaveFile->GetFileName() : "";
}

int32_t ChannelStream::GetNextBlock() const {
    return link && link->pWaveFile ? link->pWaveFile->nNextBlock : 0;
}
