#include "TextColumn.h"

void TextColumn::set(std::size_t row, std::u16string_view text) {
    const std::uint32_t begin = row == 0 ? 0 : ends_[row - 1];
    const std::uint32_t end = ends_[row];
    const std::size_t oldLength = end - begin;
    if (text.size() == oldLength) {
        std::copy(text.begin(), text.end(), chars_.begin() + begin);
        return;
    }
    chars_.erase(chars_.begin() + begin, chars_.begin() + end);
    chars_.insert(chars_.begin() + begin, text.begin(), text.end());
    const auto delta = static_cast<std::int64_t>(text.size()) - static_cast<std::int64_t>(oldLength);
    for (std::size_t r = row; r < ends_.size(); ++r)
        ends_[r] = static_cast<std::uint32_t>(static_cast<std::int64_t>(ends_[r]) + delta);
}

void TextColumn::erase_front(std::size_t count) {
    if (count >= ends_.size()) {
        clear();
        return;
    }
    if (count == 0) return;
    const std::uint32_t cut = ends_[count - 1];
    chars_.erase(chars_.begin(), chars_.begin() + cut);
    ends_.erase(ends_.begin(), ends_.begin() + static_cast<std::ptrdiff_t>(count));
    for (auto& e : ends_) e -= cut;
}
