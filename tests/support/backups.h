// Test helpers for backups of a line of simulated sensors: blocks that differ in every byte,
// fleets that hold them, port names, and what a parameter file holds.
#pragma once

#include "core/paramfile.h"
#include "sim/fleet.h"
#include "support/files.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <string_view>
#include <vector>

namespace testing_support {

// Every byte differs between sensors and memories; unknown codes and spare bytes included.
// `generation` gives the same sensor other sets (a sensor changed since a backup).
inline sim::Block Pattern(unsigned sensor, bool ram, unsigned generation = 0) {
    sim::Block b{};
    for (unsigned k = 0; k < b.size(); ++k) {
        b[k] = static_cast<std::uint8_t>(ram ? 37 * k + 61 * sensor + 5 + 11 * generation
                                             : 53 * k + 17 * sensor + 200 + 13 * generation);
    }
    return b;
}

inline std::vector<sim::Config> Configs(unsigned n) {
    std::vector<sim::Config> out(n);
    for (unsigned i = 0; i < n; ++i) {
        out[i].wireTime = false;
        out[i].answerDelay = 0.002;
        out[i].ram = Pattern(i, true);
        out[i].eeprom = Pattern(i, false);
    }
    return out;
}

// `n` quick sensors (no wire time) that all hold `ram` and `eeprom`, each with its own seed.
inline std::vector<sim::Config> LineOf(unsigned n, const sim::Block& ram,
                                       const sim::Block& eeprom) {
    std::vector<sim::Config> out(n);
    for (unsigned i = 0; i < n; ++i) {
        out[i].wireTime = false;
        out[i].answerDelay = 0.002;
        out[i].ram = ram;
        out[i].eeprom = eeprom;
        out[i].seed = i + 1;
    }
    return out;
}

inline QStringList Coms(unsigned n) {
    QStringList out;
    for (unsigned i = 1; i <= n; ++i) {
        out << QStringLiteral("COM%1").arg(i);
    }
    return out;
}

inline std::optional<sim::Block> FileBlock(const QString& path) {
    const QByteArray text = Contents(path);
    const auto r = zurid::core::ReadParamFile(
        std::string_view(text.constData(), static_cast<std::size_t>(text.size())));
    return r.ok ? std::optional<sim::Block>(r.block) : std::nullopt;
}

} // namespace testing_support
