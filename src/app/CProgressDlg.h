#pragma once
// The progress dialog of long operations on the whole table (unit conversion, export). It is
// shown without waiting and follows a progress value (0 towards kFull) every 20 ms until the
// job's end closes it. Its close box and Esc only hide it: the job runs on to its end.
#include <QDialog>
#include <QString>

#include <atomic>

class QLabel;
class QProgressBar;

class CProgressDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kFull = 1000000;

    explicit CProgressDlg(QWidget* parent = nullptr);

    // Shows the dialog and follows `progress` (which must outlive the showing) until Finish.
    void Start(const QString& caption, const QString& display, const std::atomic<int>& progress);
    // The job has ended: the bar full, the dialog gone.
    void Finish();
    int Position() const;  // the bar's position

protected:
    void reject() override;  // Esc: the same as the close box
    void timerEvent(QTimerEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void Fit();  // the dialog's size for its text and the screen
    void Look();
    void StopTimer();

    QLabel* m_display = nullptr;
    QProgressBar* m_bar = nullptr;
    const std::atomic<int>* m_progress = nullptr;
    int m_timer = 0;
};
