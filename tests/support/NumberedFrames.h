#pragma once
// Weighings that tell themselves apart: frame `i` weighs 1.000 to 9.999 kg in steps of a gram,
// so that a lost or repeated frame shifts the weight of every row after it.
#include "FrameDecoder.h"
#include "MeasurementTable.h"

#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

inline std::array<std::uint8_t, 6> NumberedFrame(int i) {
    const auto count = static_cast<std::uint32_t>(1000 + i % 9000);
    std::array<std::uint8_t, 6> f = {0x5F, 0x08, static_cast<std::uint8_t>(count >> 16),
                                     static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count), 0};
    f[5] = static_cast<std::uint8_t>(f[0] ^ f[1] ^ f[2] ^ f[3] ^ f[4]);
    return f;
}

// Frames 0 to n - 1 as a scale-sim script, one frame per line.
inline std::string NumberedFramesScript(int n) {
    std::string script;
    script.reserve(static_cast<std::size_t>(n) * 18);
    for (int i = 0; i < n; ++i) {
        const auto f = NumberedFrame(i);
        char line[32];
        std::snprintf(line, sizeof line, "%02X %02X %02X %02X %02X %02X\n", f[0], f[1], f[2], f[3], f[4], f[5]);
        script += line;
    }
    return script;
}

inline int UnitOf(const QString& text) {
    for (int unit : {weighing::kKg, weighing::kLb, weighing::kLbOz})
        if (text == QLatin1String(weighing::UnitText(unit))) return unit;
    return -1;
}

// Whether a saved or shown row (its six cells) is weighing `i`, its weight in the row's own unit.
inline bool ShowsNumberedFrame(const QStringList& cells, int i) {
    const auto f = NumberedFrame(i);
    const weighing::Weighing w = weighing::DecodeWeight(f.data());
    const int unit = cells.size() > 2 ? UnitOf(cells[2]) : -1;
    return cells.size() == weighing::kColumns && unit >= 0 &&
           cells[1] == QLatin1String(weighing::WeightText(w.kg, w.decimals, unit).c_str());
}
