#pragma once
// Local calendar time of a moment, thread-safe on every platform.
#include <ctime>

namespace platform {

// False when the moment cannot be converted.
inline bool ToLocalTime(std::time_t t, std::tm& out) {
#ifdef _WIN32
    return localtime_s(&out, &t) == 0;
#else
    return localtime_r(&t, &out) != nullptr;
#endif
}

}  // namespace platform
