#pragma once
// Fonts and cell formats: descriptions turned into FONT and XF indices of one book, reusing an
// equal record where one exists. Also the table of number-format texts by index.
#include "XlsBook.h"

#include <cstdint>
#include <map>
#include <string>

struct XlsFont {
    std::u16string name = u"Arial";
    std::uint16_t height = 200, weight = 400, options = 0, colourIndex = 0x7FFF, escapement = 0;
    std::uint8_t underline = 0, family = 0, charset = 0;
};

class XlsFormatManager {
public:
    explicit XlsFormatManager(XlsBook* book);
    // BIFF font index of an equal FONT, appended when none exists (BIFF8 has no font index 4).
    std::uint32_t GetFontIndex(const XlsFont& font);
    const std::map<std::uint32_t, std::u16string>& NumberFormats() const { return formats_; }
    std::uint32_t NextCustomIndex() const { return nextCustom_; }
    XlsBook* Book() const { return book_; }

private:
    XlsBook* book_;
    std::uint32_t nextCustom_ = 164;
    std::map<std::uint32_t, std::u16string> formats_;
    std::map<std::u16string, std::uint32_t> reverse_;
};

class XlsCellFormat {
public:
    explicit XlsCellFormat(XlsFormatManager* manager) : manager(manager) {}
    // Position of an equal XF in the book, appended as a cell XF when none exists.
    std::uint32_t GetXfIndex(XlsFormatManager& manager);

    XlsFormatManager* manager;
    std::int32_t cachedXfIndex = -1;
    std::uint32_t fontIndex = 0, formatIndex = 0;
    std::uint8_t alignment = 0x20, rotation = 0, textProperties = 0;
    std::uint32_t borderLines = 0, borderColours = 0;
    std::uint16_t backgroundColours = 0x20C0;
};
