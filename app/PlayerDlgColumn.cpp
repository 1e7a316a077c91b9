// The show column's handlers: each row's level, mute and loop go straight to
// the engine; Fade all fades every playing channel out and stops it; a timer
// shows each row's time and meter.
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QSignalBlocker>
#include <cmath>

#include "app/PlayerDlg.h"
#include "engine/Sarabande.h"

void CPlayerDlg::OnLevel(int32_t k, int32_t levelDb) {
    if (m_pEngine) m_pEngine->SetChannelLevel(k, levelDb);
}

void CPlayerDlg::OnMute(int32_t k, bool on) {
    if (m_pEngine) m_pEngine->SetChannelMute(k, on);
}

void CPlayerDlg::OnLoop(int32_t k, bool on) {
    if (m_pEngine) m_pEngine->SetChannelLoop(k, on);
}

// The same fade as the remote fadeall: every playing channel, none other.
void CPlayerDlg::OnFadeAll() {
    const int32_t ms = static_cast<int32_t>(std::lround(fadeTime->value() * 1000.0));
    if (remoteTarget) (void)remoteTarget->FadeAll(ms);
}

void CPlayerDlg::SyncRow(int32_t k) {
    RowControls& row = rowControls[k];
    const bool bLoaded = m_pEngine && m_pEngine->IsChannelLoaded(k);
    int32_t levelDb = 0;
    bool bMuted = false;
    bool bLoop = false;
    if (bLoaded) {
        m_pEngine->GetChannelLevel(k, &levelDb, &bMuted);
        bLoop = m_pEngine->IsChannelLooping(k);
    } else {
        row.time->clear();
        row.meter->SetPeaks(0.0f, 0.0f);
    }
    // Showing what the engine has is not a change to send back to it.
    const QSignalBlocker blockLevel(row.level), blockMute(row.mute), blockLoop(row.loop);
    row.level->setValue(levelDb);
    row.mute->setChecked(bMuted);
    row.loop->setChecked(bLoop);
    for (QWidget* w : {static_cast<QWidget*>(row.level), static_cast<QWidget*>(row.mute),
                       static_cast<QWidget*>(row.loop)})
        w->setEnabled(bLoaded);
}

void CPlayerDlg::RefreshColumn() {
    for (int32_t k = 0; k < kNumChannels; ++k) {
        RowControls& row = rowControls[k];
        const bool bLoaded = m_pEngine && m_pEngine->IsChannelLoaded(k);
        // A channel the engine let go of (a failed play, a closed engine).
        if (bLoaded != row.level->isEnabled()) SyncRow(k);
        if (!bLoaded) continue;
        int64_t frames = 0, length = 0;
        uint32_t rate = 0;
        m_pEngine->GetChannelPosition(k, &frames, &length, &rate);
        const QString text = RowTimeText(frames, length, rate);
        if (text != row.time->text()) row.time->setText(text);
        // A stopped device holds its meters where they were: show silence.
        float left = 0.0f, right = 0.0f;
        if (m_bPlaying) m_pEngine->GetChannelMeter(k, &left, &right);
        row.meter->SetPeaks(left, right);
    }
    if (remoteTarget && oscServer && oscServer->SubscriberCount() > 0)
        oscServer->Publish(remoteTarget->Status());
}
