// zurid journal: who changed which sensor, when, from what to what, and why; and whether the
// journal's chain is whole.
#include "cli/cli.h"
#include "cli/commands.h"
#include "platform/serial/journal.h"

#include <QJsonArray>
#include <QJsonObject>

#include <array>

namespace zurid::cli {

namespace {

using platform::JournalCheck;

QString Text(const QJsonObject& record, const char* name) {
    const QJsonValue v = record.value(QLatin1String(name));
    return v.isDouble() ? QString::number(v.toInteger()) : v.toString();
}

// "THRESHOLD 100 -> 80, HOLD 2 -> 3".
QString Changes(const QJsonObject& record) {
    QStringList out;
    for (const QJsonValue& c : record.value(QLatin1String("changes")).toArray()) {
        const QJsonObject change = c.toObject();
        out << QStringLiteral("%1 %2 -> %3")
                   .arg(Text(change, "key"), Text(change, "before"), Text(change, "after"));
    }
    return out.join(QLatin1String(", "));
}

QString Bytes(const QJsonObject& record, const char* name) {
    QStringList out;
    for (const QJsonValue& b : record.value(QLatin1String(name)).toArray()) {
        out << QString::number(b.toInteger());
    }
    return out.join(QLatin1Char(' '));
}

QString EventOutcome(const QJsonObject& record) {
    const QString outcome = Text(record, "outcome");
    return Text(record, "event") + (outcome.isEmpty() ? QString() : QLatin1Char('/') + outcome);
}

QString Table(const QList<QJsonObject>& records) {
    constexpr int kColumns = 9;
    using Row = std::array<QString, kColumns>;
    QList<Row> rows{{QStringLiteral("SEQ"), QStringLiteral("TIME"), QStringLiteral("WHO"),
                     QStringLiteral("CHANNEL"), QStringLiteral("SENSOR"), QStringLiteral("MEMORY"),
                     QStringLiteral("EVENT"), QStringLiteral("CHANGES"), QStringLiteral("REASON")}};
    for (const QJsonObject& r : records) {
        rows.append(Row{Text(r, "seq"), Text(r, "time"), Text(r, "who"), Text(r, "channel"),
                        Text(r, "sensor"), Text(r, "memory"), EventOutcome(r), Changes(r),
                        Text(r, "reason")});
    }
    std::array<qsizetype, kColumns> width{};
    for (const Row& row : rows) {
        for (int i = 0; i < kColumns; ++i) {
            width[i] = std::max(width[i], row[i].size());
        }
    }
    QString out;
    for (const Row& row : rows) {
        QString line;
        for (int i = 0; i < kColumns; ++i) {
            line += i + 1 < kColumns ? row[i].leftJustified(width[i] + 2) : row[i];
        }
        out += line.trimmed() + QLatin1Char('\n');
    }
    return out;
}

QString Csv(const QList<QJsonObject>& records) {
    QString out = QStringLiteral("seq,time,event,outcome,attempt,channel,who,address,host,sensor,"
                                 "location,memory,before,after,changes,error,reason,hash\n");
    for (const QJsonObject& r : records) {
        const QJsonObject error = r.value(QLatin1String("error")).toObject();
        const QString errorText =
            error.isEmpty() ? QString()
                            : Text(error, "code") + QStringLiteral(": ") + Text(error, "message");
        const QStringList fields{Text(r, "seq"),     Text(r, "time"),     Text(r, "event"),
                                 Text(r, "outcome"), Text(r, "attempt"),  Text(r, "channel"),
                                 Text(r, "who"),     Text(r, "address"),  Text(r, "host"),
                                 Text(r, "sensor"),  Text(r, "location"), Text(r, "memory"),
                                 Bytes(r, "before"), Bytes(r, "after"),   Changes(r),
                                 errorText,          Text(r, "reason"),   Text(r, "hash")};
        QStringList quoted;
        for (const QString& f : fields) {
            quoted << CsvField(f);
        }
        out += quoted.join(QLatin1Char(',')) + QLatin1Char('\n');
    }
    return out;
}

// An ISO 8601 date (midnight, local time) or date and time (local time unless it carries an
// offset or Z); a space may stand for the T.
QDateTime ParseSince(const QString& text) {
    const QDate date = QDate::fromString(text, Qt::ISODate);
    if (date.isValid()) {
        return date.startOfDay();
    }
    QString t = text;
    if (t.size() > 10 && t.at(10) == QLatin1Char(' ')) {
        t[10] = QLatin1Char('T');
    }
    return QDateTime::fromString(t, Qt::ISODateWithMs);
}

int Verify(const QString& path) {
    const JournalCheck check = platform::VerifyJournal(path);
    switch (check.state) {
    case JournalCheck::State::Whole: {
        QString line = QStringLiteral("journal %1: whole, %2 records").arg(path).arg(check.count);
        if (check.count > 0) {
            line += QStringLiteral(", head %1").arg(check.head);
        }
        if (check.tornLines > 0) {
            line +=
                QStringLiteral(" (%1 torn by a crash and written on after)")
                    .arg(check.tornLines == 1 ? QStringLiteral("one line")
                                              : QStringLiteral("%1 lines").arg(check.tornLines));
        }
        return Out(line + QLatin1Char('\n')) ? kExitOk : kExitFailed;
    }
    case JournalCheck::State::Broken:
        Message(QStringLiteral("journal %1: seq %2: %3").arg(path).arg(check.seq).arg(check.why));
        return kExitFailed;
    case JournalCheck::State::Torn:
        Message(QStringLiteral("journal %1: torn: the last line was cut short while it was written "
                               "(a crash), after seq %2; the chain up to it is whole")
                    .arg(path)
                    .arg(check.seq));
        return kExitFailed;
    case JournalCheck::State::Missing:
        Message(QStringLiteral("no journal at %1").arg(path));
        return kExitOk;
    case JournalCheck::State::Unreadable:
        break;
    }
    Message(check.error);
    return kExitFailed;
}

} // namespace

int RunJournal(const QStringList& args) {
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("sensor"),
                      QStringLiteral("Only the records of this sensor: the port as it was named "
                                     "(COM1) or its location (device or by-path link)."),
                      QStringLiteral("PORT|LOCATION")});
    parser.addOption({QStringLiteral("since"),
                      QStringLiteral("Only the records written at or after TIME: an ISO 8601 "
                                     "date or date and time (2026-12-08, 2026-12-08T14:30, "
                                     "2026-12-08T14:30:00+01:00); local time unless it says."),
                      QStringLiteral("TIME")});
    parser.addOption({QStringLiteral("json"), QStringLiteral("Print the records as JSON.")});
    parser.addOption({QStringLiteral("csv"), QStringLiteral("Print the records as CSV.")});
    const QString details = QStringLiteral(
        "Lists the journal, oldest first: every write to a sensor from the window, zurid and\n"
        "zurid serve (an attempt before the sensor is touched, then its outcome), backups,\n"
        "failed authentications, the server's start and stop. The journal is\n"
        "$ZURID_JOURNAL, else $XDG_STATE_HOME/zurid/journal.jsonl (~/.local/state/zurid).\n"
        "\n"
        "zurid journal verify checks the whole chain of hashes: exit 0 when it is whole (the\n"
        "newest hash, the head, is printed: compare it with a copy kept elsewhere, since the\n"
        "newest records removed leave a chain that is whole), 1 naming the first record that\n"
        "was changed, removed or put out of order ('seq N'), or 'torn' when the last line was\n"
        "cut short by a crash. A journal that does not exist yet is no broken one: 'no\n"
        "journal at PATH', exit 0.");
    if (const auto done = ParseCommand(parser, args, details, 0, 1)) {
        return *done;
    }
    const QString path = platform::JournalPath();
    const QStringList positional = parser.positionalArguments();
    const bool json = parser.isSet(QStringLiteral("json"));
    const bool csv = parser.isSet(QStringLiteral("csv"));
    if (!positional.isEmpty()) {
        if (positional.constFirst() != QLatin1String("verify")) {
            Message(QStringLiteral("journal: '%1' is not 'verify' (see 'zurid journal --help')")
                        .arg(positional.constFirst()));
            return kExitUsage;
        }
        if (json || csv || parser.isSet(QStringLiteral("sensor")) ||
            parser.isSet(QStringLiteral("since"))) {
            Message(QStringLiteral("journal verify checks the whole journal: --sensor, --since, "
                                   "--json and --csv are for the listing"));
            return kExitUsage;
        }
        return Verify(path);
    }
    if (json && csv) {
        Message(QStringLiteral("journal: --json or --csv, not both"));
        return kExitUsage;
    }
    platform::JournalFilter filter;
    filter.sensor = parser.value(QStringLiteral("sensor"));
    if (parser.isSet(QStringLiteral("since"))) {
        filter.since = ParseSince(parser.value(QStringLiteral("since")));
        if (!filter.since.isValid()) {
            Message(QStringLiteral("journal: --since '%1' is not an ISO 8601 date or time "
                                   "(2026-12-08, 2026-12-08T14:30)")
                        .arg(parser.value(QStringLiteral("since"))));
            return kExitUsage;
        }
    }
    const platform::JournalRecords read = platform::ReadJournal(path, filter);
    if (!read.error.isEmpty()) {
        Message(read.error);
        return kExitFailed;
    }
    if (read.missing) {
        Message(QStringLiteral("no journal at %1").arg(path));
    }
    bool printed = true;
    if (json) {
        QJsonArray records;
        for (const QJsonObject& r : read.records) {
            records.append(r);
        }
        printed = OutJson(QJsonObject{{QStringLiteral("records"), records}});
    } else if (csv) {
        printed = Out(Csv(read.records));
    } else if (!read.records.isEmpty()) {
        printed = Out(Table(read.records));
    }
    return printed ? kExitOk : kExitFailed;
}

} // namespace zurid::cli
