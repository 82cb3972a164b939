#pragma once
// The scale Pesavo was made for: 9600 8N1; greeted with 0x5A, it answers 0xA5; every weighing is a
// six-byte frame (type, status, 24-bit count, check byte) answered with 0x9F once it is a row, a
// first damaged frame with 0xF9 (send it again), a second one in a row becomes an error row; after
// more than three error rows the operator is asked whether to disconnect; goodbye is 0x3A.
#include "ScaleProtocol.h"

namespace scale {

inline constexpr std::uint8_t kGreeting = 0x5A, kGreetingReply = 0xA5;

class SixByteProtocol : public ScaleProtocol {
public:
    static constexpr std::size_t kFrameBytes = 6;

    std::string Name() const override { return "frame6"; }
    std::string DisplayName() const override { return "six-byte"; }
    serial::LineUse Use() const override;
    std::vector<std::uint8_t> Goodbye() const override;
    std::unique_ptr<Session> Open(std::chrono::milliseconds messageWait) const override;
};

}  // namespace scale
