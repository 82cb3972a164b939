#include "DialogUnits.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>

namespace ui {

QFont DialogFont(int pointSize) {
    if (QFontDatabase::families().contains(QStringLiteral("MS Shell Dlg"))) {
        QFont font(QStringLiteral("MS Shell Dlg"));
        font.setPointSize(pointSize);
        return font;
    }
    // The desktop's own font, at the size its user chose, stands in for the 9-point dialog font:
    // a desktop scaled to 125 % or 150 % gets a window to match.
    QFont font = QApplication::font();
    if (font.pointSizeF() > 0) font.setPointSizeF(font.pointSizeF() * pointSize / 9.0);
    return font;
}

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics fm(font);
    // The classic average: width of the 52 Latin letters, halved per letter pair, rounded up.
    const int letters = fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    baseX_ = std::max(1, (letters / 26 + 1) / 2);
    baseY_ = std::max(1, fm.height());
}

// Rounded like MulDiv, which the template layout uses.
int DialogUnits::X(int units) const { return (units * baseX_ * 2 + 4) / 8; }
int DialogUnits::Y(int units) const { return (units * baseY_ * 2 + 8) / 16; }

}  // namespace ui
