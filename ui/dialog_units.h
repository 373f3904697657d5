// Dialog templates are laid out in dialog units: a horizontal unit is a
// quarter of the font's average character width, a vertical unit an eighth of
// its height. These convert a template rectangle to pixels for a font.
#pragma once

#include <QFont>
#include <QFontMetrics>
#include <QRect>

namespace trovix::ui {

class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    // The average over the Latin letters, as dialog units are defined.
    base_x_ = metrics.horizontalAdvance(
                  QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
              52.0;
    base_y_ = metrics.height();
  }
  [[nodiscard]] int X(int units) const { return static_cast<int>(units * base_x_ / 4 + 0.5); }
  [[nodiscard]] int Y(int units) const { return static_cast<int>(units * base_y_ / 8 + 0.5); }
  [[nodiscard]] QRect Rect(int x, int y, int width, int height) const {
    return QRect(X(x), Y(y), X(width), Y(height));
  }

 private:
  double base_x_;
  double base_y_;
};

}  // namespace trovix::ui
