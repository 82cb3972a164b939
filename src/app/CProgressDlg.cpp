#include "CProgressDlg.h"

#include "DialogUnits.h"
#include "ScreenFit.h"

#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>
#include <QTimerEvent>

CProgressDlg::CProgressDlg(QWidget* parent) : QDialog(parent) {
    setFont(ui::DialogFont(8));
    setWindowTitle(QStringLiteral("保存进度显示"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    const ui::DialogUnits du(font());
    setFixedSize(du.X(203), du.Y(50));
    m_display = new QLabel(QStringLiteral("正在保存数据："), this);
    m_display->setObjectName(QStringLiteral("1019"));
    m_display->setGeometry(du.Rect(9, 8, 189, 8));
    m_display->setTextFormat(Qt::PlainText);
    m_display->setWordWrap(true);
    m_display->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_bar = new QProgressBar(this);
    m_bar->setObjectName(QStringLiteral("1027"));
    m_bar->setGeometry(du.Rect(7, 25, 189, 15));
    m_bar->setTextVisible(false);
    m_bar->setRange(0, kFull);
}

void CProgressDlg::Start(const QString& caption, const QString& display, const std::atomic<int>& progress) {
    setWindowTitle(caption);
    m_display->setText(ui::Breakable(display));
    Fit();
    m_progress = &progress;
    m_bar->setValue(0);
    StopTimer();
    m_timer = startTimer(20);
    open();
}

void CProgressDlg::Finish() {
    StopTimer();
    m_progress = nullptr;
    m_bar->setValue(kFull);
    if (isVisible()) done(1);
}

void CProgressDlg::Fit() {
    // Template 104, grown with the display text up to the screen; the bar stays under the text.
    const ui::DialogUnits du(font());
    const QSize room = ui::WindowRoom(parentWidget() ? parentWidget() : this);
    const int sides = du.X(203 - 189), rest = du.Y(50 - 8);  // around the text: margins and the bar
    const int width = ui::ReadableWidth(m_display->fontMetrics(), m_display->text(), du.X(189), room.width() - sides);
    const int height = std::max(du.Y(8), std::min(m_display->heightForWidth(width), room.height() - rest));
    m_display->setGeometry(du.X(9), du.Y(8), width, height);
    m_bar->setGeometry(du.X(7), du.Y(25 - 8) + height, width, du.Y(15));
    setFixedSize(width + sides, height + rest);
}

int CProgressDlg::Position() const { return m_bar->value(); }

void CProgressDlg::timerEvent(QTimerEvent*) { Look(); }

void CProgressDlg::Look() {
    if (!m_progress) return;
    const int v = m_progress->load();
    // Below zero the job has no progress to show any more: its end is on its way.
    m_bar->setValue(v < 0 ? kFull : std::min(v, kFull));
}

void CProgressDlg::StopTimer() {
    if (m_timer) killTimer(m_timer);
    m_timer = 0;
}

void CProgressDlg::reject() { close(); }

void CProgressDlg::closeEvent(QCloseEvent* event) {
    StopTimer();
    m_progress = nullptr;
    event->accept();
    done(0);
}
