#include "app/RowControls.h"

#include <QEvent>
#include <QLineEdit>
#include <QPainter>
#include <algorithm>
#include <cmath>

#include "engine/Sarabande.h"

LevelBox::LevelBox(QWidget* parent) : EnterStays<QSpinBox>(parent) {
    setRange(kChannelSilenceDb, 0);
    setValue(0);
    setSpecialValueText("-inf");
    setSuffix(" dB");
    setKeyboardTracking(false);
    setAlignment(Qt::AlignRight);
    lineEdit()->installEventFilter(this);
}

void LevelBox::stepBy(int steps) {
    const int from = value();
    if (from == minimum() && steps > 0) {
        setValue(kLowestStep + steps - 1);
    } else if (from + steps < kLowestStep) {
        setValue(minimum());
    } else {
        QSpinBox::stepBy(steps);
    }
}

bool LevelBox::eventFilter(QObject* watched, QEvent* e) {
    if (e->type() == QEvent::MouseButtonDblClick) {
        Q_EMIT doubleClicked();
        return true;
    }
    return EnterStays<QSpinBox>::eventFilter(watched, e);
}

MeterBar::MeterBar(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

int MeterBar::Length(float peak) const {
    if (!(peak > 0.0f)) return 0;
    const double db = 20.0 * std::log10(std::min(1.0f, peak));
    const double share = std::clamp((db - kFloorDb) / -kFloorDb, 0.0, 1.0);
    return static_cast<int>(share * (width() - 2));
}

void MeterBar::SetPeaks(float left, float right) {
    const int l = Length(left);
    const int r = Length(right);
    if (l == nLeft && r == nRight) return;
    nLeft = l;
    nRight = r;
    update();
}

void MeterBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Base));
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
    // Left above right, a pixel apart.
    const int half = (height() - 3) / 2;
    // Green up to -6 dB below full scale, then amber: where a peak is close to clipping.
    const int warn = static_cast<int>((width() - 2) * (kFloorDb + 6.0) / kFloorDb);
    auto bar = [&](int y, int length) {
        painter.fillRect(1, y, std::min(length, warn), half, QColor(40, 170, 60));
        if (length > warn) painter.fillRect(1 + warn, y, length - warn, half, QColor(230, 150, 20));
    };
    bar(1, nLeft);
    bar(2 + half, nRight);
}

QString ClockText(double seconds) {
    const int64_t whole = seconds > 0 ? static_cast<int64_t>(seconds) : 0;
    const int64_t h = whole / 3600;
    const int64_t m = (whole / 60) % 60;
    const int64_t s = whole % 60;
    if (h > 0) {
        return QString("%1:%2:%3").arg(h).arg(m, 2, 10, QChar('0')).arg(s, 2, 10, QChar('0'));
    }
    return QString("%1:%2").arg(m).arg(s, 2, 10, QChar('0'));
}

QString RowTimeText(int64_t frames, int64_t lengthFrames, uint32_t rate) {
    if (rate == 0) return QString();
    const double elapsed = static_cast<double>(frames) / rate;
    // Remaining counts up to the next whole second, so that it reads 0:00 only at the end.
    const int64_t left = std::max<int64_t>(0, lengthFrames - frames);
    const double remaining = std::ceil(static_cast<double>(left) / rate);
    return ClockText(elapsed) + "  -" + ClockText(remaining);
}
