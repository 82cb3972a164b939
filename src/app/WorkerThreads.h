#pragma once
// The window's short-lived worker threads (unit conversion, export). The window stops and joins
// every worker before it goes away, so no worker ever touches a destroyed window.
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
