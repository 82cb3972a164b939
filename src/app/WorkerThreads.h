#pragma once
// The window's short-lived worker threads (handshake checks, port search, test cycle) and the
// auto-reset event a check waits on. The window stops and joins every worker before it goes
// away, so no worker ever touches a destroyed window.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>

class WorkerThreads {
public:
    WorkerThreads() = default;
    ~WorkerThreads() { StopAll(); }
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;

    // Starts `fn` on a new thread, unless the workers are being stopped. Finished workers are
    // joined here, so a search that runs all day keeps no threads behind.
    void Start(std::function<void(std::stop_token)> fn);
    // Asks every worker to stop and waits for them; later starts do nothing. Not from a worker.
    void StopAll();

private:
    struct Worker {
        std::shared_ptr<bool> done;  // guarded by mutex_
        std::jthread thread;
    };
    std::mutex mutex_;
    std::list<Worker> workers_;
    bool stopping_ = false;
};

// An auto-reset event: Set wakes one wait (or the next one), and the wait consumes it.
class HandshakeEvent {
public:
    void Set();
    void Reset();
    // True when the event came, false when the time ran out or `stop` was requested.
    bool WaitFor(std::chrono::milliseconds limit, std::stop_token stop);

private:
    std::mutex mutex_;
    std::condition_variable_any cv_;
    bool signalled_ = false;
};
