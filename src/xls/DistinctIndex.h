#pragma once
// The index of distinct values of a list that grows as values are looked up: open addressing
// over positions in the caller's list, with each value's hash kept beside its position, so that
// most mismatches never touch the value and growing never hashes again. A full sheet of mostly
// distinct texts needs no node or copy per text.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace Biff8 {

template <typename Value, typename Same>
class DistinctIndex {
public:
    // Sized for `expected` values up front (it grows beyond them when needed).
    DistinctIndex(std::vector<Value>& values, std::size_t expected, Same same = {}) : values_(values), same_(same) {
        std::size_t n = 1024;
        while (n < 2 * expected) n *= 2;
        slots_.resize(n);
    }

    // Starts loading the slot of a value looked up soon (the index is far larger than the
    // caches, so the lookups of a row are started together).
    void Prefetch(std::uint32_t hash) const {
#if defined(__GNUC__) || defined(__clang__)
        __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
#else
        (void)hash;  // a hint only: compilers without it simply load the slot when it is used
#endif
    }

    // The position of `value` (whose hash is `hash`) in the list, appending it when it is new.
    std::uint32_t IndexOf(const Value& value, std::uint32_t hash) {
        if (2 * (values_.size() + 1) > slots_.size()) Grow();
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
            Slot& slot = slots_[i];
            if (slot.position == 0) {
                values_.push_back(value);
                slot = {static_cast<std::uint32_t>(values_.size()), hash};
                return slot.position - 1;
            }
            if (slot.hash == hash && same_(values_[slot.position - 1], value)) return slot.position - 1;
        }
    }

private:
    struct Slot {
        std::uint32_t position = 0;  // position + 1; 0 is free
        std::uint32_t hash = 0;
    };
    void Grow() {
        std::vector<Slot> larger(slots_.size() * 2);
        const std::size_t mask = larger.size() - 1;
        for (const Slot& slot : slots_) {
            if (slot.position == 0) continue;
            std::size_t i = slot.hash & mask;
            while (larger[i].position != 0) i = (i + 1) & mask;
            larger[i] = slot;
        }
        slots_ = std::move(larger);
    }

    std::vector<Value>& values_;
    Same same_;
    std::vector<Slot> slots_;
};

}  // namespace Biff8
