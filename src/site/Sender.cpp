#include "Sender.h"

#include <algorithm>
#include <chrono>

namespace site {

Sender::Sender(std::string connectionString, std::string desk)
    : state_(std::make_shared<State>(std::move(connectionString), std::move(desk))), thread_([state = state_] { Run(state); }) {}

Sender::~Sender() {
    using namespace std::chrono_literals;
    std::unique_lock lock(state_->mutex);
    state_->abandoned = true;
    state_->wake.notify_all();
    const bool ended = state_->wake.wait_for(lock, 2s, [this] { return state_->finished; });
    lock.unlock();
    if (ended)
        thread_.join();
    else
        thread_.detach();
}

bool Sender::Send(std::vector<Weighing> batch, Done done, bool backlog) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->busy) return false;
        state_->busy = true;
        state_->next.emplace(Work{std::move(batch), std::move(done), backlog});
    }
    state_->wake.notify_all();
    return true;
}

void Sender::Run(const std::shared_ptr<State>& state) {
    using namespace std::chrono_literals;
    State& s = *state;
    std::chrono::milliseconds pause = 0ms;  // before the next batch: grows while the failures go on
    std::unique_lock lock(s.mutex);
    while (true) {
        s.wake.wait(lock, [&] { return s.abandoned || s.next.has_value(); });
        if (s.abandoned) break;
        Work work = std::move(*s.next);
        s.next.reset();
        if (pause > 0ms && s.wake.wait_for(lock, pause, [&] { return s.abandoned; })) break;
        const auto handedOver = std::chrono::steady_clock::now();
        lock.unlock();
        const Result result = s.client.Send(work.batch);
        lock.lock();
        // Down is normal: try again later, and later still while it stays down.
        if (result.kind == Result::Kind::Sent) {
            pause = 0ms;
            if (!work.backlog && s.wake.wait_until(lock, handedOver + 100ms, [&] { return s.abandoned; })) break;
        } else {
            pause = result.kind == Result::Kind::Refused ? 60s : std::clamp<std::chrono::milliseconds>(pause * 2, 1s, 30s);
        }
        if (s.abandoned) break;
        s.busy = false;
        // Under the lock: once the Sender has marked itself gone, no answer is being reported
        // and none will be.
        work.done(result);
    }
    s.finished = true;
    s.wake.notify_all();
}

}  // namespace site
