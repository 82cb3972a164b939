#include "PrintProtocol.h"

namespace scale {

namespace {

// The next field of a line up to its comma, without spaces around it; none when no comma follows.
std::optional<std::string_view> Field(std::string_view& rest) {
    const std::size_t comma = rest.find(',');
    if (comma == std::string_view::npos) return std::nullopt;
    std::string_view field = rest.substr(0, comma);
    rest.remove_prefix(comma + 1);
    while (!field.empty() && field.front() == ' ') field.remove_prefix(1);
    while (!field.empty() && field.back() == ' ') field.remove_suffix(1);
    return field;
}

std::optional<Report> ParseLine(const std::uint8_t* line, std::size_t size) {
    const std::optional<std::string_view> text = LineText(line, size);
    if (!text) return std::nullopt;
    std::string_view rest = *text;
    const std::optional<std::string_view> state = Field(rest), gross = Field(rest);
    if (!state || !gross || (*gross != "GS" && *gross != "NT")) return std::nullopt;
    if (*state == "OL") return Report{Report::Kind::Overload};  // (whatever it prints as the weight)
    if (*state != "ST" && *state != "US") return std::nullopt;
    return ParseWeight(rest, *state == "ST");
}

}  // namespace

LineFormat PrintProtocol::Format() const { return {-1, '\n', &ParseLine}; }

serial::LineUse PrintProtocol::Use() const {
    // Listened to: the first whole line it prints says what it is.
    return UseWith({9600, 8, 'N', 1}, {}, std::chrono::milliseconds(500));
}

}  // namespace scale
