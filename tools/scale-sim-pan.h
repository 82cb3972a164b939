#pragma once
// The pan of scale-sim's weighing scales (8217, MT-SICS, continuous print): parcels placed,
// settling, stable, lifted, one after another, and what each protocol makes of the reading.
#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace sim {

using Clock = std::chrono::steady_clock;

struct Parcel {
    enum class Kind { Weight, Over, Under };
    Kind kind = Kind::Weight;
    double kg = 0;  // the weight; for Under how far the reading goes below zero
};

// "1.250,over,under,0.730" (weights of more than 0 and at most 60 kg); nothing on an error.
std::optional<std::vector<Parcel>> ParseParcels(const std::string& list);

// What the scale shows: the net weight in kg (after zeroing; below zero when under it).
struct Reading {
    bool motion = false, over = false;
    double kg = 0;
    bool Under() const { return !over && kg < 0; }
};

class Pan {
public:
    // `parcels` empty: `count` generated ones (0: without end). With `loaded` the first parcel
    // stands settled on the pan from now until Start() and its hold after. With `first` of 0 or
    // more the i-th generated parcel weighs (first + i) grams, and nothing else comes.
    Pan(std::vector<Parcel> parcels, long count, unsigned seed, std::chrono::milliseconds hold, bool loaded, long first = -1);

    // The host is there: the parcels begin to come (the first call only).
    void Start(Clock::time_point now);
    bool Started() const { return started_; }
    // Moves the pan on to `now`; prints "stable <kg>" as a parcel settles.
    void Advance(Clock::time_point now);
    // When Advance has something to do next (the end of the phase).
    Clock::time_point Due() const { return phaseEnd_; }
    // The last parcel was lifted and the empty pan shown for a while.
    bool Done() const { return phase_ == Phase::Done; }
    Reading Read(Clock::time_point now);
    // The gross reading becomes the zero; prints "zeroed". An overload cannot be zeroed.
    bool Zero(Clock::time_point now);
    // `r` was given to a host: prints "told <kg>" the first time a settled parcel is (--first).
    void Reported(const Reading& r);

private:
    enum class Phase { Waiting, Empty, Motion, Held, Under, Done };
    void Enter(Phase phase, Clock::time_point at);
    bool NextParcel();
    double Gross(Clock::time_point now);

    std::vector<Parcel> script_;
    long count_, first_;
    bool told_ = false;  // the parcel on the pan was reported stable
    std::size_t taken_ = 0;  // parcels placed so far
    std::mt19937 parcels_, wander_;
    std::chrono::milliseconds hold_;
    bool started_ = false;
    Phase phase_ = Phase::Waiting;
    Phase afterStart_ = Phase::Empty;  // what Start() begins with
    Clock::time_point phaseStart_{}, phaseEnd_ = Clock::time_point::max();
    Parcel parcel_;
    double zero_ = 0;
};

// The protocol of the scale on the line: its replies to the host's bytes, or the lines it sends
// by itself.
class Talk {
public:
    enum class Kind { P8217, Sics, Print };
    Talk(Kind kind, bool pounds) : kind_(kind), pounds_(pounds) {}
    // A byte from the host; what the scale answers (often nothing).
    std::string Take(std::uint8_t byte, Pan& pan, Clock::time_point now);
    // A half-received command is dropped (a new connection).
    void Restart() { command_.clear(); }
    // One line of the continuous print.
    std::string PrintLine(const Reading& r) const;

private:
    std::string Answer8217(const Reading& r) const;
    std::string AnswerSics(const std::string& command, Pan& pan, Clock::time_point now) const;
    double Shown(double kg) const;  // in the unit shown, rounded to its division

    Kind kind_;
    bool pounds_;
    std::string command_;
};

}  // namespace sim
