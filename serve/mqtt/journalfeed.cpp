#include "serve/mqtt/journalfeed.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace zurid::serve::mqtt {

JournalFeed::JournalFeed(QString path, int checkMs, QObject* parent)
    : QObject(parent), path_(std::move(path)) {
    check_.setInterval(checkMs);
    connect(&check_, &QTimer::timeout, this, &JournalFeed::look);
    const auto changedNow = [this] {
        watch(); // a file replaced is no longer watched; its successor is
        emit changed();
    };
    connect(&watcher_, &QFileSystemWatcher::fileChanged, this, changedNow);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, changedNow);
}

void JournalFeed::start() {
    place_ = read(0).end;
    watch();
    check_.start();
}

void JournalFeed::watch() {
    for (const QString& path : {QFileInfo(path_).absolutePath(), path_}) {
        if (!watcher_.files().contains(path) && !watcher_.directories().contains(path) &&
            QFileInfo::exists(path)) {
            watcher_.addPath(path);
        }
    }
}

// Cheap: the file's size and inode against the place.
void JournalFeed::look() {
    struct stat st {};
    const bool there = ::stat(QFile::encodeName(path_).constData(), &st) == 0;
    if (there ? st.st_size != place_.offset || static_cast<quint64>(st.st_ino) != place_.file
              : place_.file != 0) {
        watch();
        emit changed();
    }
}

platform::JournalTail JournalFeed::read(qsizetype limit) {
    platform::JournalTail tail = platform::ReadJournalAfter(path_, place_, limit);
    if (!tail.error.isEmpty()) {
        if (tail.error != lastError_) {
            emit note(QStringLiteral("MQTT: the journal is not published: %1").arg(tail.error));
        }
        lastError_ = tail.error;
        tail.records.clear();
        return tail;
    }
    lastError_.clear();
    if (tail.restarted) {
        emit note(QStringLiteral("MQTT: the journal %1 was replaced or cut short; publishing its "
                                 "records goes on from its end (seq %2)")
                      .arg(path_)
                      .arg(tail.end.seq));
    } else if (tail.missing && place_.file != 0) {
        emit note(QStringLiteral("MQTT: the journal %1 is gone; its records are published from "
                                 "the first on once it is there again")
                      .arg(path_));
    }
    if (tail.skipped > 0) {
        emit note(QStringLiteral("MQTT: %1 journal records written while the broker was away are "
                                 "not published, only the newest %2")
                      .arg(tail.skipped)
                      .arg(tail.records.size()));
    }
    if (tail.records.isEmpty()) {
        place_ = tail.end;
    }
    return tail;
}

} // namespace zurid::serve::mqtt
