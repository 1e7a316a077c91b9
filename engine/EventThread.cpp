// The engine's event thread: waits on the twelve channels' notification
// events and lets each signalled channel's stream buffer refill what has
// played, then publishes the channel's position.
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "diag/DebugLog.h"
#include "engine/ChannelStream.h"
#include "engine/Sarabande.h"

namespace {

// How long the thread rests after a failed wait before it tries again: a few
// switches of the card, well inside the three blocks of slack a ring has.
constexpr uint32_t kWaitRetryMs = 5;

}  // namespace

void Sarabande::EventThreadProc(Sarabande* engine) {
    // Init made every event before starting the thread, and Close destroys
    // them only after joining it.
    platform::Event* events[kNumChannels];
    for (int32_t i = 0; i < kNumChannels; ++i) events[i] = engine->hNotifyEvents[i].get();

    bool failing = false;
    while (!engine->bClosing.load() && engine->bThreadRunning.load()) {
        // Lowest index first; the other signals stay pending for the next pass.
        const int32_t index = platform::WaitAny(events, kNumChannels, &engine->hWakeEvent, -1);
        if (index < 0) {
            // Without this thread every playing channel would loop its last
            // four blocks for ever: say so once, and keep trying. The signals
            // stay pending in their events meanwhile.
            if (!failing) {
                char line[96];
                std::snprintf(line, sizeof line,
                              "Event thread: wait failed (errno %d), serving on\n", errno);
                EngineLog(line, false);
                failing = true;
            }
            platform::SleepMs(kWaitRetryMs);
            continue;
        }
        if (failing) {
            EngineLog("Event thread: wait works again\n", false);
            failing = false;
        }
        if (index < kNumChannels) {
            engine->OnChannelEvent(index);
            continue;
        }
        // A wake that names no channel ends the thread, unless it only asks
        // whether the signals so far have been served: by now they have, since
        // the wait names every signalled channel before the wake.
        if (index == kNumChannels && engine->bFlushRequested.exchange(false) &&
            !engine->bClosing.load() && engine->bThreadRunning.load()) {
            engine->hFlushDone.Set();
            continue;
        }
        break;
    }
}

void Sarabande::OnChannelEvent(int32_t index) {
    if (bClosing.load()) return;
    int32_t position;
    int32_t state;
    {
        std::lock_guard<std::mutex> lock(channelMutexes[index]);
        // Close may have begun, or the channel been closed, since the signal.
        ChannelStream* stream = slots[index];
        if (bClosing.load() || !stream) return;
        position = stream->GetNextBlock() - 3;
        stream->OnNotification();
        EndFadedChannel(index);  // a fade that stops the buffer signals too
        state = states[index].load();
    }
    if (state == CHANNEL_PLAYING || state == CHANNEL_CLOSING) {
        nPositionValue.store(position, std::memory_order_release);
        hPositionEvent->Set();
    }
}

bool Sarabande::FlushNotifications(int timeoutMs) {
    if (bClosing.load() || !bThreadRunning.load()) return false;
    std::lock_guard<std::mutex> lock(flushLock);
    hFlushDone.TryWait();  // an answer to an earlier request that timed out
    bFlushRequested.store(true);
    hWakeEvent.Set();
    return hFlushDone.Wait(timeoutMs);
}
