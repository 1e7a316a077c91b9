// The show column of a channel row: its level, mute, loop, time and meter,
// to the right of the transport buttons. The widgets only show and take
// values; the dialog drives the engine with them.
#pragma once

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QKeyEvent>
#include <QSpinBox>
#include <QString>
#include <QWidget>
#include <cstdint>

class QLabel;

// A control of the show column that keeps Enter to itself: in the dialog
// Enter presses Exit, and a level typed in during a show must not end it.
template <class Control>
class EnterStays : public Control {
  public:
    using Control::Control;

  protected:
    void keyPressEvent(QKeyEvent* e) override {
        Control::keyPressEvent(e);
        if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) e->accept();
    }
};

// A level in whole dB, 0 down to silence, shown as "-inf" at the bottom.
// Stepping below kLowestStep goes straight to silence, and back up from
// there to kLowestStep: the range between is silence in all but name.
// A double click gives the row its full level back.
class LevelBox final : public EnterStays<QSpinBox> {
    Q_OBJECT
  public:
    static constexpr int kLowestStep = -96;

    explicit LevelBox(QWidget* parent);
    void stepBy(int steps) override;

  Q_SIGNALS:
    void doubleClicked();

  protected:
    bool eventFilter(QObject* watched, QEvent* e) override;
};

// Two horizontal bars, left over right, for a pair's recent peaks, on a dB
// scale from kFloorDb to full scale. Repaints only when a bar's length in
// pixels changes.
class MeterBar final : public QWidget {
  public:
    static constexpr double kFloorDb = -60.0;

    explicit MeterBar(QWidget* parent);
    void SetPeaks(float left, float right);
    // The bars' lengths in pixels, as drawn.
    int LeftLength() const { return nLeft; }
    int RightLength() const { return nRight; }

  protected:
    void paintEvent(QPaintEvent* e) override;

  private:
    int Length(float peak) const;

    int nLeft = 0;
    int nRight = 0;
};

// "m:ss" (or "h:mm:ss") of a duration in whole seconds, rounded down.
QString ClockText(double seconds);

// The time of a row: elapsed, and what remains, in the file's own time.
QString RowTimeText(int64_t frames, int64_t lengthFrames, uint32_t rate);

struct RowControls {
    LevelBox* level = nullptr;
    EnterStays<QCheckBox>* mute = nullptr;
    EnterStays<QCheckBox>* loop = nullptr;
    QLabel* time = nullptr;
    MeterBar* meter = nullptr;
};
