#include "DialogUnits.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>

namespace ui {

QFont DialogFont(int pointSize) {
    QFont font = QFontDatabase::families().contains(QStringLiteral("MS Shell Dlg"))
                     ? QFont(QStringLiteral("MS Shell Dlg"))
                     : QApplication::font();
    font.setPointSize(pointSize);
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
