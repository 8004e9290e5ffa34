// zurid diff: two parameter sets, each a file or a sensor's RAM or EEPROM, compared by name.
#include "cli/cli.h"
#include "cli/commands.h"
#include "cli/paramfiles.h"
#include "sensors/paramtext.h"

#include <QFileInfo>
#include <QJsonObject>

#include <map>
#include <memory>
#include <span>

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

QJsonObject SideJson(const Side& s) {
    if (s.isFile) {
        return {{QStringLiteral("file"), s.text}};
    }
    return {{QStringLiteral("port"), s.port.label},
            {QStringLiteral("device"), s.port.device},
            {QStringLiteral("memory"), QLatin1String(MemoryName(s.memory))}};
}

// The blocks of the sides that are sensors, all read at once: one session per device, even
// when both sides are the same sensor by different names. False after a message.
bool ReadSensors(std::span<Side> sides) {
    std::map<QString, std::unique_ptr<PortSession>> sessions;
    for (Side& s : sides) {
        if (s.isFile || sessions.count(ResolvedDevice(s.port)) != 0) {
            continue;
        }
        OpenedPort opened = OpenPort(s.port);
        if (!opened.session) {
            return false;
        }
        sessions[ResolvedDevice(s.port)] = std::move(opened.session);
    }
    int pending = 0;
    bool failed = false;
    for (Side& s : sides) {
        if (s.isFile) {
            continue;
        }
        ++pending;
        sessions[ResolvedDevice(s.port)]->readParams(
            s.memory, [&s, &pending, &failed](const TransactionResult& r) {
                s.block = ToBlock(r.bytes);
                if (!r.ok() || !s.block) {
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
    return !failed;
}

// The differences of A -> B as lines or as one JSON document; false when stdout refused them.
bool PrintDifferences(const Side& sideA, const Side& sideB, bool json) {
    const core::ParamBlock& a = *sideA.block;
    const core::ParamBlock& b = *sideB.block;
    if (json) {
        return OutJson(QJsonObject{{QStringLiteral("a"), SideJson(sideA)},
                                   {QStringLiteral("b"), SideJson(sideB)},
                                   {QStringLiteral("same"), a == b},
                                   {QStringLiteral("differences"),
                                    DiffJson(a, b, QStringLiteral("a"), QStringLiteral("b"))}});
    }
    QString text;
    for (const QString& line : DiffLines(a, b)) {
        text += line + QLatin1Char('\n');
    }
    return text.isEmpty() || Out(text);
}

} // namespace

int RunDiff(const QStringList& args) {
    QCommandLineParser parser;
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Print JSON instead of text."));
    parser.addOption(json);
    const QString details = QStringLiteral(
        "A and B are each a parameter file (FILE.dat) or PORT, PORT:ram or PORT:eeprom (RAM\n"
        "when not said). Both sensors are read at once. Prints one line per differing\n"
        "parameter, NAME  A's value -> B's value; with --json one object naming both sides,\n"
        "\"same\", and the differences with A's and B's code, value and unit. Exit status as\n"
        "diff's: 0 the same, 1 different, 2 trouble (bad usage, a file that is not a parameter\n"
        "file, a port that is missing or busy, a failed read, stdout that cannot be written).");
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
    if (!ReadSensors(sides)) {
        return kExitUsage;
    }
    // 1 means "different" here: output that was lost is trouble.
    if (!PrintDifferences(sides[0], sides[1], parser.isSet(json))) {
        return kExitUsage;
    }
    return *sides[0].block == *sides[1].block ? kExitOk : kExitFailed;
}

} // namespace zurid::cli
