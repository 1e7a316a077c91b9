// The small handle through which the engine plays and pauses a channel
// without knowing the stream buffer's other operations. It owns nothing.
#pragma once

class WaveFile;
class StreamBuffer;

class ChannelControl {
  public:
    ChannelControl(WaveFile* wave, StreamBuffer* streamBuffer)
        : pWaveFile(wave), pStreamBuffer(streamBuffer) {}

    // False when the sound buffer is already playing (nothing changes) or the
    // stream buffer cannot start; otherwise starts it.
    [[nodiscard]] bool PlayIfIdle();
    void Pause();

    WaveFile* GetWaveFile() const { return pWaveFile; }
    StreamBuffer* GetStreamBuffer() const { return pStreamBuffer; }

  private:
    WaveFile* pWaveFile;
    StreamBuffer* pStreamBuffer;
};
