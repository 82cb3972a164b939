#pragma once
// Runs functions on the window's thread, in the order posted, for the desk and the threads behind
// it (the serial engine's monitor, the connection worker, a job), which never touch controls
// themselves: one posted message per call.
#include <windows.h>

#include <deque>
#include <functional>
#include <mutex>

namespace win32 {

class WindowCalls {
public:
    static constexpr UINT kMessage = WM_APP + 1;  // "run the next call", posted once per call

    void Attach(HWND window) {
        std::lock_guard lock(mutex_);
        window_ = window;
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

private:
    std::mutex mutex_;
    HWND window_ = nullptr;
    std::deque<std::function<void()>> calls_;
};

}  // namespace win32
