// Sarabande: each channel's level, mute, fades and meter. The level is the
// attenuation of the channel's sound buffer; the engine remembers it so that
// a reposition, which sets the buffer back to full level, and an unmute can
// give it back.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <mutex>

#include "diag/DebugLog.h"
#include "engine/ChannelStream.h"
#include "engine/Sarabande.h"
#include "mixer/AsioHost.h"
#include "mixer/AudioBuffer.h"
#include "streams/ChannelControl.h"

static_assert(-kChannelSilenceDb == static_cast<int32_t>(kSilenceDb));

namespace {

int32_t ClampLevel(int32_t levelDb) {
    return std::max(levelDb, kChannelSilenceDb);
}

uint32_t AttenuationOf(int32_t levelDb) {
    return static_cast<uint32_t>(-ClampLevel(levelDb));
}

}  // namespace

// Called with the channel's mutex held. Also cancels any fade.
void Sarabande::ApplyChannelLevel(int32_t channel) {
    slots[channel]->GetAudioBuffer()->SetAttenuation(
        bMuted[channel] ? kSilenceDb : AttenuationOf(nLevelDb[channel]));
    bFadeStops[channel] = false;
}

// A channel whose buffer a fade has stopped ends as one whose file ended:
// paused, CHANNEL_TERMINATED, and refilled no more. Called with the channel's
// mutex held, on the event thread or the application's; true when it ended
// the channel now. A built stream always has its sound buffer.
bool Sarabande::EndFadedChannel(int32_t channel) {
    ChannelStream* stream = slots[channel];
    const int32_t state = states[channel].load();
    if (!stream || (state != CHANNEL_PLAYING && state != CHANNEL_CLOSING)) return false;
    if (!stream->GetAudioBuffer()->StoppedByFade()) return false;
    stream->GetControl()->Pause();
    states[channel].store(CHANNEL_TERMINATED);
    // `text` belongs to the application's thread.
    char line[320];
    std::snprintf(line, sizeof line, "Terminated %s on channel %d by a fade at ", PathOf(stream),
                  channel);
    EngineLog(line, true);
    return true;
}

int32_t Sarabande::SetChannelLevel(int32_t channel, int32_t levelDb) {
    if (RefuseUnloaded(channel, "SetChannelLevel")) return SARABANDE_BAD_CHANNEL;
    if (levelDb > 0) {
        LogText("Error - SetChannelLevel failed - %d dB is above 0 dB!\n\n", levelDb);
        return SARABANDE_BAD_LEVEL;
    }
    std::lock_guard<std::mutex> lock(channelMutexes[channel]);
    if (bClosing || !slots[channel]) return 0;
    nLevelDb[channel] = ClampLevel(levelDb);
    ApplyChannelLevel(channel);
    LogText("\nSetChannelLevel on channel %d: %d dB%s\n", channel, nLevelDb[channel],
            bMuted[channel] ? ", muted" : "");
    return 0;
}

int32_t Sarabande::SetChannelMute(int32_t channel, bool on) {
    if (RefuseUnloaded(channel, "SetChannelMute")) return SARABANDE_BAD_CHANNEL;
    std::lock_guard<std::mutex> lock(channelMutexes[channel]);
    ChannelStream* stream = slots[channel];
    if (bClosing || !stream) return 0;
    bMuted[channel] = on;
    if (on && bFadeStops[channel]) {
        // The fade was to end the channel; silent, it may end at once.
        stream->GetAudioBuffer()->FadeTo(kSilenceDb, 0, true);
    } else {
        ApplyChannelLevel(channel);
    }
    LogText("\nSetChannelMute on channel %d: %s\n", channel, on ? "on" : "off");
    return 0;
}

int32_t Sarabande::GetChannelLevel(int32_t channel, int32_t* levelDb, bool* muted,
                                   double* currentDb) {
    if (RefuseUnloaded(channel, "GetChannelLevel")) return SARABANDE_BAD_CHANNEL;
    std::lock_guard<std::mutex> lock(channelMutexes[channel]);
    ChannelStream* stream = slots[channel];
    if (bClosing || !stream) return 0;
    if (levelDb) *levelDb = nLevelDb[channel];
    if (muted) *muted = bMuted[channel];
    if (currentDb) {
        const double attenuation = stream->GetAudioBuffer()->CurrentAttenuation();
        *currentDb = -std::min(attenuation, static_cast<double>(kSilenceDb));
    }
    return 0;
}

int32_t Sarabande::FadeChannel(int32_t channel, int32_t targetDb, int32_t ms, bool stopAtEnd) {
    if (RefuseUnloaded(channel, "FadeChannel")) return SARABANDE_BAD_CHANNEL;
    if (targetDb > 0) {
        LogText("Error - FadeChannel failed - %d dB is above 0 dB!\n\n", targetDb);
        return SARABANDE_BAD_LEVEL;
    }
    if (ms < 0) {
        LogText("Error - FadeChannel failed - negative time %d ms!\n\n", ms);
        return SARABANDE_BAD_TIME;
    }
    std::lock_guard<std::mutex> lock(channelMutexes[channel]);
    ChannelStream* stream = slots[channel];
    if (bClosing || !stream) return 0;
    AudioBuffer* buffer = stream->GetAudioBuffer();
    if (!stopAtEnd) nLevelDb[channel] = ClampLevel(targetDb);
    if (bMuted[channel]) {
        // Nothing is heard, so nothing fades: the new level waits for the
        // unmute, and a fade that ends the channel ends it at once.
        if (stopAtEnd) {
            buffer->FadeTo(kSilenceDb, 0, true);
            bFadeStops[channel] = true;
        }
    } else {
        buffer->FadeTo(AttenuationOf(targetDb), static_cast<uint32_t>(ms), stopAtEnd);
        bFadeStops[channel] = stopAtEnd;
    }
    LogTextWithTime("\nFadeChannel on channel %d to %d dB in %d ms%s at ", channel,
                    ClampLevel(targetDb), ms, stopAtEnd ? ", then stop," : "");
    return 0;
}

int32_t Sarabande::GetChannelMeter(int32_t channel, float* left, float* right) {
    float l = 0.0f;
    float r = 0.0f;
    // Channel k plays on pair k; the mixer refuses a pair the card lacks.
    const bool read = ASIOGetOutputPeaks(channel, &l, &r);
    if (left) *left = l;
    if (right) *right = r;
    if (read) return 0;
    char line[80];
    std::snprintf(line, sizeof line, "Error - GetChannelMeter failed - no pair for channel %d!\n\n",
                  channel);
    EngineLog(line, false);
    return SARABANDE_BAD_CHANNEL;
}
