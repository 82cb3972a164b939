#pragma once
// A balance speaking MT-SICS: 8N1 at 9600 baud, asked `SI` (the weight at once, settled or not)
// five times a second. It answers `S S <weight> <unit>` settled, `S D …` in motion, `S +` over
// and `S -` under its range, `S I` busy; `ES`, `ET` and `EL` say a command was not understood,
// not sent whole, or cannot be carried out. Lines end in CR LF.
#include "LineSession.h"

namespace scale {

class SicsProtocol : public LineProtocol {
public:
    explicit SicsProtocol(const ScaleOptions& options = {}) : LineProtocol(options) {}

    std::string Name() const override { return "sics"; }
    std::string DisplayName() const override { return "MT-SICS"; }
    serial::LineUse Use() const override;
    std::chrono::milliseconds PollEvery() const override { return std::chrono::milliseconds(200); }
    std::vector<std::uint8_t> Poll() const override { return {'S', 'I', '\r', '\n'}; }

protected:
    LineFormat Format() const override;
};

}  // namespace scale
