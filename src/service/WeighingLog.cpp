#include "WeighingLog.h"

#include <algorithm>

namespace service {

std::uint64_t WeighingLog::Add(const Weighing& weighing) {
    std::uint64_t seq;
    {
        std::lock_guard lock(mutex_);
        seq = ++versions_.seq;
        kept_.push_back(weighing);
        kept_.back().seq = seq;
        if (kept_.size() > keep_) kept_.pop_front();
    }
    changed_.notify_all();
    return seq;
}

void WeighingLog::SetConnection(const Connection& connection) {
    {
        std::lock_guard lock(mutex_);
        if (connection_ == connection) return;
        connection_ = connection;
        ++versions_.connection;
    }
    changed_.notify_all();
}

void WeighingLog::SetWords(const Words& words) {
    std::lock_guard lock(mutex_);
    const std::uint64_t version = words_.version + 1;
    words_ = words;
    words_.version = version;
}

void WeighingLog::SetLive(const std::optional<Live>& live) {
    {
        std::lock_guard lock(mutex_);
        if (live_ == live) return;
        live_ = live;
        ++versions_.live;
    }
    changed_.notify_all();
}

std::vector<Weighing> WeighingLog::After(std::uint64_t after, std::size_t limit, std::uint64_t* missed) const {
    std::lock_guard lock(mutex_);
    std::vector<Weighing> found;
    if (missed) *missed = !kept_.empty() && after + 1 < kept_.front().seq ? kept_.front().seq - after - 1 : 0;
    if (kept_.empty() || after >= kept_.back().seq) return found;
    // Seqs are consecutive: the first one after `after` is found by counting.
    const std::uint64_t first = kept_.front().seq;
    std::size_t at = after < first ? 0 : static_cast<std::size_t>(after - first + 1);
    const std::size_t end = std::min(kept_.size(), at + limit);
    found.assign(kept_.begin() + static_cast<std::ptrdiff_t>(at), kept_.begin() + static_cast<std::ptrdiff_t>(end));
    return found;
}

std::optional<Weighing> WeighingLog::Last() const {
    std::lock_guard lock(mutex_);
    if (kept_.empty()) return std::nullopt;
    return kept_.back();
}

std::uint64_t WeighingLog::FirstKept() const {
    std::lock_guard lock(mutex_);
    return kept_.empty() ? versions_.seq + 1 : kept_.front().seq;
}

Connection WeighingLog::CurrentConnection() const {
    std::lock_guard lock(mutex_);
    return connection_;
}

Words WeighingLog::CurrentWords() const {
    std::lock_guard lock(mutex_);
    return words_;
}

std::optional<Live> WeighingLog::CurrentLive() const {
    std::lock_guard lock(mutex_);
    return live_;
}

Versions WeighingLog::Now() const {
    std::lock_guard lock(mutex_);
    return versions_;
}

Versions WeighingLog::Wait(const Versions& seen, std::chrono::steady_clock::time_point until) const {
    std::unique_lock lock(mutex_);
    changed_.wait_until(lock, until, [&] { return stopped_ || !(versions_ == seen); });
    return versions_;
}

void WeighingLog::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    changed_.notify_all();
}

}  // namespace service
