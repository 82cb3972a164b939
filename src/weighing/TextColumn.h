#pragma once
// One column of table texts in a single character pool: a full table of 65,001 rows costs two
// allocations per column instead of one heap string per cell.
#include <cstdint>
#include <string_view>
#include <vector>

class TextColumn {
public:
    std::size_t size() const { return ends_.size(); }
    std::u16string_view at(std::size_t row) const {
        const std::uint32_t begin = row == 0 ? 0 : ends_[row - 1];
        return {chars_.data() + begin, ends_[row] - begin};
    }
    void push_back(std::u16string_view text) {
        chars_.insert(chars_.end(), text.begin(), text.end());
        ends_.push_back(static_cast<std::uint32_t>(chars_.size()));
    }
    // Replaces one cell; later cells shift, so bulk rewrites should use a fresh column.
    void set(std::size_t row, std::u16string_view text);
    // Drops the first `count` rows; the rest move up.
    void erase_front(std::size_t count);
    void clear() {
        chars_.clear();
        ends_.clear();
    }
    void reserve(std::size_t rows, std::size_t chars) {
        ends_.reserve(rows);
        chars_.reserve(chars);
    }

private:
    std::vector<char16_t> chars_;
    std::vector<std::uint32_t> ends_;
};
