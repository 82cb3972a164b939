#include "UiCall.h"

#include <QMetaObject>
#include <QPointer>

#include <deque>

namespace ui {

namespace {

struct Pending {
    QPointer<QObject> context;
    std::function<void()> fn;
};

// Lives on the user-interface thread and runs the queued calls there, oldest first.
class CallQueue : public QObject {
    Q_OBJECT
public:
    void Push(QObject* context, std::function<void()> fn) {
        {
            std::lock_guard lock(mutex_);
            calls_.push_back({context, std::move(fn)});
        }
        // One wake-up per call, so that calls still run one by one while a call shows a modal
        // box. The string form keeps Qt's event entirely inside Qt.
        QMetaObject::invokeMethod(this, "RunNext", Qt::QueuedConnection);
    }

    Q_INVOKABLE void RunNext() {
        Pending call;
        {
            std::lock_guard lock(mutex_);
            if (calls_.empty()) return;
            call = std::move(calls_.front());
            calls_.pop_front();
        }
        if (call.context) call.fn();
    }

private:
    std::mutex mutex_;
    std::deque<Pending> calls_;
};

CallQueue* Queue() {
    static CallQueue* queue = [] {
        auto* q = new CallQueue;
        q->moveToThread(QCoreApplication::instance()->thread());
        return q;  // kept for the whole process
    }();
    return queue;
}

// Made with the application, on its thread: the first call may come from any worker, and a
// queue born on a worker would hand its own state to the window's thread behind the back of
// race checkers.
void CreateQueue() { Queue(); }
Q_COREAPP_STARTUP_FUNCTION(CreateQueue)

}  // namespace

void PostToUiThread(QObject* context, std::function<void()> fn) {
    if (!QCoreApplication::instance()) return;
    Queue()->Push(context, std::move(fn));
}

}  // namespace ui

#include "UiCall.moc"
