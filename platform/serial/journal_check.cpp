// Reading the journal and checking its chain (see journal.h). The chain is checked on each
// line's text: its seq at the front, its prev and hash at the end, its SHA-256.
#include "platform/serial/journal.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zurid::platform {

namespace {

constexpr QByteArrayView kStart = "{\"seq\":";
constexpr QByteArrayView kPrev = ",\"prev\":\"";
constexpr QByteArrayView kHash = "\",\"hash\":\"";
constexpr qsizetype kHex = 64;
// `,"prev":"` P `","hash":"` H `"}`
constexpr qsizetype kTail = kPrev.size() + kHex + kHash.size() + kHex + 2;
// `,"hash":"` H `"}`: what the hash is taken without
constexpr qsizetype kHashMember = kHash.size() - 1 + kHex + 2;

bool IsHex(QByteArrayView text) {
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

// The journal's whole text, a symbolic link refused; false with `out` telling why (missing
// or unreadable).
template <typename Out> bool ReadAll(const QString& path, QByteArray* text, Out* out) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    int why = fd < 0 ? errno : 0;
    struct stat st {};
    // Shared with other readers, not with a writer: no line is read half written.
    while (fd >= 0 && ::flock(fd, LOCK_SH) != 0 && errno == EINTR) {
    }
    if (fd >= 0 && ::fstat(fd, &st) != 0) {
        why = errno;
    }
    if (fd >= 0 && why == 0 && S_ISREG(st.st_mode)) {
        text->resize(static_cast<qsizetype>(st.st_size) + 1); // one more: has it grown?
        qsizetype have = 0;
        while (true) {
            const ssize_t n =
                ::read(fd, text->data() + have, static_cast<std::size_t>(text->size() - have));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                why = n < 0 ? errno : 0;
                break;
            }
            have += n;
            if (have == text->size()) {
                text->resize(have * 2);
            }
        }
        text->truncate(have);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    if (why == ENOENT) {
        out->state = Out::State::Missing;
        return false;
    }
    if (why != 0 || !S_ISREG(st.st_mode)) {
        out->state = Out::State::Unreadable;
        out->error = QStringLiteral("journal %1: %2")
                         .arg(path, why == ELOOP ? QStringLiteral("a symbolic link, not followed")
                                    : why != 0   ? QString::fromLocal8Bit(std::strerror(why))
                                                 : QStringLiteral("not a regular file"));
        return false;
    }
    return true;
}

// What ReadAll tells a reader of records.
struct ReadState {
    enum class State { Missing, Unreadable };
    State state = State::Missing;
    QString error;
};

// Whether a line that is not a record is the start of the record `seq` would have been: what
// a crash leaves of a line being written.
bool TornStartOf(QByteArrayView line, qint64 seq) {
    const QByteArray start = kStart.toByteArray() + QByteArray::number(seq) + ',';
    return line.size() < start.size() ? start.startsWith(line) : line.startsWith(start);
}

} // namespace

bool ParseJournalLine(const QByteArray& line, JournalLine* parsed) {
    const qsizetype n = line.size();
    if (n < kStart.size() + kTail + 1 || !line.startsWith(kStart) ||
        QByteArrayView(line).sliced(n - kTail, kPrev.size()) != kPrev ||
        QByteArrayView(line).sliced(n - kTail + kPrev.size() + kHex, kHash.size()) != kHash ||
        !line.endsWith("\"}")) {
        return false;
    }
    const QByteArrayView prev = QByteArrayView(line).sliced(n - kTail + kPrev.size(), kHex);
    const QByteArrayView hash = QByteArrayView(line).sliced(n - 2 - kHex, kHex);
    if (!IsHex(prev) || !IsHex(hash)) {
        return false;
    }
    const qsizetype comma = line.indexOf(',', kStart.size());
    bool ok = false;
    const qint64 seq =
        QByteArrayView(line).sliced(kStart.size(), comma - kStart.size()).toLongLong(&ok);
    if (comma < 0 || !ok || seq < 1) {
        return false;
    }
    parsed->seq = seq;
    parsed->prev = prev.toByteArray();
    parsed->hash = hash.toByteArray();
    return true;
}

QByteArray JournalLineHash(const QByteArray& line) {
    QCryptographicHash sha(QCryptographicHash::Sha256);
    sha.addData(QByteArrayView(line).first(line.size() - kHashMember));
    sha.addData("}");
    return sha.result().toHex();
}

JournalRecords ReadJournal(const QString& path, const JournalFilter& filter) {
    JournalRecords out;
    QByteArray text;
    ReadState state;
    if (!ReadAll(path, &text, &state)) {
        out.missing = state.state == ReadState::State::Missing;
        out.error = state.error;
        return out;
    }
    // Newest first, so that a limit reads no more records than it keeps.
    QList<QByteArrayView> lines;
    for (qsizetype pos = 0; pos < text.size();) {
        qsizetype end = text.indexOf('\n', pos);
        if (end < 0) {
            end = text.size();
        }
        lines.append(QByteArrayView(text).sliced(pos, end - pos));
        pos = end + 1;
    }
    JournalLine parsed;
    for (qsizetype i = lines.size() - 1;
         i >= 0 && (filter.limit <= 0 || out.records.size() < filter.limit); --i) {
        const QByteArray line = lines[i].toByteArray();
        if (!ParseJournalLine(line, &parsed)) {
            continue; // a torn line
        }
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        if (!filter.sensor.isEmpty() &&
            record.value(QLatin1String("sensor"))
                    .toString()
                    .compare(filter.sensor, Qt::CaseInsensitive) != 0 &&
            record.value(QLatin1String("location"))
                    .toString()
                    .compare(filter.sensor, Qt::CaseInsensitive) != 0) {
            continue;
        }
        if (filter.since.isValid() &&
            QDateTime::fromString(record.value(QLatin1String("time")).toString(),
                                  Qt::ISODateWithMs) < filter.since) {
            continue;
        }
        out.records.append(record);
    }
    std::reverse(out.records.begin(), out.records.end());
    return out;
}

JournalCheck VerifyJournal(const QString& path) {
    JournalCheck check;
    QByteArray text;
    if (!ReadAll(path, &text, &check)) {
        return check;
    }
    QByteArray prev(kHex, '0');
    JournalLine parsed;
    for (qsizetype pos = 0; pos < text.size();) {
        const qint64 seq = check.count + 1; // the record this line should be
        const qsizetype end = text.indexOf('\n', pos);
        if (end < 0) {
            check.state = JournalCheck::State::Torn;
            break;
        }
        const QByteArray line = text.sliced(pos, end - pos);
        pos = end + 1;
        const auto broken = [&](const char* why) {
            check.state = JournalCheck::State::Broken;
            check.seq = seq;
            check.why = QLatin1String(why);
        };
        if (!ParseJournalLine(line, &parsed)) {
            if (pos < text.size() && TornStartOf(line, seq)) {
                ++check.tornLines; // a crash, and the chain went on after it
                continue;
            }
            broken("not a record");
            break;
        }
        if (JournalLineHash(line) != parsed.hash) {
            broken("changed");
            break;
        }
        if (parsed.seq != seq || parsed.prev != prev) {
            broken("removed or out of order");
            break;
        }
        prev = parsed.hash;
        ++check.count;
    }
    check.seq = check.state == JournalCheck::State::Torn ? check.count : check.seq;
    check.head = check.count > 0 ? QString::fromLatin1(prev) : QString();
    return check;
}

} // namespace zurid::platform
