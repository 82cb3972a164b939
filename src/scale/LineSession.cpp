#include "LineSession.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <deque>
#include <string>

namespace scale {

namespace {

// A weight has at most this many digits; a longer number is garbage, not a weight.
constexpr std::size_t kMostDigits = 9;

bool Printable(std::uint8_t b) { return b >= 0x20 && b < 0x7F; }

bool SameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

class LineSession final : public Session {
public:
    LineSession(const LineFormat& format, double minimumKg) : format_(format), lines_(format), capture_(minimumKg) {}

    void Take(const std::uint8_t* bytes, std::size_t count, Clock::time_point) override {
        for (std::size_t i = 0; i < count; ++i) {
            if (!lines_.Take(bytes[i])) continue;
            const std::vector<std::uint8_t>& line = lines_.Line();
            const std::optional<Report> report = format_.parse(line.data(), line.size());
            if (report && report->kind != Report::Kind::Nothing) reports_.push_back({*report, line});
        }
    }

    bool Next(Clock::time_point, Message& message) override {
        while (ready_.empty() && !reports_.empty()) {
            Judge(reports_.front());
            reports_.pop_front();
        }
        if (ready_.empty()) return false;
        message = std::move(ready_.front());
        ready_.pop_front();
        return true;
    }

    std::optional<Clock::time_point> Due() const override { return std::nullopt; }
    void ErrorsForgiven() override {}

    void Restart() override {
        lines_.Restart();
        reports_.clear();
        ready_.clear();
        capture_.Restart();
    }

private:
    struct Line {
        Report report;
        std::vector<std::uint8_t> raw;
    };

    void Judge(const Line& line) {
        const Report& r = line.report;
        Message m;
        m.raw = line.raw;
        switch (r.kind) {
            case Report::Kind::Weight:
                m.kind = Message::Kind::Live;
                m.reading = {weighing::RowKind::Weight, r.kg, r.decimals};
                m.stable = r.stable;
                ready_.push_back(m);
                if (capture_.Weight(r.kg, r.stable)) {
                    m.kind = Message::Kind::Row;
                    m.stable = false;
                    ready_.push_back(std::move(m));
                }
                break;
            case Report::Kind::Overload:
                if (capture_.Overload()) {
                    m.reading = {weighing::RowKind::Overweight, kOverweightStored, 0};
                    ready_.push_back(std::move(m));
                }
                break;
            case Report::Kind::UnderZero: capture_.Cleared(); break;
            case Report::Kind::Nothing: break;
        }
    }

    const LineFormat format_;
    LineSplitter lines_;
    ParcelCapture capture_;
    std::deque<Line> reports_;     // whole lines taken and not judged yet
    std::deque<Message> ready_;    // judged and not handed out yet
};

}  // namespace

bool LineSplitter::Take(std::uint8_t byte) {
    if (start_ >= 0 && byte == start_) {
        // A line begins afresh wherever its start byte comes (it never comes inside one).
        line_.assign(1, byte);
        inLine_ = true;
        dropping_ = false;
        return false;
    }
    if (dropping_) {
        if (byte == end_) dropping_ = inLine_ = false;
        return false;
    }
    if (!inLine_) {
        // Between lines: what is not the start of one is noise.
        if (start_ >= 0 || !Printable(byte)) return false;
        line_.clear();
        inLine_ = true;
    }
    if (byte == end_) {
        line_.push_back(byte);
        inLine_ = false;
        return true;
    }
    if (line_.size() + 1 >= kLineBytes) {
        line_.clear();  // (room is kept for the terminator)
        dropping_ = true;
        return false;
    }
    line_.push_back(byte);
    return false;
}

void LineSplitter::Restart() {
    line_.clear();
    inLine_ = dropping_ = false;
}

std::optional<std::string_view> LineText(const std::uint8_t* line, std::size_t size) {
    if (size == 0 || line[size - 1] != '\n') return std::nullopt;
    --size;
    if (size > 0 && line[size - 1] == '\r') --size;
    if (!std::all_of(line, line + size, Printable)) return std::nullopt;
    return Trim(std::string_view(reinterpret_cast<const char*>(line), size));
}

std::optional<Report> WeightOf(double value, int decimals, double perKg, int extra, bool stable) {
    Report r;
    r.kind = Report::Kind::Weight;
    r.kg = value / perKg;
    if (r.kg == 0) r.kg = 0;  // (no minus zero)
    r.decimals = static_cast<std::int8_t>(std::clamp(decimals + extra, 1, 3));
    r.stable = stable;
    // The table keeps one digit for the width of each unit's text: the pounds, the longest, take
    // at most nine characters (with a digit to spare against rounding). More than that is no
    // parcel's weight.
    if (std::fabs(r.kg) * 2.204 >= std::pow(10.0, 8 - r.decimals) - 1) return std::nullopt;
    return r;
}

std::optional<Report> ParseWeight(std::string_view text, bool stable) {
    text = Trim(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text = Trim(text.substr(1));
    }
    std::size_t n = 0, digits = 0, points = 0, afterPoint = 0;
    for (; n < text.size(); ++n) {
        const char c = text[n];
        if (c == '.') {
            ++points;
        } else if (c >= '0' && c <= '9') {
            ++digits;
            if (points > 0) ++afterPoint;
        } else {
            break;
        }
    }
    if (digits == 0 || digits > kMostDigits || points > 1 || (points == 1 && afterPoint == 0)) return std::nullopt;
    double value = 0;
    const std::string_view number = text.substr(0, n);
    if (std::from_chars(number.data(), number.data() + number.size(), value).ptr != number.data() + number.size())
        return std::nullopt;
    if (negative) value = -value;
    const int decimals = static_cast<int>(afterPoint);
    const std::string_view unit = Trim(text.substr(n));
    if (SameText(unit, "kg")) return WeightOf(value, decimals, 1.0, 0, stable);
    if (SameText(unit, "g")) return WeightOf(value, decimals, 1000.0, 3, stable);
    // The inverses of the factors the table shows pounds and ounces by, so that a weight shows
    // in the unit it was sent in as it was sent.
    if (SameText(unit, "lb")) return WeightOf(value, decimals, 2.204, 0, stable);
    if (SameText(unit, "oz")) return WeightOf(value, decimals, 35.27, 1, stable);
    return std::nullopt;
}

std::unique_ptr<Session> LineProtocol::Open(std::chrono::milliseconds) const {
    // A line is whole on its terminator: nothing is judged on time.
    return std::make_unique<LineSession>(Format(), options_.minimumKg);
}

serial::LineUse LineProtocol::UseWith(platform::LineSettings settings, std::vector<std::uint8_t> greeting,
                                      std::chrono::milliseconds answerWithin) const {
    serial::LineUse use;
    use.kind = Name();
    use.settings = settings;
    use.messageBytes = 1;
    use.greeting = std::move(greeting);
    use.answerWithin = answerWithin;
    use.recognise = [format = Format()](const std::uint8_t* bytes, std::size_t count, std::size_t& replyBytes) {
        LineSplitter lines(format);
        for (std::size_t i = 0; i < count; ++i) {
            if (lines.Take(bytes[i]) && format.parse(lines.Line().data(), lines.Line().size())) {
                replyBytes = 0;  // the reply is the scale's first data: a parcel on the pan is taken
                return serial::Reply::Scale;
            }
        }
        if (count > 2 * kLineBytes) {
            replyBytes = count;
            return serial::Reply::Other;
        }
        return serial::Reply::NotYet;
    };
    return use;
}

}  // namespace scale
