#include "Sender.h"

#include <algorithm>
#include <chrono>

namespace site {

Sender::Sender(std::string connectionString, std::string desk)
    : client_(std::move(connectionString), std::move(desk)), thread_([this](std::stop_token stop) { Run(stop); }) {}

Sender::~Sender() {
    thread_.request_stop();
    wake_.notify_all();
}

bool Sender::Send(std::vector<Weighing> batch, Done done, bool backlog) {
    {
        std::lock_guard lock(mutex_);
        if (busy_) return false;
        busy_ = true;
        next_.emplace(Work{std::move(batch), std::move(done), backlog});
    }
    wake_.notify_all();
    return true;
}

void Sender::Run(std::stop_token stop) {
    using namespace std::chrono_literals;
    std::chrono::milliseconds pause = 0ms;  // before the next batch: grows while the failures go on
    while (!stop.stop_requested()) {
        Work work;
        {
            std::unique_lock lock(mutex_);
            if (!wake_.wait(lock, stop, [this] { return next_.has_value(); })) return;
            work = std::move(*next_);
            next_.reset();
            if (pause > 0ms) {
                wake_.wait_for(lock, stop, pause, [] { return false; });
                if (stop.stop_requested()) return;
            }
        }
        const auto handedOver = std::chrono::steady_clock::now();
        const Result result = client_.Send(work.batch);
        // Down is normal: try again later, and later still while it stays down.
        if (result.kind == Result::Kind::Sent) {
            pause = 0ms;
            if (!work.backlog) {
                std::unique_lock lock(mutex_);
                wake_.wait_until(lock, stop, handedOver + 100ms, [] { return false; });
                if (stop.stop_requested()) return;
            }
        } else {
            pause = result.kind == Result::Kind::Refused ? 60s : std::clamp<std::chrono::milliseconds>(pause * 2, 1s, 30s);
        }
        {
            std::lock_guard lock(mutex_);
            busy_ = false;
        }
        work.done(result);
    }
}

}  // namespace site
