#include "sensors/restore.h"

#include "sensors/paramtext.h"

#include "core/params.h"

namespace zurid::sensors {

namespace {

FleetStep LineCheck() {
    return {QStringLiteral("line check"), [](PortSession& s, Done d) { s.lineCheck(d); }, {}};
}

FleetStep Read(Memory m) {
    return {QStringLiteral("%1 read").arg(QLatin1String(MemoryName(m))),
            [m](PortSession& s, Done d) { s.readParams(m, d); },
            [m](FleetPort& p, const Reply& r) {
                (m == Memory::Ram ? p.ram : p.eeprom) = *ToBlock(r.bytes);
                return QString();
            }};
}

FleetStep Write(const core::ParamBlock& block, Memory m) {
    return {QStringLiteral("%1 write").arg(QLatin1String(MemoryName(m))),
            [block, m](PortSession& s, Done d) { s.writeParams(m, block, d); },
            {}};
}

FleetStep ReadBack(const core::ParamBlock& block, Memory m) {
    return {QStringLiteral("%1 read-back").arg(QLatin1String(MemoryName(m))),
            [m](PortSession& s, Done d) { s.readParams(m, d); },
            [block](FleetPort&, const Reply& r) {
                const core::ParamBlock got = *ToBlock(r.bytes);
                return got == block ? QString()
                                    : QStringLiteral("the sensor holds something else (%1)")
                                          .arg(NameList(block, got));
            }};
}

} // namespace

const core::ParamBlock& SavedBlock(const ManifestEntry& e, Memory m) {
    return m == Memory::Ram ? e.ram : e.eeprom;
}

// "THRESHOLD, POWER"; past a handful only how many, the lines on stdout name them all.
QString NameList(const core::ParamBlock& a, const core::ParamBlock& b) {
    const std::vector<int> positions = core::DifferingPositions(a, b);
    if (positions.size() > 4) {
        return QStringLiteral("%1 parameters").arg(positions.size());
    }
    QStringList names;
    for (int pos : positions) {
        names << QString::fromLatin1(core::ParamTable()[static_cast<std::size_t>(pos)].key);
    }
    return names.join(QStringLiteral(", "));
}

std::vector<FleetStep> ComparePlan(const QList<Memory>& memories) {
    std::vector<FleetStep> steps{LineCheck()};
    for (Memory m : memories) {
        steps.push_back(Read(m));
    }
    return steps;
}

std::vector<FleetStep> RestorePlan(const ManifestEntry& e, const QList<Memory>& memories) {
    std::vector<FleetStep> steps{LineCheck()};
    for (Memory m : memories) {
        steps.push_back(Write(SavedBlock(e, m), m));
        steps.push_back(ReadBack(SavedBlock(e, m), m));
    }
    return steps;
}

void JudgeComparison(FleetPort& p, const ManifestEntry& e, const QList<Memory>& memories,
                     bool failOnDifference) {
    QStringList notes;
    for (Memory m : memories) {
        const core::ParamBlock& now = *(m == Memory::Ram ? p.ram : p.eeprom);
        const QString names = NameList(SavedBlock(e, m), now);
        if (!names.isEmpty()) {
            notes << QStringLiteral("%1%2: %3")
                         .arg(failOnDifference ? "" : "would change ", QLatin1String(MemoryName(m)),
                              names);
        }
    }
    p.note = notes.isEmpty() ? QStringLiteral("same as the backup") : notes.join("; ");
    if (!notes.isEmpty() && failOnDifference) {
        p.state = FleetPort::State::Differs;
    }
}

QString RestoredNote(const QList<Memory>& memories) {
    return memories.size() == 1 ? QStringLiteral("EEPROM written and read back")
                                : QStringLiteral("EEPROM and RAM written and read back");
}

} // namespace zurid::sensors
