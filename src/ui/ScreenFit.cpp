#include "ScreenFit.h"

#include <QGuiApplication>
#include <QScreen>
#include <QStyle>
#include <QWidget>

#include <algorithm>

namespace ui {

namespace {

constexpr QChar kBreak(0x200B);  // zero-width space: a line may break here, nothing is drawn
constexpr int kLongRun = 20;     // runs up to this many characters are left as they are
constexpr int kReadableChars = 60;

bool IsSeparator(QChar c) { return QStringView(u"/\\_-.,:;=&?)]}").contains(c); }

}  // namespace

QSize WindowRoom(const QWidget* widget) {
    QScreen* screen = widget ? widget->screen() : nullptr;
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (!screen) return {1 << 20, 1 << 20};
    const QSize work = screen->availableGeometry().size();
    const QWidget* window = widget ? widget->window() : nullptr;
    if (window && window->isVisible()) return work - (window->frameGeometry().size() - window->size());
    // Not shown yet: the frame the window manager will add is not known; the style's guess, and
    // never less than a thin border.
    const QStyle* style = window ? window->style() : nullptr;
    const int frame = std::max(4, style ? style->pixelMetric(QStyle::PM_DefaultFrameWidth) : 0);
    const int title = std::max(24, style ? style->pixelMetric(QStyle::PM_TitleBarHeight) : 0);
    return work - QSize(2 * frame, title + 2 * frame);
}

QString Breakable(const QString& text) {
    QString out;
    out.reserve(text.size() + text.size() / 8);
    qsizetype runStart = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i < text.size() && !text[i].isSpace()) continue;
        const QStringView run = QStringView(text).mid(runStart, i - runStart);
        if (run.size() <= kLongRun) {
            out += run;
        } else {
            int sinceBreak = 0;
            for (qsizetype k = 0; k < run.size(); ++k) {
                out += run[k];
                ++sinceBreak;
                const bool last = k + 1 == run.size();
                // Never between the halves of a surrogate pair.
                if (last || run[k].isHighSurrogate()) continue;
                if (IsSeparator(run[k]) || sinceBreak >= kLongRun) {
                    out += kBreak;
                    sinceBreak = 0;
                }
            }
        }
        if (i < text.size()) out += text[i];
        runStart = i + 1;
    }
    return out;
}

int ReadableWidth(const QFontMetrics& metrics, const QString& text, int least, int most) {
    const int readable = std::max(least, metrics.averageCharWidth() * kReadableChars);
    const QRect used = metrics.boundingRect(QRect(0, 0, readable, 1 << 20), Qt::TextWordWrap, text);
    return std::max(1, std::min(std::max(least, used.width()), most));
}

}  // namespace ui
