#pragma once
// The 8217 scale: 7E1 at 9600 baud, asked for its weight with `W` five times a second. It
// answers STX, the weight (kg as WW.WWW, lb as 0WW.WW: the decimals say the unit), an `N` for
// a net weight, CR — a weight it sends is settled — or, with no weight to give, STX `?` and a
// status byte, CR.
#include "LineSession.h"

namespace scale {

class Polled8217Protocol : public LineProtocol {
public:
    explicit Polled8217Protocol(const ScaleOptions& options = {}) : LineProtocol(options) {}

    std::string Name() const override { return "8217"; }
    std::string DisplayName() const override { return "8217"; }
    serial::LineUse Use() const override;
    std::chrono::milliseconds PollEvery() const override { return std::chrono::milliseconds(200); }
    std::vector<std::uint8_t> Poll() const override { return {'W'}; }

protected:
    LineFormat Format() const override;
};

}  // namespace scale
