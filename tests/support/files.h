// Test helpers: whole files in and out, and the system's words for a failure.
#pragma once

#include "sim/sensorsim.h"

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QString>
#include <QTest>

#include <cstring>
#include <sys/stat.h>

inline void Put(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

// The system's text for an error number in this process's locale, as the program reports it.
inline QString SystemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// A file's permission bits (its own, a link not followed); -1 when it cannot be seen.
inline int Mode(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

// The process's umask for as long as it lives; programs started meanwhile inherit it.
class UmaskSet {
  public:
    explicit UmaskSet(mode_t mask) : old_(::umask(mask)) {}
    ~UmaskSet() { ::umask(old_); }
    UmaskSet(const UmaskSet&) = delete;
    UmaskSet& operator=(const UmaskSet&) = delete;

  private:
    mode_t old_;
};

inline QByteArray Contents(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(unreadable)");
}

// The parameter-file text of a block: one value per line, right-aligned in four characters.
inline QByteArray FileText(const sim::Block& b) {
    QByteArray text;
    for (std::uint8_t v : b) {
        text += QByteArray::number(v).rightJustified(4, ' ') + '\n';
    }
    return text;
}

// The file names and contents below a folder.
inline QMap<QString, QByteArray> Snapshot(const QString& dir) {
    QMap<QString, QByteArray> out;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        out.insert(QDir(dir).relativeFilePath(path), Contents(path));
    }
    return out;
}
