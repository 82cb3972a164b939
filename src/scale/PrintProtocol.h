#pragma once
// A scale that prints its weight on its own, over and over: 8N1 at 9600 baud, nothing is sent
// to it. Each line is `ST|US|OL , GS|NT , <sign and weight><unit>` ending in CR LF — settled,
// unsettled or overloaded; gross or net — for instance `ST,GS,+  1.234kg`.
#include "LineSession.h"

namespace scale {

class PrintProtocol : public LineProtocol {
public:
    explicit PrintProtocol(const ScaleOptions& options = {}) : LineProtocol(options) {}

    std::string Name() const override { return "print"; }
    std::string DisplayName() const override { return "continuous print"; }
    serial::LineUse Use() const override;

protected:
    LineFormat Format() const override;
};

}  // namespace scale
