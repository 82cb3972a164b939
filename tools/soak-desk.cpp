// The two windows of a soak (tools/soak.cpp), each a child process on the soak's X display:
//   soak --desk PROGRAM USER DATA SAVES COMMANDS   Pesavo's window, driven through its buttons
//   soak --text                                    the window the keyboard wedge types into
#include "soak-desk.h"

#include "CPesavoDlg.h"
#include "../tests/support/Boxes.h"
#include "../tests/support/EventLoop.h"
#include "../tests/support/Window.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QSocketNotifier>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

QString Line(const QString& text) { return QString(text).replace('\n', ' '); }

void Say(const QString& text) { std::printf("%s\n", Line(text).toUtf8().constData()); }

// Every row's Data and Explan, for the soak's count of what left the table unsaved.
void SayRows(CPesavoDlg& dlg, const char* head) {
    for (int r = 0; r < Rows(dlg); ++r) Say(QString(head) + " " + Cell(dlg, r, 1) + "|" + Cell(dlg, r, 5));
}

// Every key that reaches Pesavo: the wedge must type none into its own windows.
class KeySpy : public QObject {
protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) Say("key " + static_cast<QKeyEvent*>(event)->text().toHtmlEscaped());
        return false;
    }
};

class Driver {
public:
    Driver(CPesavoDlg& dlg, int commands) : dlg_(dlg), commands_(commands), notifier_(commands, QSocketNotifier::Read) {
        QObject::connect(&notifier_, &QSocketNotifier::activated, [this] { Read(); });
    }

private:
    void Read() {
        char buffer[512];
        const ssize_t n = ::read(commands_, buffer, sizeof buffer);
        if (n <= 0) return;
        pending_.append(buffer, n);
        notifier_.setEnabled(false);  // a command waits in the event loop: one at a time
        for (qsizetype end; (end = pending_.indexOf('\n')) >= 0;) {
            const QString command = QString::fromUtf8(pending_.left(end));
            pending_.remove(0, end + 1);
            Run(command.split(' '));
            Say("done " + command);
        }
        notifier_.setEnabled(true);
    }

    bool Idle() { return !dlg_.GetDesk().Busy() && !dlg_.GetDesk().QuestionOpen(); }
    void Settle() { RunUntil([&] { return Idle(); }, 60s); }
    void Unit(int unit) {
        Settle();
        if (dlg_.GetDesk().Unit() == unit) return;
        Button(dlg_, CPesavoDlg::IDC_UNIT_KG + unit)->click();
        RunUntil([&] { return Idle() && dlg_.GetDesk().Unit() == unit; }, 60s);
    }
    // Saved files and discarded rows hold kilograms, so that the soak can tell every weighing.
    template <class Action>
    void InKg(Action action) {
        const int unit = dlg_.GetDesk().Unit();
        Unit(weighing::kKg);
        action();
        Settle();
        Unit(unit);
    }

    void Disconnect() {
        InKg([&] {
            if (dlg_.GetDesk().Connected()) Button(dlg_, CPesavoDlg::IDC_CONNECT)->click();
            RunUntil([&] { return Idle() && !dlg_.GetDesk().Connected(); }, 60s);
        });
    }

    void Run(const QStringList& words) {
        const QString& what = words.front();
        if (what == "connect" && words.size() == 2) {
            // (The Test mode may have taken the other scale meanwhile.)
            const QString port = "COM" + words[1];
            const auto on = [&] { return dlg_.GetDesk().Connected() && dlg_.windowTitle().contains(port + " "); };
            if (!on() && dlg_.GetDesk().Connected()) Disconnect();
            Settle();
            dlg_.RefreshPortList();
            const int item = Ports(dlg_)->findText(port, Qt::MatchStartsWith);
            if (item <= 0) return Say("no port " + port);
            Ports(dlg_)->setCurrentIndex(item);
            if (!on()) Button(dlg_, CPesavoDlg::IDC_CONNECT)->click();
            if (!RunUntil(on, 30s)) Say("not on " + port);
        } else if (what == "disconnect") {
            Disconnect();
        } else if (what == "save") {
            InKg([&] {
                if (Rows(dlg_) > 0) Button(dlg_, CPesavoDlg::IDC_SAVE)->click();
            });
        } else if (what == "unit" && words.size() == 2) {
            Unit(words[1].toInt());
        } else if (what == "clear") {
            InKg([&] {
                SayRows(dlg_, "cleared");  // the rows the question is about (answered Yes)
                Button(dlg_, CPesavoDlg::IDC_CLEAR)->click();
            });
        } else if (what == "quit") {
            Settle();
            dlg_.close();
        }
    }

    CPesavoDlg& dlg_;
    int commands_;
    QSocketNotifier notifier_;
    QByteArray pending_;
};

}  // namespace

int SoakDesk(const std::string& program, const std::string& user, const std::string& data, const std::string& saves,
             const std::string& commands) {
    KeySpy keys;
    qApp->installEventFilter(&keys);
    Boxes boxes;
    int saved = 0;
    // Every question Yes (the journal's rows back, the close's save, the Clear), every notice OK.
    boxes.onBox = [](const CMyMsg::Showing& s) {
        Say("box " + s.text);
        return s.mode == 0 ? CMyMsg::IdYes : CMyMsg::IdOk;
    };
    boxes.onSave = [&](const QString&) {
        const QString path = QString::fromStdString(saves) + QString("/save-%1-%2.xls").arg(::getpid()).arg(++saved);
        Say("savefile " + path);
        return path;
    };
    platform::ProgramPlaces places{program, program + "sys-class-tty"};
    places.userSettings = user;
    auto dlg = std::make_unique<CPesavoDlg>(nullptr, &boxes, places);
    dlg->SetJournalFolder(data);
    dlg->OnInitDialog();
    // The X focus stays with the wedge's window: as an operator who works in another program
    // while Pesavo weighs, none of Pesavo's windows is activated by the soak's commands.
    dlg->setWindowFlag(Qt::WindowDoesNotAcceptFocus);
    for (QDialog* d : dlg->findChildren<QDialog*>()) d->setWindowFlag(Qt::WindowDoesNotAcceptFocus);
    dlg->show();
    std::printf("pid %d\n", static_cast<int>(::getpid()));
    if (!RunUntil([&] { return !dlg->GetDesk().QuestionOpen(); }, 30s)) return 3;
    SayRows(*dlg, "restored");
    const int fd = ::open(commands.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);  // (never an end of file)
    if (fd < 0) return 4;
    Driver driver(*dlg, fd);
    std::printf("ready\n");
    QString title;
    bool connected = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (dlg->windowTitle() != title) Say("title " + (title = dlg->windowTitle()));
        if (dlg->GetDesk().Connected() != connected) std::printf("connected %d\n", (connected = !connected) ? 1 : 0);
    });
    watch.start(20);
    QObject::connect(dlg.get(), &QDialog::finished, [] { QApplication::quit(); });
    return QApplication::exec();
}

long long SoakMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int SoakText() {
    // Prints each line typed into it, and when it loses and gets back the keyboard focus.
    struct Edit : QPlainTextEdit {
        void focusInEvent(QFocusEvent* e) override {
            std::printf("focus 1 %lld\n", SoakMs());
            QPlainTextEdit::focusInEvent(e);
        }
        void focusOutEvent(QFocusEvent* e) override {
            std::printf("focus 0 %lld\n", SoakMs());
            QPlainTextEdit::focusOutEvent(e);
        }
    } edit;
    edit.setGeometry(600, 500, 400, 200);  // beside Pesavo's window, the pointer on it
    QObject::connect(&edit, &QPlainTextEdit::textChanged, [&edit] {
        QString text = edit.toPlainText();
        const qsizetype end = text.lastIndexOf('\n');
        if (end < 0) return;
        for (const QString& line : text.left(end).split('\n')) std::printf("typed %s\n", line.toUtf8().constData());
        const QSignalBlocker quiet(edit);
        edit.setPlainText(text.mid(end + 1));
        edit.moveCursor(QTextCursor::End);
    });
    edit.show();
    edit.setFocus();
    std::printf("window %llu\n", static_cast<unsigned long long>(edit.winId()));
    return QApplication::exec();
}
