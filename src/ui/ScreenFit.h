#pragma once
// Windows and boxes that fit their texts and the screen: the room a window may take on the
// screen it shows on, long texts made breakable for word wrap, and a readable line width.
#include <QFontMetrics>
#include <QSize>
#include <QString>

class QWidget;

namespace ui {

// The size a window of `widget` may take, frame and title bar included: the available geometry
// (the work area, without task bars) of the screen it shows on, less room for the frame.
QSize WindowRoom(const QWidget* widget);

// `text` with a zero-width break opportunity after the separators of long runs (paths, file
// names, addresses) and, in a run without any, every few characters: word wrap may then break
// a 200-character path instead of letting it run out of its label.
QString Breakable(const QString& text);

// The width to wrap `text` at: as wide as it needs up to about 60 average characters, never
// below `least`, never above `most` (which wins).
int ReadableWidth(const QFontMetrics& metrics, const QString& text, int least, int most);

}  // namespace ui
