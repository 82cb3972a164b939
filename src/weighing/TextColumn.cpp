#include "TextColumn.h"

#include <algorithm>

void TextColumn::push_back(std::u16string_view text) {
    const auto begin = static_cast<std::uint32_t>(chars_.size());
    chars_.insert(chars_.end(), text.begin(), text.end());
    const auto length = static_cast<std::uint32_t>(text.size());
    slots_.push_back({begin, length, length});
}

void TextColumn::set(std::size_t row, std::u16string_view text) {
    Slot& s = slots_[row];
    const auto length = static_cast<std::uint32_t>(text.size());
    if (length <= s.capacity) {
        std::copy(text.begin(), text.end(), chars_.begin() + s.begin);
        s.length = length;
        return;
    }
    unused_ += s.capacity;
    s.begin = static_cast<std::uint32_t>(chars_.size());
    s.length = s.capacity = length;
    chars_.insert(chars_.end(), text.begin(), text.end());
    if (unused_ > chars_.size() / 2) Compact();
}

void TextColumn::erase_front(std::size_t count) {
    count = std::min(count, slots_.size());
    for (std::size_t i = 0; i < count; ++i) unused_ += slots_[i].capacity;
    slots_.erase(slots_.begin(), slots_.begin() + static_cast<std::ptrdiff_t>(count));
    Compact();
}

void TextColumn::Compact() {
    std::vector<char16_t> packed;
    packed.reserve(chars_.size() - std::min(unused_, chars_.size()));
    for (Slot& s : slots_) {
        const auto begin = static_cast<std::uint32_t>(packed.size());
        packed.insert(packed.end(), chars_.begin() + s.begin, chars_.begin() + s.begin + s.capacity);
        s.begin = begin;
    }
    chars_ = std::move(packed);
    unused_ = 0;
}
