// Dialog units: the dialog's layout is given in units of the dialog font, so
// that it reads the same at any desktop font and scale. A horizontal unit is a
// quarter of the font's average character width, a vertical unit an eighth of
// its height.
#pragma once

#include <QFont>
#include <QRect>

class DialogUnits {
  public:
    explicit DialogUnits(const QFont& font);

    int X(int units) const;
    int Y(int units) const;
    QRect Rect(int x, int y, int width, int height) const;

    int BaseX() const { return nBaseX; }
    int BaseY() const { return nBaseY; }

  private:
    int nBaseX;  // average width of the Latin letters, in pixels
    int nBaseY;  // font height in pixels
};
