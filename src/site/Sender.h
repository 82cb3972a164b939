#pragma once
// Sends a desk's weighings to the site's database on a thread of its own, one batch at a time,
// so that nothing on the desk (least of all the scale's answer) waits for the network. Every
// answer is reported at once; after a failure the next batch waits a pause that grows while the
// failures go on (1 s doubling to 30 s, a minute after a refusal), so the desk may hand it over
// at once.
#include "SiteClient.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace site {

class Sender {
public:
    using Done = std::function<void(const Result&)>;  // called on the sender's thread
    Sender(std::string connectionString, std::string desk);
    // A batch on its way is abandoned (its rows stay wherever the desk keeps them), and no answer
    // is reported once this returns. A batch stuck on a network that stopped answering is waited
    // for two seconds at most: the thread then ends by itself when its connection gives up, or
    // with the program.
    ~Sender();
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    // Hands a batch over; false while the last one is still on its way. Unless `backlog` (more
    // rows wait behind this batch), a batch that arrived is reported no sooner than 100 ms after
    // it was handed over: rows weighed meanwhile then go together in the next batch, instead of
    // each in a round trip of its own.
    bool Send(std::vector<Weighing> batch, Done done, bool backlog = false);

private:
    struct Work {
        std::vector<Weighing> batch;
        Done done;
        bool backlog = false;
    };
    // What the thread works with: shared, because the thread may outlive the Sender.
    struct State {
        State(std::string connectionString, std::string desk) : client(std::move(connectionString), std::move(desk)) {}
        Client client;
        std::mutex mutex;
        std::condition_variable wake;
        std::optional<Work> next;
        bool busy = false;
        bool abandoned = false;  // the Sender is gone
        bool finished = false;   // the thread is done with everything but the State
    };
    static void Run(const std::shared_ptr<State>& state);

    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace site
