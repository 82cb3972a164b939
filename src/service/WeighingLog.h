#pragma once
// What the local weight service tells its clients, kept apart from the desk: the weighings of
// this run numbered from 1 (the last `keep` of them, however often the table is saved or
// cleared), the connection, the table's unit and words, and the live weight. The desk's thread
// writes; the service's threads read and wait for news. Nothing here waits for a client.
#include "MeasurementTable.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace service {

struct Weighing {
    std::uint64_t seq = 0;    // from 1 in this run, never reused
    std::size_t number = 0;   // its row number in the table when it came
    weighing::Reading reading;
    std::int64_t at = 0;      // seconds since 1970
    bool maybeRepeat = false;
};

struct Live {
    double kg = 0.0;
    std::int8_t decimals = 3;
    bool stable = false;
    bool overload = false;  // the pan holds more than the scale weighs: no weight
    bool operator==(const Live&) const = default;
};

struct Connection {
    bool connected = false;
    int port = 0;       // COM<port>
    std::string scale;  // the protocol's name
    bool operator==(const Connection&) const = default;
};

// How rows read now: the table's unit and the language's words for error and overweight rows.
struct Words {
    int unit = 0;
    std::u16string error, overweight;
    std::string pageTexts = "{}";  // the live page's texts in the desk's language, a JSON object
    std::uint64_t version = 0;     // counted by the log at every change
};

// What changed, counted: a reader keeps the counts it has seen.
struct Versions {
    std::uint64_t seq = 0;         // the last weighing's
    std::uint64_t connection = 0;  // changes of the connection
    std::uint64_t live = 0;        // changes of the live weight
    bool operator==(const Versions&) const = default;
};

class WeighingLog {
public:
    explicit WeighingLog(std::size_t keep = 10000) : keep_(keep) {}

    // ---- the desk's thread ----
    std::uint64_t Add(const Weighing& weighing);  // gives it its seq
    void SetConnection(const Connection& connection);
    void SetWords(const Words& words);
    void SetLive(const std::optional<Live>& live);

    // ---- any thread ----
    // The weighings after `after`, at most `limit` of them; `missed` (when given) counts those
    // after `after` that are no longer kept.
    std::vector<Weighing> After(std::uint64_t after, std::size_t limit, std::uint64_t* missed = nullptr) const;
    std::optional<Weighing> Last() const;
    std::uint64_t FirstKept() const;  // the oldest seq still kept (the next one when none)
    Connection CurrentConnection() const;
    Words CurrentWords() const;
    std::optional<Live> CurrentLive() const;
    Versions Now() const;
    // Waits until something differs from `seen`, `until` comes or Stop() was called.
    Versions Wait(const Versions& seen, std::chrono::steady_clock::time_point until) const;
    // Every wait ends, now and from now on.
    void Stop();

private:
    const std::size_t keep_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<Weighing> kept_;
    Versions versions_;
    Connection connection_;
    Words words_;
    std::optional<Live> live_;
    bool stopped_ = false;
};

}  // namespace service
