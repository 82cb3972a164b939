#pragma once
// UTF-8 / UTF-16 conversions used wherever the program crosses between file bytes
// (UTF-8 paths and files) and its UTF-16 texts.
#include <string>
#include <string_view>

namespace platform {

// Decodes UTF-8; every malformed sequence becomes U+FFFD so hostile input never throws.
// When `valid` is given it reports whether the input was well-formed.
std::u16string Utf8ToUtf16(std::string_view in, bool* valid = nullptr);

// Encodes UTF-16; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view in);

}  // namespace platform
