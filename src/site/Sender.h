#pragma once
// Sends a desk's weighings to the site's database on a thread of its own, one batch at a time,
// so that nothing on the desk (least of all the scale's answer) waits for the network. Every
// answer is reported at once; after a failure the next batch waits a pause that grows while the
// failures go on (1 s doubling to 30 s, a minute after a refusal), so the desk may hand it over
// at once.
#include "SiteClient.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace site {

class Sender {
public:
    using Done = std::function<void(const Result&)>;  // called on the sender's thread
    Sender(std::string connectionString, std::string desk);
    ~Sender();  // a batch on its way is abandoned (its rows stay wherever the desk keeps them)
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    // Hands a batch over; false while the last one is still on its way. Unless `backlog` (more
    // rows wait behind this batch), a batch that arrived is reported no sooner than 100 ms after
    // it was handed over: rows weighed meanwhile then go together in the next batch, instead of
    // each in a round trip of its own.
    bool Send(std::vector<Weighing> batch, Done done, bool backlog = false);

private:
    void Run(std::stop_token stop);

    Client client_;
    std::mutex mutex_;
    std::condition_variable_any wake_;
    struct Work {
        std::vector<Weighing> batch;
        Done done;
        bool backlog = false;
    };
    std::optional<Work> next_;
    bool busy_ = false;
    std::jthread thread_;  // last: starts when everything else is there
};

}  // namespace site
