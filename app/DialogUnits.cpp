#include "app/DialogUnits.h"

#include <QFontMetrics>

namespace {

// units * base / divisor, rounded to the nearest pixel.
int Scale(int units, int base, int divisor) {
    const int product = units * base;
    return product >= 0 ? (product + divisor / 2) / divisor : -((-product + divisor / 2) / divisor);
}

}  // namespace

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    // The average over the Latin letters, as dialog layouts have always been
    // measured: a font's own average (weighted towards narrow lower case) left
    // digits and captions clipped in their boxes.
    const int letters =
        metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    // A font that reports nothing still has to give a usable layout.
    nBaseX = letters > 0 ? (letters + 26) / 52 : 6;
    nBaseY = metrics.height() > 0 ? metrics.height() : 13;
}

int DialogUnits::X(int units) const {
    return Scale(units, nBaseX, 4);
}

int DialogUnits::Y(int units) const {
    return Scale(units, nBaseY, 8);
}

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
    // Both edges are converted, so that neighbouring controls meet where the
    // layout says they meet.
    const int left = X(x);
    const int top = Y(y);
    return QRect(left, top, X(x + width) - left, Y(y + height) - top);
}
