#include "WorkerThreads.h"

void WorkerThreads::Start(std::function<void(std::stop_token)> fn) {
    std::list<Worker> finished;
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (*it->done && it->thread.get_id() != std::this_thread::get_id()) {
            finished.splice(finished.end(), workers_, it++);
        } else {
            ++it;
        }
    }
    auto done = std::make_shared<bool>(false);
    workers_.push_back({done, std::jthread([this, done, fn = std::move(fn)](std::stop_token stop) {
                            fn(stop);
                            std::lock_guard finishedLock(mutex_);
                            *done = true;
                        })});
    // `finished` joins its threads when it goes out of scope: they have returned already.
}

void WorkerThreads::StopAll() {
    std::list<Worker> all;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (Worker& w : workers_) w.thread.request_stop();
        all.swap(workers_);
    }
    all.clear();  // joins
}
