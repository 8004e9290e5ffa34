// The journal as the MQTT bridge follows it: the place of the last record published, a watch on
// the file and its folder (a file renamed over it, or made anew), and a look at the file every few
// seconds besides, since a watch can miss a file replaced. Whoever appends (this server, zurid
// set from another shell, the window), the new records are found.
#pragma once

#include "platform/serial/journal.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>

namespace zurid::serve::mqtt {

class JournalFeed : public QObject {
    Q_OBJECT
  public:
    JournalFeed(QString path, int checkMs, QObject* parent = nullptr);

    // Stands at the journal's end, its newest record the head (the history before is not
    // followed), and starts watching.
    void start();
    // The records after the place, at most `limit`, the newest. A journal replaced or cut short
    // is followed from its end on, and older records left out for the limit are skipped; a line
    // in the log says so. With no records to hand out the place moves on to the end read.
    platform::JournalTail read(qsizetype limit);
    // After a record was handed on, or the end of a read once all were.
    void advance(const platform::JournalPlace& place) { place_ = place; }
    const platform::JournalPlace& place() const { return place_; }

  signals:
    // The journal may hold new records.
    void changed();
    void note(const QString& text);

  private:
    void watch();
    void look();

    QString path_;
    platform::JournalPlace place_;
    QFileSystemWatcher watcher_;
    QTimer check_;
    QString lastError_; // said once, not on every look
};

} // namespace zurid::serve::mqtt
