#pragma once
// Runs functions on the window's thread for worker threads (the serial engine's monitor, the
// connection worker, a job), which must never touch controls themselves: the counterpart of a
// synchronous window message that gives up when the caller is stopped. A call that has not
// started when its caller gives up never runs (it may refer to the caller's data); a call that
// has started is waited for.
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>

namespace win32 {

class WindowCalls {
public:
    static constexpr UINT kMessage = WM_APP + 1;  // "run the next call", posted once per call

    void Attach(HWND window) {
        std::lock_guard lock(mutex_);
        window_ = window;
        thread_ = std::this_thread::get_id();
    }
    // The window is going: calls queued or posted from now on are dropped.
    void Detach() {
        std::lock_guard lock(mutex_);
        window_ = nullptr;
        calls_.clear();
    }
    void Post(std::function<void()> fn) {
        std::lock_guard lock(mutex_);
        if (!window_) return;
        calls_.push_back(std::move(fn));
        PostMessageW(window_, kMessage, 0, 0);
    }
    // On kMessage: the oldest call. One per message, so calls still run one by one while a call
    // shows a modal box.
    void RunNext() {
        std::function<void()> fn;
        {
            std::lock_guard lock(mutex_);
            if (calls_.empty()) return;
            fn = std::move(calls_.front());
            calls_.pop_front();
        }
        fn();
    }
    // Runs `fn` on the window's thread and waits for it; false when it was dropped (`stop` was
    // triggered or the window went before it started).
    bool Run(const std::function<void()>& fn, std::stop_token stop) {
        {
            std::lock_guard lock(mutex_);
            if (std::this_thread::get_id() == thread_ && window_) {
                fn();
                return true;
            }
        }
        struct State {
            std::mutex mutex;
            std::condition_variable cv;
            bool started = false, done = false, abandoned = false;
        };
        auto state = std::make_shared<State>();
        std::unique_lock lock(state->mutex);
        Post([state, &fn] {
            {
                std::lock_guard lock(state->mutex);
                if (state->abandoned) return;
                state->started = true;
            }
            fn();
            std::lock_guard lock(state->mutex);
            state->done = true;
            state->cv.notify_all();
        });
        while (!state->done) {
            if (!state->started && (stop.stop_requested() || Gone())) {
                state->abandoned = true;
                return false;
            }
            state->cv.wait_for(lock, std::chrono::milliseconds(20));
        }
        return true;
    }

private:
    bool Gone() {
        std::lock_guard lock(mutex_);
        return window_ == nullptr;
    }
    std::mutex mutex_;
    HWND window_ = nullptr;
    std::thread::id thread_;
    std::deque<std::function<void()>> calls_;
};

}  // namespace win32
