#pragma once
// One column of table texts in a single character pool: a full table of 65,001 rows costs a few
// allocations per column instead of one heap string per cell. A cell rewritten with a longer
// text moves to the end of the pool; the pool is compacted when more than half of it is unused,
// so every rewrite costs the same however long the table is.
#include <cstdint>
#include <string_view>
#include <vector>

class TextColumn {
public:
    std::size_t size() const { return slots_.size(); }
    std::u16string_view at(std::size_t row) const {
        const Slot& s = slots_[row];
        return {chars_.data() + s.begin, s.length};
    }
    void push_back(std::u16string_view text);
    // Replaces one cell's text.
    void set(std::size_t row, std::u16string_view text);
    // Drops the first `count` rows; the rest move up.
    void erase_front(std::size_t count);
    void clear() {
        chars_.clear();
        slots_.clear();
        unused_ = 0;
    }

private:
    struct Slot {
        std::uint32_t begin, length, capacity;
    };
    void Compact();

    std::vector<char16_t> chars_;
    std::vector<Slot> slots_;
    std::size_t unused_ = 0;  // characters of the pool no cell uses
};
