// zurid diff: two parameter sets, each a file or a sensor's RAM or EEPROM, compared by name.
#include "cli/cli.h"
#include "cli/commands.h"
#include "cli/paramfiles.h"
#include "sensors/paramtext.h"

#include <QFileInfo>

#include <map>
#include <memory>

namespace zurid::cli {

namespace {

struct Side {
    QString text;
    std::optional<core::ParamBlock> block;
    bool isFile = false;
    PortRef port;
    Memory memory = Memory::Ram;
};

// A file when it names one or ends in .dat; otherwise PORT with an optional :ram or :eeprom.
bool Resolve(Side& side) {
    const QString& t = side.text;
    if (QFileInfo(t).isFile() || t.endsWith(QLatin1String(".dat"), Qt::CaseInsensitive)) {
        side.isFile = true;
        side.block = LoadParamFile(t);
        return side.block.has_value();
    }
    QString port = t;
    const qsizetype colon = t.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        const QString memory = t.mid(colon + 1).toLower();
        if (memory == QLatin1String("ram") || memory == QLatin1String("eeprom")) {
            side.memory = memory == QLatin1String("ram") ? Memory::Ram : Memory::Eeprom;
            port = t.left(colon);
        }
    }
    const Result<PortRef> found = LookupPort(port);
    if (!found) {
        Message(found.error());
        return false;
    }
    side.port = *found;
    return true;
}

} // namespace

int RunDiff(const QStringList& args) {
    QCommandLineParser parser;
    const QString details = QStringLiteral(
        "A and B are each a parameter file (FILE.dat) or PORT, PORT:ram or PORT:eeprom (RAM\n"
        "when not said). Both sensors are read at once. Prints one line per differing\n"
        "parameter, NAME  A's value -> B's value. Exit status as diff's: 0 the same,\n"
        "1 different, 2 trouble (bad usage, a file that is not a parameter file, a failed\n"
        "read).");
    if (const auto done = ParseCommand(parser, args, details, 2, 2)) {
        return *done;
    }
    Side sides[2];
    for (int i = 0; i < 2; ++i) {
        sides[i].text = parser.positionalArguments().at(i);
        if (!Resolve(sides[i])) {
            return kExitUsage;
        }
    }
    // One session per device, even when both sides are the same sensor.
    std::map<QString, std::unique_ptr<PortSession>> sessions;
    for (Side& s : sides) {
        if (s.isFile || sessions.count(s.port.device) != 0) {
            continue;
        }
        auto session = OpenPort(s.port.device);
        if (!session) {
            return kExitUsage;
        }
        sessions[s.port.device] = std::move(session);
    }
    int pending = 0;
    bool failed = false;
    for (Side& s : sides) {
        if (s.isFile) {
            continue;
        }
        ++pending;
        sessions[s.port.device]->readParams(s.memory, [&s, &pending, &failed](const Reply& r) {
            s.block = ToBlock(r.bytes);
            if (!r.ok || !s.block) {
                s.block.reset();
                failed = true;
                Message(QStringLiteral("%1 %2: read failed: %3")
                            .arg(s.port.label, QLatin1String(MemoryName(s.memory)), r.error));
            }
            if (--pending == 0) {
                Finish(kExitOk);
            }
        });
    }
    if (pending > 0) {
        RunLoop();
    }
    if (failed) {
        return kExitUsage;
    }
    const QStringList lines = DiffLines(*sides[0].block, *sides[1].block);
    for (const QString& line : lines) {
        Out(line + QLatin1Char('\n'));
    }
    return lines.isEmpty() ? kExitOk : kExitFailed;
}

} // namespace zurid::cli
