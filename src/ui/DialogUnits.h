#pragma once
// Dialog units: the layout unit of the window templates. One horizontal unit is a quarter of
// the dialog font's average character width, one vertical unit an eighth of its height, so
// the windows keep their proportions with any font.
#include <QFont>
#include <QRect>

namespace ui {

// "MS Shell Dlg" at the given size where the font exists, else the system UI font at its own
// size (for 9 points; other sizes in proportion).
QFont DialogFont(int pointSize);

class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);
    int X(int units) const;
    int Y(int units) const;
    QRect Rect(int x, int y, int w, int h) const { return {X(x), Y(y), X(w), Y(h)}; }
    int BaseX() const { return baseX_; }
    int BaseY() const { return baseY_; }

private:
    int baseX_;
    int baseY_;
};

}  // namespace ui
