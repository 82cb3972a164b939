#pragma once
// The kinds of scale Pesavo knows, by the names a scale's settings give them, and what a site may
// set for each scale (Scales.ini).
#include "ScaleProtocol.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace scale {

struct ScaleOptions {
    // A weighing is taken once the pan held less than this since the last one (the scales that
    // report a weight over and over; the six-byte scale sends each weighing once).
    double minimumKg = 0.02;
};

// Every kind, in the order a search tries them: those that only listen or ask for a weight
// first (a printing scale is listened for while MT-SICS, on the same line settings, is asked);
// the six-byte scale's greeting 0x5A, which is the zero command of the others, last.
const std::vector<std::string>& ProtocolNames();

// The protocol of that name (as ProtocolNames gives it, any case); null when there is none.
std::shared_ptr<const ScaleProtocol> MakeProtocol(std::string_view name, const ScaleOptions& options = {});

}  // namespace scale
