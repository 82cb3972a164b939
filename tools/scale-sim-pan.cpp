#include "scale-sim-pan.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace sim {

namespace {

constexpr std::chrono::milliseconds kSettle{600};     // a parcel in motion
constexpr std::chrono::milliseconds kEmpty{1000};     // the pan empty between parcels
constexpr std::chrono::milliseconds kLifted{1000};    // the pan taken off: under zero
constexpr double kCapacityKg = 60;
constexpr double kUnderKg = 0.420;                    // how far a listed "under" goes below zero
constexpr double kPoundsPerKg = 2.204;

double Grams(double kg) {
    const double r = std::round(kg * 1000) / 1000;
    return r == 0 ? 0 : r;  // never "-0.000"
}

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

std::optional<std::vector<Parcel>> ParseParcels(const std::string& list) {
    std::vector<Parcel> parcels;
    std::istringstream items(list);
    std::string item;
    while (std::getline(items, item, ',')) {
        if (item == "over") {
            parcels.push_back({Parcel::Kind::Over, 0});
        } else if (item == "under") {
            parcels.push_back({Parcel::Kind::Under, kUnderKg});
        } else {
            char* end = nullptr;
            const double kg = std::strtod(item.c_str(), &end);
            if (item.empty() || *end != '\0' || !(kg > 0 && kg <= kCapacityKg)) return std::nullopt;
            parcels.push_back({Parcel::Kind::Weight, Grams(kg)});
        }
    }
    if (parcels.empty()) return std::nullopt;
    return parcels;
}

Pan::Pan(std::vector<Parcel> parcels, long count, unsigned seed, std::chrono::milliseconds hold, bool loaded, long first)
    : script_(std::move(parcels)), count_(count), first_(first), parcels_(seed), wander_(seed ^ 0x5EED), hold_(hold) {
    if (!loaded || !NextParcel()) return;
    // Settled before anybody looks: its hold begins once the host is there.
    Enter(parcel_.kind == Parcel::Kind::Under ? Phase::Under : Phase::Held, Clock::now());
    afterStart_ = phase_;
    phaseEnd_ = Clock::time_point::max();
}

void Pan::Start(Clock::time_point now) {
    if (started_) return;
    started_ = true;
    if (phase_ == Phase::Waiting) {
        Enter(Phase::Empty, now);
    } else {
        phaseStart_ = now;
        phaseEnd_ = now + (phase_ == Phase::Held ? hold_ : kLifted);
    }
}

void Pan::Enter(Phase phase, Clock::time_point at) {
    phase_ = phase;
    phaseStart_ = at;
    switch (phase) {
    case Phase::Empty: phaseEnd_ = at + kEmpty; break;
    case Phase::Motion: phaseEnd_ = at + kSettle; break;
    case Phase::Held: phaseEnd_ = at + hold_; break;
    case Phase::Under: phaseEnd_ = at + kLifted; break;
    case Phase::Waiting:
    case Phase::Done: phaseEnd_ = Clock::time_point::max(); break;
    }
    if (phase != Phase::Held) return;
    // The line a test counts rows by: once per parcel, as it settles.
    if (parcel_.kind == Parcel::Kind::Over) {
        std::printf("stable over\n");
    } else if (Grams(parcel_.kg - zero_) > 0) {  // (nothing a host would weigh otherwise)
        std::printf("stable %.3f\n", Grams(parcel_.kg - zero_));
    }
}

bool Pan::NextParcel() {
    told_ = false;
    if (!script_.empty()) {
        if (taken_ >= script_.size()) return false;
        parcel_ = script_[taken_++];
        return true;
    }
    if (count_ > 0 && taken_ >= static_cast<std::size_t>(count_)) return false;
    ++taken_;
    if (first_ >= 0) {
        parcel_ = {Parcel::Kind::Weight, (first_ + static_cast<long>(taken_) - 1) / 1000.0};
        return true;
    }
    // Parcels of 0.1 to 30 kg; now and then an overload or the pan lifted off.
    const unsigned kind = parcels_() % 100;
    if (kind < 2) parcel_ = {Parcel::Kind::Over, 0};
    else if (kind < 6) parcel_ = {Parcel::Kind::Under, (50 + parcels_() % 450) / 1000.0};
    else parcel_ = {Parcel::Kind::Weight, (100 + parcels_() % 29901) / 1000.0};
    return true;
}

void Pan::Advance(Clock::time_point now) {
    while (now >= phaseEnd_) {
        const Clock::time_point at = phaseEnd_;
        switch (phase_) {
        case Phase::Empty:
            if (!NextParcel()) Enter(Phase::Done, at);
            else Enter(parcel_.kind == Parcel::Kind::Under ? Phase::Under : Phase::Motion, at);
            break;
        case Phase::Motion: Enter(Phase::Held, at); break;
        case Phase::Held:
            std::printf("lifted\n");  // (a test may act between two parcels)
            Enter(Phase::Empty, at);
            break;
        case Phase::Under: Enter(Phase::Empty, at); break;
        case Phase::Waiting:
        case Phase::Done: return;
        }
    }
}

double Pan::Gross(Clock::time_point now) {
    switch (phase_) {
    case Phase::Motion: {
        // Swinging around the weight, less and less as it settles (an overload on its way up).
        const double target = parcel_.kind == Parcel::Kind::Over ? kCapacityKg - 2 : parcel_.kg;
        const double left = 1 - std::chrono::duration<double>(now - phaseStart_) / kSettle;
        const double swing = std::max(0.005, 0.03 * target) * std::clamp(left, 0.1, 1.0);
        return target + swing * std::uniform_real_distribution<double>(-1, 1)(wander_);
    }
    case Phase::Held: return parcel_.kind == Parcel::Kind::Over ? kCapacityKg + 1 : parcel_.kg;
    case Phase::Under: return -parcel_.kg;
    default: return 0;
    }
}

Reading Pan::Read(Clock::time_point now) {
    Reading r;
    r.over = phase_ == Phase::Held && parcel_.kind == Parcel::Kind::Over;
    r.motion = phase_ == Phase::Motion;
    r.kg = r.over ? 0 : Grams(Gross(now) - zero_);
    return r;
}

bool Pan::Zero(Clock::time_point now) {
    if (Read(now).over) return false;
    zero_ = Grams(Gross(now));
    std::printf("zeroed\n");
    return true;
}

void Pan::Reported(const Reading& r) {
    if (first_ < 0 || told_ || phase_ != Phase::Held || r.motion || r.over || parcel_.kind != Parcel::Kind::Weight) return;
    told_ = true;
    std::printf("told %.3f\n", Grams(parcel_.kg - zero_));
}

double Talk::Shown(double kg) const {
    const double r = pounds_ ? std::round(kg * kPoundsPerKg * 100) / 100 : Grams(kg);
    return r == 0 ? 0 : r;
}

std::string Talk::Take(std::uint8_t byte, Pan& pan, Clock::time_point now) {
    switch (kind_) {
    case Kind::P8217:
        if (byte == 'W') {
            const Reading r = pan.Read(now);
            pan.Reported(r);
            return Answer8217(r);
        }
        if (byte == 'Z') pan.Zero(now);
        return {};
    case Kind::Sics: {
        if (byte != '\r' && byte != '\n') {
            if (command_.size() < 64) command_ += static_cast<char>(byte);
            return {};
        }
        std::string command;
        command.swap(command_);
        const auto first = command.find_first_not_of(' ');
        if (first == std::string::npos) return {};  // an empty line, or the LF of a CR LF
        command = command.substr(first, command.find_last_not_of(' ') + 1 - first);
        return AnswerSics(command, pan, now);
    }
    case Kind::Print: return {};
    }
    return {};
}

std::string Talk::Answer8217(const Reading& r) const {
    const int status = (r.motion ? 0x01 : 0) | (r.over ? 0x02 : 0) | (r.Under() ? 0x04 : 0);
    if (status != 0) return std::string("\x02?") + static_cast<char>(0x40 | status) + "\r";
    return "\x02" + Format(pounds_ ? "%06.2f" : "%06.3f", Shown(r.kg)) + "\r";
}

std::string Talk::AnswerSics(const std::string& command, Pan& pan, Clock::time_point now) const {
    if (command == "S" || command == "SI") {
        const Reading r = pan.Read(now);
        pan.Reported(r);
        if (r.over) return "S +\r\n";
        if (r.Under()) return "S -\r\n";
        return std::string("S ") + (r.motion ? "D " : "S ") + Format(pounds_ ? "%10.2f" : "%10.3f", Shown(r.kg)) +
               (pounds_ ? " lb\r\n" : " kg\r\n");
    }
    if (command == "Z") return pan.Zero(now) ? "Z A\r\n" : "Z +\r\n";
    return "ES\r\n";
}

std::string Talk::PrintLine(const Reading& r) const {
    if (r.over) return pounds_ ? "OL,GS,+  0.00lb\r\n" : "OL,GS,+  0.000kg\r\n";
    const double shown = Shown(r.kg);
    const std::string head = std::string(r.motion ? "US" : "ST") + ",GS," + (shown < 0 ? "-" : "+");
    return head + Format(pounds_ ? "%6.2flb\r\n" : "%7.3fkg\r\n", std::fabs(shown));
}

}  // namespace sim
