#pragma once
// The progress dialog of long operations on the whole table (unit conversion, export). A worker
// raises g_nProgress from 0 towards 1000000 and sets −1 when it has finished; the dialog polls
// it every 20 ms, moves its bar and closes itself at −1. Its close box only ends the showing:
// the worker runs on to its end.
#include <QDialog>
#include <QString>

#include <atomic>

class QLabel;
class QProgressBar;

extern std::atomic<int> g_nProgress;

class CProgressDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kFull = 1000000;

    explicit CProgressDlg(QWidget* parent = nullptr);

    void SetTexts(const QString& caption, const QString& display);
    // Shows the dialog modally; 1 when the worker finished, 0 when the close box ended it.
    int DoModal();
    int Position() const;  // the bar's position (tests)
    // Takes the progress up now, as every tick does; closes the dialog when the worker is done.
    void Look();

    QProgressBar* m_Progress = nullptr;
    QString m_strCaption;
    QString m_strDisplay;
    bool m_bDone = false;

protected:
    void reject() override;  // Esc: the same as the close box
    void timerEvent(QTimerEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    bool OnInitDialog();
    QLabel* m_display = nullptr;
    int m_timer = 0;
};
