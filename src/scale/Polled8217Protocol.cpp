#include "Polled8217Protocol.h"

namespace scale {

namespace {

constexpr std::uint8_t kStx = 0x02, kCr = 0x0D;

// The status byte of a `?` reply: bit 0 in motion, 1 over capacity, 2 under zero, 3 outside the
// zero capture range, 4 at the centre of zero, 5 net; bit 6 is always set, bit 7 is parity.
constexpr std::uint8_t kOverCapacity = 0x02, kUnderZero = 0x04, kCentreOfZero = 0x10, kAlwaysSet = 0x40;

std::optional<Report> ParseReply(const std::uint8_t* line, std::size_t size) {
    if (size < 4 || line[0] != kStx || line[size - 1] != kCr) return std::nullopt;
    const std::uint8_t* body = line + 1;
    std::size_t n = size - 2;
    Report r;
    if (body[0] == '?') {
        if (n != 2) return std::nullopt;
        const std::uint8_t status = body[1] & 0x7F;
        if (!(status & kAlwaysSet)) return std::nullopt;
        // In motion (or only outside the zero capture range, or net): nothing to go by.
        if (status & kOverCapacity) r.kind = Report::Kind::Overload;
        else if (status & (kUnderZero | kCentreOfZero)) r.kind = Report::Kind::UnderZero;
        return r;
    }
    if (body[n - 1] == 'N') --n;  // a net weight weighs the same
    std::size_t point = n;
    for (std::size_t i = 0; i < n; ++i) {
        if (body[i] == '.' && point == n) point = i;
        else if (body[i] < '0' || body[i] > '9') return std::nullopt;
    }
    const std::size_t decimals = n - point - 1;
    if (point == 0 || point == n || n > 8 || (decimals != 2 && decimals != 3)) return std::nullopt;
    double value = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (i != point) value = value * 10 + (body[i] - '0');
    // Three decimals are kilograms, two are pounds.
    return decimals == 3 ? WeightOf(value / 1000, 3, 1.0, 0, true) : WeightOf(value / 100, 2, 2.204, 0, true);
}

}  // namespace

LineFormat Polled8217Protocol::Format() const { return {kStx, kCr, &ParseReply}; }

serial::LineUse Polled8217Protocol::Use() const {
    // A poll is the greeting: the scale is known by its first whole reply, which is then its
    // first weight.
    return UseWith({9600, 7, 'E', 1}, Poll(), std::chrono::milliseconds(300));
}

}  // namespace scale
