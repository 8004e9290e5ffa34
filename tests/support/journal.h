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

inline bool PutJournalLines(const QString& path, const QList<QByteArray>& lines) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           f.write(lines.join('\n') + '\n') > 0;
}

} // namespace testing_support
