// zurid get, send, set: the parameter block between the sensor's RAM or EEPROM, the screen,
// JSON and parameter files.
#include "cli/cli.h"
#include "cli/commands.h"
#include "cli/paramfiles.h"
#include "core/assign.h"
#include "platform/serial/journal.h"
#include "sensors/paramtext.h"
#include "sensors/write.h"

namespace zurid::cli {

namespace {

const QCommandLineOption kEeprom(QStringLiteral("eeprom"),
                                 QStringLiteral("The sensor's EEPROM instead of its RAM (reads "
                                                "wait 1.5 s instead of 0.1 s first)."));
const QCommandLineOption kNoVerify(QStringLiteral("no-verify"),
                                   QStringLiteral("Do not read the block back after writing it "
                                                  "(by default it is read back and compared "
                                                  "byte for byte)."));

// What older scripts pass; reading back is the default now.
QCommandLineOption VerifyAlias() {
    QCommandLineOption o(QStringLiteral("verify"),
                         QStringLiteral("The default; kept for scripts."));
    o.setFlags(QCommandLineOption::HiddenFromHelp);
    return o;
}

const QCommandLineOption kReason(QStringLiteral("reason"),
                                 QStringLiteral("Why, for the journal (every write is recorded "
                                                "there with who, when, before and after)."),
                                 QStringLiteral("TEXT"));

// Every write of this command, for the journal.
WriteOrigin Origin(const QCommandLineParser& parser, const PortRef& port) {
    WriteOrigin o;
    o.journal = platform::JournalPath();
    o.channel = platform::JournalChannel::Cli;
    o.who = platform::UnixUser();
    o.sensor = port.label;
    o.location = StableLocation(port.device);
    o.reason = parser.value(kReason);
    return o;
}

// A write whose outcome the journal could not take: said, and never exit 0.
int Recorded(const WriteResult& w, int status) {
    if (w.notRecorded.isEmpty()) {
        return status;
    }
    Message(QStringLiteral("%1its outcome is not in the journal: %2")
                .arg(w.state == WriteResult::State::Written ? QStringLiteral("written, but ")
                                                            : QString(),
                     w.notRecorded));
    return status == kExitOk ? kExitFailed : status;
}

void AddWriteOptions(QCommandLineParser& parser) {
    parser.addOption(kReason);
    parser.addOption(kEeprom);
    parser.addOption(kNoVerify);
    parser.addOption(VerifyAlias());
}

Memory MemoryOf(const QCommandLineParser& parser) {
    return parser.isSet(kEeprom) ? Memory::Eeprom : Memory::Ram;
}

QString Where(const PortRef& port, Memory m) {
    return QStringLiteral("%1 %2").arg(port.label, QLatin1String(MemoryName(m)));
}

// How a send that failed says so: "COM1 RAM: write failed: ...", or what the sensor holds
// instead, line by line. Returns the exit status.
int SendFailed(const PortRef& port, Memory m, const WriteResult& w) {
    if (w.error.kind == ErrorKind::Unrecorded) {
        Message(QStringLiteral("%1: %2").arg(Where(port, m), w.error.message));
        return ExitStatus(w.error.kind);
    }
    if (w.error.kind != ErrorKind::NotKept) {
        Message(QStringLiteral("%1: %2 failed: %3")
                    .arg(Where(port, m), QLatin1String(StageName(w.stage)), w.error.message));
        return ExitStatus(w.error.kind);
    }
    Message(QStringLiteral("%1: the sensor holds something else than was written "
                           "(written -> read back):")
                .arg(Where(port, m)));
    for (const QString& line : DiffLines(w.wanted, w.after)) {
        Message(QStringLiteral("  ") + line);
    }
    return ExitStatus(w.error.kind);
}

// How a set that failed says so; returns the exit status.
int SetFailed(const PortRef& port, Memory m, const WriteResult& w) {
    if (w.error.kind == ErrorKind::NotKept) {
        Message(
            QStringLiteral("%1: %2 (written -> read back)").arg(Where(port, m), w.error.message));
    } else if (w.error.kind == ErrorKind::Refused) {
        Message(QStringLiteral("set: %1").arg(WriteFailureText(m, w)));
    } else {
        // The text names the memory.
        Message(QStringLiteral("%1: %2").arg(port.label, WriteFailureText(m, w)));
    }
    return ExitStatus(w.error.kind);
}

} // namespace

int RunGet(const QStringList& args) {
    QCommandLineParser parser;
    parser.addOption(kEeprom);
    parser.addOption({QStringLiteral("json"), QStringLiteral("Print JSON instead of a table.")});
    parser.addOption({{QStringLiteral("o"), QStringLiteral("output")},
                      QStringLiteral("Save the block in the window's parameter file format: a "
                                     "file is replaced at once, a device or FIFO written into, "
                                     "- is stdout."),
                      QStringLiteral("FILE.dat")});
    const QString details = QStringLiteral(
        "Reads the fifteen parameters (order 3, or 4 with --eeprom) and prints them with their\n"
        "names, values as the panel shows them and codes: POWER in % with its code, HOLD in ms,\n"
        "DEAD TIME in % or ms by its mode, ring labels, the spare bytes; a code the panel has\n"
        "no label for is marked as unknown.");
    if (const auto done = ParseCommand(parser, args, details, 1, 1)) {
        return *done;
    }
    const bool json = parser.isSet(QStringLiteral("json"));
    const bool toFile = parser.isSet(QStringLiteral("output"));
    const QString path = parser.value(QStringLiteral("output"));
    if (json && toFile) {
        Message(QStringLiteral("get: --json and --output exclude each other"));
        return kExitUsage;
    }
    if (toFile && path.isEmpty()) {
        Message(QStringLiteral("get: --output needs a file name ('-' for stdout)"));
        return kExitUsage;
    }
    if (toFile && !CanWriteFile(path)) {
        return kExitUsage;
    }
    const OpenedPort opened = OpenPort(parser.positionalArguments().constFirst());
    if (!opened.session) {
        return opened.status;
    }
    const PortRef& port = opened.ref;
    const Memory m = MemoryOf(parser);
    opened.session->readParams(m, [&](const TransactionResult& r) {
        const auto block = ToBlock(r.bytes);
        if (!r.ok() || !block) {
            Message(QStringLiteral("%1: read failed: %2").arg(Where(port, m), r.error));
            Finish(kExitFailed);
        } else if (toFile) {
            Finish(SaveParamFile(path, *block) ? kExitOk : kExitFailed);
        } else if (json) {
            QJsonObject o = BlockJson(*block);
            o[QStringLiteral("port")] = port.label;
            o[QStringLiteral("device")] = port.device;
            o[QStringLiteral("memory")] = QLatin1String(MemoryName(m));
            OutJson(o);
            Finish(kExitOk);
        } else {
            Out(BlockTable(*block));
            Finish(kExitOk);
        }
    });
    return RunLoop();
}

int RunSend(const QStringList& args) {
    QCommandLineParser parser;
    AddWriteOptions(parser);
    const QString details = QStringLiteral(
        "Writes the parameter block of FILE.dat (the window's format: fifteen values 0-255)\n"
        "to the sensor's RAM (order 1) or EEPROM (order 2), then reads the same memory back\n"
        "and compares byte for byte: exit 0 means the sensor holds the file's block; a sensor\n"
        "that holds something else is named with the differences (exit 1). The file is checked\n"
        "first; a file that is not a valid parameter file is refused with the reason and\n"
        "nothing is sent.");
    if (const auto done = ParseCommand(parser, args, details, 2, 2)) {
        return *done;
    }
    if (const auto refused = RefuseReason(parser, QStringLiteral("send"))) {
        return *refused;
    }
    const auto block = LoadParamFile(parser.positionalArguments().at(1));
    if (!block) {
        return kExitUsage;
    }
    const OpenedPort opened = OpenPort(parser.positionalArguments().constFirst());
    if (!opened.session) {
        return opened.status;
    }
    const PortRef port = opened.ref;
    const Memory m = MemoryOf(parser);
    WriteBlock(*opened.session,
               {m, *block, {}, false, !parser.isSet(kNoVerify), Origin(parser, port), {}},
               [&port, m](const WriteResult& w) {
                   Finish(Recorded(w, w.ok() ? kExitOk : SendFailed(port, m, w)));
               });
    return RunLoop();
}

int RunSet(const QStringList& args) {
    QCommandLineParser parser;
    AddWriteOptions(parser);
    const QString details = QStringLiteral(
        "Reads the block twice (nothing is written unless both reads agree), changes only the\n"
        "named parameters and writes it back; every other byte goes back as it was read.\n"
        "Values as the panel shows them (POWER=80%, HOLD=50ms, TRIGGER=EXT, DEADTIME=12) or\n"
        "as raw codes (POWER=#6). A bad name or value is refused, with the allowed values,\n"
        "before anything is written. The block is read back after the write and compared:\n"
        "exit 0 means the sensor holds the new values. Prints what changed. When the sensor\n"
        "holds the values already, nothing is written (the EEPROM wears with every write) and\n"
        "a message says so; exit 0.");
    if (const auto done = ParseCommand(parser, args, details, 2, -1)) {
        return *done;
    }
    if (const auto refused = RefuseReason(parser, QStringLiteral("set"))) {
        return *refused;
    }
    std::vector<std::string> words;
    for (const QString& w : parser.positionalArguments().mid(1)) {
        words.push_back(w.toStdString());
    }
    const core::AssignmentsRead list = core::ParseAssignments(words);
    const core::AssignmentsChecked checked =
        list.ok ? core::CheckAssignments(list.items) : core::AssignmentsChecked{false, list.reason};
    if (!checked.ok) {
        Message(QStringLiteral("set: %1").arg(QString::fromStdString(checked.reason)));
        return kExitUsage;
    }
    const OpenedPort opened = OpenPort(parser.positionalArguments().constFirst());
    if (!opened.session) {
        return opened.status;
    }
    const PortRef port = opened.ref;
    const Memory m = MemoryOf(parser);
    WriteBlock(
        *opened.session,
        {m, std::nullopt, list.items, true, !parser.isSet(kNoVerify), Origin(parser, port), {}},
        [&port, m](const WriteResult& w) {
            if (w.state == WriteResult::State::Unchanged) {
                Message(QStringLiteral("%1 holds these values already; nothing written")
                            .arg(Where(port, m)));
            } else if (w.ok()) {
                QString text;
                for (const QString& line : DiffLines(*w.before, w.after)) {
                    text += line + QLatin1Char('\n');
                }
                Out(text);
            }
            Finish(Recorded(w, w.ok() ? kExitOk : SetFailed(port, m, w)));
        });
    return RunLoop();
}

} // namespace zurid::cli
