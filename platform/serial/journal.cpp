// Appending to the journal (see journal.h): the lock, the last whole record read from the end,
// the line built and written with one write() and synced; and following it, the lines appended
// after a place. Plain POSIX calls, so that every step's failure is reported with the system's
// own reason.
#include "platform/serial/journal.h"

#include "platform/serial/files.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zurid::platform {

namespace {

constexpr char kZeroHash[] = "0000000000000000000000000000000000000000000000000000000000000000";

QString Failed(const QString& path, const QString& why) {
    return QStringLiteral("journal %1: %2").arg(path, why);
}

QString SystemWhy(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// Local time with milliseconds and the offset always as +HH:MM (Qt would write "Z" for UTC).
QByteArray Now() {
    const QDateTime now = QDateTime::currentDateTime();
    const int offset = now.offsetFromUtc();
    const int minutes = (offset < 0 ? -offset : offset) / 60;
    return (now.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) +
            QStringLiteral("%1%2:%3")
                .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
                .arg(minutes / 60, 2, 10, QLatin1Char('0'))
                .arg(minutes % 60, 2, 10, QLatin1Char('0')))
        .toLatin1();
}

// Closes a descriptor at the end of a scope; the flock ends with it.
class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// The last whole record of the open journal of `size` bytes, read backwards from the end in
// blocks; a torn fragment after it is passed over. 0 (`last` untouched when there is none: a
// new journal), or the error number of a failed read.
int LastRecord(int fd, off_t size, JournalLine* last) {
    constexpr off_t kBlock = 4096;
    QByteArray tail; // the file's bytes from `from` to its end
    off_t from = size;
    qsizetype lineEnd = -1; // the "\n" that ends the line being looked at, in `tail`
    while (true) {
        if (lineEnd < 0) {
            lineEnd = tail.lastIndexOf('\n');
        }
        if (lineEnd >= 0) {
            const qsizetype start = lineEnd == 0 ? -1 : tail.lastIndexOf('\n', lineEnd - 1);
            if (start >= 0 || from == 0) {
                if (ParseJournalLine(tail.mid(start + 1, lineEnd - start - 1), last) || start < 0) {
                    return 0;
                }
                lineEnd = start; // not a record: on to the line before it
                continue;
            }
        }
        if (from == 0) {
            return 0;
        }
        const off_t n = from < kBlock ? from : kBlock;
        QByteArray block(static_cast<qsizetype>(n), '\0');
        if (const ssize_t got = ::pread(fd, block.data(), static_cast<std::size_t>(n), from - n);
            got != n) {
            return got < 0 ? errno : EIO;
        }
        if (from == size && !block.endsWith('\n')) {
            block.append('\n'); // a last line without its end may still be whole
        }
        from -= n;
        if (lineEnd >= 0) {
            lineEnd += block.size();
        }
        tail.prepend(block);
    }
}

// The byte after the last "\n" of the open journal of `size` bytes (0 without one), read
// backwards in blocks; the error number of a failed read as a negative number.
off_t WholeEnd(int fd, off_t size) {
    constexpr off_t kBlock = 4096;
    QByteArray block;
    for (off_t to = size; to > 0;) {
        const off_t n = to < kBlock ? to : kBlock;
        block.resize(static_cast<qsizetype>(n));
        if (const ssize_t got = ::pread(fd, block.data(), static_cast<std::size_t>(n), to - n);
            got != n) {
            return got < 0 ? -errno : -EIO;
        }
        to -= n;
        if (const qsizetype at = block.lastIndexOf('\n'); at >= 0) {
            return to + at + 1;
        }
    }
    return 0;
}

// Bytes [from, from + n) of the open journal; 0, or the error number.
int ReadSpan(int fd, off_t from, QByteArray* text, qsizetype n) {
    text->resize(n);
    for (qsizetype have = 0; have < n;) {
        const ssize_t got =
            ::pread(fd, text->data() + have, static_cast<std::size_t>(n - have), from + have);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got < 0 ? errno : EIO;
        }
        have += got;
    }
    return 0;
}

QByteArray BuildLine(qint64 seq, const QByteArray& prev, QJsonObject members) {
    for (const char* own : {"seq", "time", "prev", "hash"}) {
        members.remove(QLatin1String(own));
    }
    QByteArray body = QJsonDocument(members).toJson(QJsonDocument::Compact);
    body = body.mid(1, body.size() - 2); // without the braces
    QByteArray line = "{\"seq\":" + QByteArray::number(seq) + ",\"time\":\"" + Now() + '"';
    if (!body.isEmpty()) {
        line += ',' + body;
    }
    line += ",\"prev\":\"" + prev + '"';
    const QByteArray hash = JournalLineHash(line + ",\"hash\":\"" + QByteArray(64, '0') + "\"}");
    return line + ",\"hash\":\"" + hash + "\"}\n";
}

} // namespace

QString JournalPath() {
    const QString set = qEnvironmentVariable("ZURID_JOURNAL");
    if (!set.isEmpty()) {
        return set;
    }
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || QDir::isRelativePath(base)) {
        base = QDir::homePath() + QStringLiteral("/.local/state");
    }
    return base + QStringLiteral("/zurid/journal.jsonl");
}

QString JournalPathBeside(const QString& tokenFile) {
    const QString set = qEnvironmentVariable("ZURID_JOURNAL");
    if (!set.isEmpty()) {
        return set;
    }
    return QFileInfo(tokenFile).absolutePath() + QStringLiteral("/journal.jsonl");
}

JournalAppend AppendJournal(const QString& path, const QJsonObject& members) {
    JournalAppend result;
    const QByteArray native = QFile::encodeName(path);
    if (const std::string why =
            MakeFolders(QFile::encodeName(QFileInfo(path).absolutePath()).toStdString());
        !why.empty()) {
        result.error = Failed(path, QString::fromLocal8Bit(why.c_str()));
        return result;
    }
    const Fd fd(
        ::open(native.constData(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
        result.error = Failed(path, errno == ELOOP ? QStringLiteral("a symbolic link, not followed")
                                                   : SystemWhy(errno));
        return result;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        result.error = Failed(path, SystemWhy(errno));
        return result;
    }
    if (!S_ISREG(st.st_mode)) {
        result.error = Failed(path, QStringLiteral("not a regular file"));
        return result;
    }
    if ((st.st_mode & 077) != 0 && ::fchmod(fd.get(), 0600) != 0) {
        result.error = Failed(path, SystemWhy(errno));
        return result;
    }
    int locked;
    while ((locked = ::flock(fd.get(), LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (locked != 0 || ::fstat(fd.get(), &st) != 0) {
        result.error = Failed(path, SystemWhy(errno));
        return result;
    }
    JournalLine last{0, {}, kZeroHash};
    if (const int why = LastRecord(fd.get(), st.st_size, &last); why != 0) {
        result.error = Failed(path, SystemWhy(why));
        return result;
    }
    QByteArray line = BuildLine(last.seq + 1, last.hash, members);
    if (st.st_size > 0) {
        char end = '\n';
        if (::pread(fd.get(), &end, 1, st.st_size - 1) != 1) {
            result.error = Failed(path, SystemWhy(errno));
            return result;
        }
        if (end != '\n') {
            line.prepend('\n'); // after a torn line: the fragment keeps a line of its own
        }
    }
    ssize_t written;
    while ((written = ::write(fd.get(), line.constData(), static_cast<std::size_t>(line.size()))) <
               0 &&
           errno == EINTR) {
    }
    int why = written < 0 ? errno : 0;
    if (written >= 0 && written < line.size()) {
        // Cut short (the disk or the file size limit is full): the rest once more, to hear why.
        why = ::write(fd.get(), line.constData() + written,
                      static_cast<std::size_t>(line.size() - written)) < 0
                  ? errno
                  : EIO;
    } else if (written == line.size() && ::fdatasync(fd.get()) != 0) {
        why = errno;
    }
    if (why != 0) {
        // Whole or not at all: what a short write left is taken back.
        if (::ftruncate(fd.get(), st.st_size) == 0) {
            ::fdatasync(fd.get());
        }
        result.error = Failed(path, SystemWhy(why));
        return result;
    }
    result.seq = last.seq + 1;
    return result;
}

JournalTail ReadJournalAfter(const QString& path, const JournalPlace& from, qsizetype limit) {
    JournalTail out;
    out.end = from;
    const Fd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    int why = fd.get() < 0 ? errno : 0;
    struct stat st {};
    if (why == 0) {
        // Shared with other readers, not with a writer: no line is read half written.
        int locked;
        while ((locked = ::flock(fd.get(), LOCK_SH)) != 0 && errno == EINTR) {
        }
        why = locked != 0 || ::fstat(fd.get(), &st) != 0 ? errno : 0;
    }
    if (why == ENOENT) {
        out.missing = true;
        out.end = JournalPlace{0, 0, 0, {}};
        return out;
    }
    if (why != 0 || !S_ISREG(st.st_mode)) {
        out.error = Failed(path, why == ELOOP ? QStringLiteral("a symbolic link, not followed")
                                 : why != 0   ? SystemWhy(why)
                                              : QStringLiteral("not a regular file"));
        return out;
    }
    const auto file = static_cast<quint64>(st.st_ino);
    if (from.offset < 0 || (from.file != 0 && from.file != file) || st.st_size < from.offset) {
        out.restarted = from.offset >= 0;
        const off_t end = WholeEnd(fd.get(), st.st_size);
        JournalLine last{0, {}, {}};
        if (const int failed = end < 0 ? static_cast<int>(-end) : LastRecord(fd.get(), end, &last);
            failed != 0) {
            out.error = Failed(path, SystemWhy(failed));
            return out;
        }
        out.end = JournalPlace{end, file, last.seq, last.hash};
        return out;
    }
    QByteArray text;
    if (const int failed = ReadSpan(fd.get(), from.offset, &text, st.st_size - from.offset);
        failed != 0) {
        out.error = Failed(path, SystemWhy(failed));
        return out;
    }
    out.end.file = file;
    JournalLine parsed;
    for (qsizetype pos = 0, end; (end = text.indexOf('\n', pos)) >= 0; pos = end + 1) {
        const QByteArray line = text.sliced(pos, end - pos);
        out.end.offset = from.offset + end + 1;
        if (ParseJournalLine(line, &parsed)) { // else a torn line: no record
            out.end.seq = parsed.seq;
            out.end.hash = parsed.hash;
            out.records.append({line, out.end});
        }
    }
    if (out.records.size() > limit) {
        out.skipped = out.records.size() - limit;
        out.records.remove(0, out.skipped);
    }
    return out;
}

} // namespace zurid::platform
