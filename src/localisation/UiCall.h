#pragma once
// Runs a function on the user-interface thread and waits for its result: the analogue of a
// synchronous window message for worker threads, which must never touch widgets themselves.
// The wait never hangs: it ends early when the caller's stop token is triggered or when the
// application is shutting down, and then yields no result.
#include <QCoreApplication>
#include <QMetaObject>
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

template <typename T>
std::optional<T> CallOnUiThread(std::function<T()> fn, std::stop_token stop = {}) {
    if (OnUiThread()) return fn();
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return std::nullopt;
    struct State {
        std::mutex mutex;
        std::condition_variable cv;
        std::optional<T> result;
        bool done = false;
    };
    auto state = std::make_shared<State>();
    QMetaObject::invokeMethod(
        app,
        [state, fn = std::move(fn)] {
            T value = fn();
            std::lock_guard lock(state->mutex);
            state->result = std::move(value);
            state->done = true;
            state->cv.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(state->mutex);
    while (!state->done) {
        if (stop.stop_requested() || QCoreApplication::closingDown()) return std::nullopt;
        state->cv.wait_for(lock, std::chrono::milliseconds(20));
    }
    return state->result;
}

}  // namespace ui
