#include "CProgressDlg.h"

#include "DialogUnits.h"

#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>
#include <QTimerEvent>

std::atomic<int> g_nProgress{0};

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
    m_Progress = new QProgressBar(this);
    m_Progress->setObjectName(QStringLiteral("1027"));
    m_Progress->setGeometry(du.Rect(7, 25, 189, 15));
    m_Progress->setTextVisible(false);
}

void CProgressDlg::SetTexts(const QString& caption, const QString& display) {
    m_strCaption = caption;
    m_strDisplay = display;
}

bool CProgressDlg::OnInitDialog() {
    setWindowTitle(m_strCaption);
    m_display->setText(m_strDisplay);
    if (m_timer) killTimer(m_timer);
    m_timer = startTimer(20);
    m_Progress->setRange(0, kFull);
    m_Progress->setValue(0);
    m_bDone = false;
    return true;
}

int CProgressDlg::DoModal() {
    OnInitDialog();
    return exec();
}

int CProgressDlg::Position() const { return m_Progress->value(); }

void CProgressDlg::timerEvent(QTimerEvent*) { Look(); }

void CProgressDlg::Look() {
    if (!m_timer) return;  // not showing
    int v = g_nProgress.load();
    if (v > kFull) {
        g_nProgress.store(kFull);
        v = kFull;
    }
    m_Progress->setValue(std::max(v, 0));
    if (g_nProgress.load() == -1) {
        m_Progress->setValue(kFull);
        m_bDone = true;
    }
    if (m_bDone) {
        killTimer(m_timer);
        m_timer = 0;
        done(1);
    }
}

void CProgressDlg::reject() { close(); }

void CProgressDlg::closeEvent(QCloseEvent* event) {
    if (m_timer) killTimer(m_timer);
    m_timer = 0;
    event->accept();
    done(0);
}
