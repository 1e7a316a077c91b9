// The small handle through which the engine plays and pauses a channel
// without knowing the stream buffer's other operations. It owns nothing.
#pragma once

class StreamBuffer;

class ChannelControl {
  public:
    explicit ChannelControl(StreamBuffer* streamBuffer) : pStreamBuffer(streamBuffer) {}

    // False when the sound buffer is already playing (nothing changes) or the
    // stream buffer cannot start; otherwise starts it.
    [[nodiscard]] bool PlayIfIdle();
    void Pause();

  private:
    StreamBuffer* pStreamBuffer;
};
