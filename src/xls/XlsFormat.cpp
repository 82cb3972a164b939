#include "XlsFormat.h"

namespace {

// The standard's built-in number formats; none of them is written as a FORMAT record.
const std::pair<std::uint32_t, const char16_t*> kBuiltInFormats[] = {
    {0, u"General"}, {1, u"0"}, {2, u"0.00"}, {3, u"#,##0"}, {4, u"#,##0.00"},
    {5, u"\"$\"#,##0_);(\"$\"#,##0)"}, {6, u"\"$\"#,##0_);[Red](\"$\"#,##0)"},
    {7, u"\"$\"#,##0.00_);(\"$\"#,##0.00)"}, {8, u"\"$\"#,##0.00_);[Red](\"$\"#,##0.00)"},
    {9, u"0%"}, {10, u"0.00%"}, {11, u"0.00E+00"}, {12, u"# ?/?"}, {13, u"# ?" u"?/?" u"?"},
    {14, u"M/D/YY"}, {15, u"D-MMM-YY"}, {16, u"D-MMM"}, {17, u"MMM-YY"}, {18, u"h:mm AM/PM"},
    {19, u"h:mm:ss AM/PM"}, {20, u"h:mm"}, {21, u"h:mm:ss"}, {22, u"M/D/YY h:mm"},
    {37, u"_(#,##0_);(#,##0)"}, {38, u"_(#,##0_);[Red](#,##0)"}, {39, u"_(#,##0.00_);(#,##0.00)"},
    {40, u"_(#,##0.00_);[Red](#,##0.00)"}, {41, u"_(* #,##0_);_(* (#,##0);_(* \"-\"_);_(@_)"},
    {42, u"_($* #,##0_);_($* (#,##0);_($* \"-\"_);_(@_)"},
    {43, u"_(* #,##0.00_);_(* (#,##0.00);_(* \"-\"?" u"?_);_(@_)"},
    {44, u"_($* #,##0.00_);_($* (#,##0.00);_($* \"-\"?" u"?_);_(@_)"},
    {45, u"mm:ss"}, {46, u"[h]:mm:ss"}, {47, u"mm:ss.0"}, {48, u"##0.0E+0"}, {49, u"@"},
};

std::u16string FontName(const Biff8::Font& f) {
    if (f.name.isWide) return f.name.wide;
    return std::u16string(f.name.narrow.begin(), f.name.narrow.end());
}

}  // namespace

XlsFormatManager::XlsFormatManager(XlsBook* book) : book_(book) {
    for (const auto& [index, text] : kBuiltInFormats) formats_[index] = text;
    for (const Biff8::Format& f : book_->globals.formats) {
        formats_[f.index] = f.text.IsWide() ? f.text.wide : std::u16string(f.text.narrow.begin(), f.text.narrow.end());
        if (f.index >= nextCustom_) nextCustom_ = f.index + 1u;
    }
    for (const auto& [index, text] : formats_) reverse_[text] = index;  // higher index wins
}

std::uint32_t XlsFormatManager::GetFontIndex(const XlsFont& d) {
    auto& fonts = book_->globals.fonts;
    auto indexOf = [](std::size_t p) { return static_cast<std::uint32_t>(p < 4 ? p : p + 1); };
    for (std::size_t p = 0; p < fonts.size(); ++p) {
        const Biff8::Font& f = fonts[p];
        if (FontName(f) == d.name && f.height == d.height && f.weight == d.weight && f.options == d.options &&
            f.colourIndex == d.colourIndex && f.escapement == d.escapement && f.underline == d.underline &&
            f.family == d.family && f.charset == d.charset)
            return indexOf(p);
    }
    Biff8::Font f;
    f.height = d.height;
    f.options = d.options;
    f.colourIndex = d.colourIndex;
    f.weight = d.weight;
    f.escapement = d.escapement;
    f.underline = d.underline;
    f.family = d.family;
    f.charset = d.charset;
    f.name.wide = d.name;
    f.name.isWide = true;
    fonts.push_back(f);
    return indexOf(fonts.size() - 1);
}

std::uint32_t XlsCellFormat::GetXfIndex(XlsFormatManager& m) {
    auto& xfs = m.Book()->globals.xfs;
    for (std::size_t p = 0; p < xfs.size(); ++p) {
        const Biff8::XF& x = xfs[p];
        if (x.fontIndex == fontIndex && x.formatIndex == formatIndex && x.alignment == alignment &&
            x.rotation == rotation && x.textProperties == textProperties && x.borderLines == borderLines &&
            x.borderColours == borderColours && x.backgroundColours == backgroundColours)
            return static_cast<std::uint32_t>(p);
    }
    Biff8::XF x;
    x.fontIndex = static_cast<std::uint16_t>(fontIndex);
    x.formatIndex = static_cast<std::uint16_t>(formatIndex);
    x.alignment = alignment;
    x.rotation = rotation;
    x.textProperties = textProperties;
    x.borderLines = borderLines;
    x.borderColours = borderColours;
    x.backgroundColours = backgroundColours;
    x.typeProtection = 0x0078;  // a cell XF: unlocked, not hidden, parent field 7
    xfs.push_back(x);
    return static_cast<std::uint32_t>(xfs.size() - 1);
}
