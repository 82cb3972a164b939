#include "SicsProtocol.h"

namespace scale {

namespace {

std::optional<Report> ParseReply(const std::uint8_t* line, std::size_t size) {
    const std::optional<std::string_view> text = LineText(line, size);
    if (!text) return std::nullopt;
    std::string_view t = *text;
    if (t == "ES" || t == "ET" || t == "EL") return Report{};  // a command's error: no weight
    if (t.size() < 3 || t[0] != 'S' || t[1] != ' ') return std::nullopt;
    t.remove_prefix(1);
    while (!t.empty() && t.front() == ' ') t.remove_prefix(1);
    const char status = t.front();  // (the line was trimmed: something follows the spaces)
    t.remove_prefix(1);
    switch (status) {
        case 'S':
        case 'D':
            if (t.empty() || t.front() != ' ') return std::nullopt;
            return ParseWeight(t, status == 'S');
        case '+':
            if (!t.empty()) return std::nullopt;
            return Report{Report::Kind::Overload};
        case '-':
            if (!t.empty()) return std::nullopt;
            return Report{Report::Kind::UnderZero};
        case 'I':
            if (!t.empty()) return std::nullopt;
            return Report{};  // busy
        default: return std::nullopt;
    }
}

}  // namespace

LineFormat SicsProtocol::Format() const { return {-1, '\n', &ParseReply}; }

serial::LineUse SicsProtocol::Use() const {
    // `#` and a line end first: whatever an earlier probe left in the balance's buffer (a `W`,
    // or a `Z`, which would zero it) ends as an unknown command, answered `ES` — which says
    // MT-SICS is here as well as the weight does.
    return UseWith({9600, 8, 'N', 1}, {'#', '\r', '\n', 'S', 'I', '\r', '\n'}, std::chrono::milliseconds(300));
}

}  // namespace scale
