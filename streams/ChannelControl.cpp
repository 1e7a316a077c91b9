#include "streams/ChannelControl.h"

#include "streams/StreamBuffer.h"

bool ChannelControl::PlayIfIdle() {
    if (pStreamBuffer->IsPlaying()) return false;
    return pStreamBuffer->Play();
}

void ChannelControl::Pause() {
    pStreamBuffer->Pause();
}
