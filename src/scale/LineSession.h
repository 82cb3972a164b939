#pragma once
// What the scales that speak in text lines share: a bounded line buffer that skips noise and
// drops damaged or overlong lines, a session that turns each line's report into a live weight
// and — under the one-row-per-parcel rule — a row, and a probe that knows the scale by its
// first whole line.
#include "ParcelCapture.h"
#include "Protocols.h"
#include "ScaleProtocol.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace scale {

// The longest line kept, terminator included; a longer one is dropped up to its end.
inline constexpr std::size_t kLineBytes = 64;

// What one line of the scale's says.
struct Report {
    enum class Kind {
        Nothing,    // a valid line without a weight (busy, a command's error, in motion without one)
        Weight,     // a weight, settled or not
        Overload,   // over capacity
        UnderZero,  // under zero or at zero, without a weight: the pan is cleared
    };
    Kind kind = Kind::Nothing;
    double kg = 0.0;
    std::int8_t decimals = 0;  // 1..3, as the table shows them
    bool stable = false;
};

// How a protocol's lines are cut and read.
struct LineFormat {
    int start = -1;            // the byte a line begins with (-1: its first printable byte)
    std::uint8_t end = '\n';   // the byte a line ends with
    // The report of one whole line (`line`, terminator included); none when it is no valid line.
    std::optional<Report> (*parse)(const std::uint8_t* line, std::size_t size) = nullptr;
};

// Cuts bytes into lines. Bytes before a line begins are noise and skipped; a line longer than
// kLineBytes is dropped up to its end, so the buffer never grows past that.
class LineSplitter {
public:
    explicit LineSplitter(const LineFormat& format) : start_(format.start), end_(format.end) { line_.reserve(kLineBytes); }
    // Takes one byte; true when it ended a line, which Line() then holds until the next byte.
    bool Take(std::uint8_t byte);
    const std::vector<std::uint8_t>& Line() const { return line_; }
    void Restart();

private:
    const int start_;
    const std::uint8_t end_;
    std::vector<std::uint8_t> line_;
    bool inLine_ = false;
    bool dropping_ = false;  // an overlong line: skipped up to its end
};

// The text of a line ending in LF (CR LF or a lone LF), without its terminator and the spaces
// around it; none when it holds anything but printable ASCII (line noise, a parity error).
std::optional<std::string_view> LineText(const std::uint8_t* line, std::size_t size);

// A weight as "[sign] digits[.digits] unit", spaces allowed around the parts; the units are kg,
// g, lb and oz (any case). None for a bad number or an unknown unit.
std::optional<Report> ParseWeight(std::string_view text, bool stable);

// A weight in `decimals` decimals of a unit whose kilogram is `perKg` of it, with `extra`
// decimals more in kilograms (g: 1000, 3; oz: 35.27, 1); the decimals are kept to 1..3. None
// when it is more than the table can show.
std::optional<Report> WeightOf(double value, int decimals, double perKg, int extra, bool stable);

// A protocol of text lines: no goodbye, no answers, and a line that falls silent is lost.
class LineProtocol : public ScaleProtocol {
public:
    explicit LineProtocol(const ScaleOptions& options) : options_(options) {}
    std::vector<std::uint8_t> Goodbye() const override { return {}; }
    std::chrono::milliseconds SilenceLimit() const override { return std::chrono::milliseconds(3000); }
    std::unique_ptr<Session> Open(std::chrono::milliseconds messageWait) const override;

protected:
    virtual LineFormat Format() const = 0;
    // Its probe: Scale once a whole valid line came (that line is the first data), Other once
    // more came than a line begun before listening and a whole one could fill.
    serial::LineUse UseWith(platform::LineSettings settings, std::vector<std::uint8_t> greeting,
                            std::chrono::milliseconds answerWithin) const;

private:
    ScaleOptions options_;
};

}  // namespace scale
