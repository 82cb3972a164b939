#pragma once
// Runs a function on the user-interface thread and waits for its result: the analogue of a
// synchronous window message for worker threads, which must never touch widgets themselves.
// The wait never hangs on a call that has not started: it ends early when the caller's stop
// token is triggered or when the application is shutting down, and then yields no result (the
// call is dropped). A call already running is waited for, since it may use the caller's data.
#include <QCoreApplication>
#include <QObject>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>

namespace ui {

inline bool OnUiThread() {
    return QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread();
}

// Queues `fn` to run on the user-interface thread; it is dropped when `context` is gone by
// then. The calls wait in a queue guarded by a standard mutex and only a wake-up goes through
// Qt's event queue, so everything the posting thread wrote before is visible to `fn` — to race
// checkers as well, which cannot see the locks inside Qt.
void PostToUiThread(QObject* context, std::function<void()> fn);

template <typename T>
std::optional<T> CallOnUiThread(std::function<T()> fn, std::stop_token stop = {}) {
    if (OnUiThread()) return fn();
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return std::nullopt;
    struct State {
        std::mutex mutex;
        std::condition_variable cv;
        std::optional<T> result;
        bool started = false, done = false, abandoned = false;
    };
    auto state = std::make_shared<State>();
    // Held from before the call is posted: the window's thread takes it before running `fn`.
    std::unique_lock lock(state->mutex);
    // `fn` may refer to the caller's stack: once the caller has given up, it must never run.
    PostToUiThread(app, [state, fn = std::move(fn)] {
        {
            std::lock_guard lock(state->mutex);
            if (state->abandoned) return;
            state->started = true;
        }
        T value = fn();
        std::lock_guard lock(state->mutex);
        state->result = std::move(value);
        state->done = true;
        state->cv.notify_all();
    });
    while (!state->done) {
        if (!state->started && (stop.stop_requested() || QCoreApplication::closingDown())) {
            state->abandoned = true;
            return std::nullopt;
        }
        state->cv.wait_for(lock, std::chrono::milliseconds(20));
    }
    return state->result;
}

// Runs `fn` (which returns nothing) on the user-interface thread and waits for it; false when
// the call was dropped because `stop` was triggered or the application is closing.
template <typename Fn>
bool RunOnUiThread(Fn fn, std::stop_token stop = {}) {
    return CallOnUiThread<bool>(
               [&fn] {
                   fn();
                   return true;
               },
               stop)
        .has_value();
}

}  // namespace ui
