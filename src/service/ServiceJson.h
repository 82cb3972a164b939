#pragma once
// The JSON of what the weighing log keeps: a weighing, the live weight, the connection.
#include "WeighingLog.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace service {

using json = nlohmann::json;

// A weight as a number with the decimals it was weighed with (0.730, not 0.7299999).
json Kg(double kg, int decimals);
json WeighingJson(const Weighing& w, const Words& words);
json LiveJson(const std::optional<Live>& live);  // null when the scale reports none
json StateJson(const std::string& run, const Connection& c);

}  // namespace service
