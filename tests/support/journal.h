// Test and bench helper: journals made with the program's own append, and their lines as text.
#pragma once

#include "platform/serial/journal.h"
#include "platform/serial/journal_record.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

namespace testing_support {

// The n-th sample change: THRESHOLD from 100 to 100 - n % 50 on COM(1 + n % 3).
inline zurid::platform::JournalEntry SampleChange(int n) {
    using namespace zurid::platform;
    zurid::core::ParamBlock before{};
    before.fill(7);
    before[0] = 100;
    zurid::core::ParamBlock after = before;
    after[0] = static_cast<zurid::core::Byte>(100 - n % 50);
    return JournalEntry(JournalEvent::Change, JournalChannel::Cli, QStringLiteral("operator"))
        .sensor(QStringLiteral("COM%1").arg(1 + n % 3),
                QStringLiteral("/dev/serial/by-path/pci-0:%1").arg(1 + n % 3))
        .memory(JournalMemory::Ram)
        .bytes(before, after)
        .reason(QStringLiteral("line %1, run-in").arg(n));
}

// Appends `count` sample records; the first failure's message, or "".
inline QString AppendSamples(const QString& path, int count, int first = 0) {
    for (int n = first; n < first + count; ++n) {
        const auto done = zurid::platform::AppendJournal(path, SampleChange(n).members());
        if (!done.ok()) {
            return done.error;
        }
    }
    return {};
}

// The journal's lines without their "\n" (a torn last line as it is).
inline QList<QByteArray> JournalLines(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        return {};
    }
    QByteArray text = f.readAll();
    if (text.endsWith('\n')) {
        text.chop(1);
    }
    return text.isEmpty() ? QList<QByteArray>{} : text.split('\n');
}

// Whether `lines` go on the chain from the record whose hash is `prev`: each a record whose hash is
// its own text's and whose prev is the hash before, seq counting up. "" when so, else what is not.
inline QString ChainFault(const QList<QByteArray>& lines, QByteArray prev) {
    using namespace zurid::platform;
    qint64 seq = 0; // the one before, once there is one
    for (const QByteArray& line : lines) {
        JournalLine parsed;
        if (!ParseJournalLine(line, &parsed)) {
            return QStringLiteral("not a record: %1").arg(QString::fromUtf8(line));
        }
        if (JournalLineHash(line) != parsed.hash) {
            return QStringLiteral("seq %1: its hash is not its own").arg(parsed.seq);
        }
        if (parsed.prev != prev || (seq > 0 && parsed.seq != seq + 1)) {
            return QStringLiteral("seq %1: not the record after the one before").arg(parsed.seq);
        }
        prev = parsed.hash;
        seq = parsed.seq;
    }
    return {};
}

inline bool PutJournalLines(const QString& path, const QList<QByteArray>& lines) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           f.write(lines.join('\n') + '\n') > 0;
}

} // namespace testing_support
