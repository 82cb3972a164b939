#pragma once
// Little-endian writer over a buffer region whose size was promised in advance. Writing past
// the promise is a bug in a record's size computation: it stops the program loudly instead of
// corrupting the neighbouring records.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Biff8 {

class ByteWriter {
public:
    ByteWriter(std::uint8_t* begin, std::uint8_t* end) : p_(begin), end_(end) {}
    void U8(std::uint8_t v) { Need(1); *p_++ = v; }
    void U16(std::uint16_t v) { Need(2); p_[0] = v & 0xFF; p_[1] = v >> 8; p_ += 2; }
    void U32(std::uint32_t v) {
        Need(4);
        for (int i = 0; i < 4; ++i) p_[i] = static_cast<std::uint8_t>(v >> (8 * i));
        p_ += 4;
    }
    void F64(double v) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, 8);
        U32(static_cast<std::uint32_t>(bits));
        U32(static_cast<std::uint32_t>(bits >> 32));
    }
    void Bytes(const void* data, std::size_t n) {
        Need(n);
        if (n) std::memcpy(p_, data, n);
        p_ += n;
    }
    std::uint8_t* Position() const { return p_; }

private:
    void Need(std::size_t n) const {
        if (static_cast<std::size_t>(end_ - p_) < n) {
            std::fprintf(stderr, "Biff8: a record wrote more bytes than its size promised\n");
            std::abort();
        }
    }
    std::uint8_t* p_;
    std::uint8_t* end_;
};

}  // namespace Biff8
