// The journal: every write to a sensor, and the events around it, as one line of JSON each,
// chained by SHA-256 so that a record changed, removed or put out of order is seen. Shared by
// the window, zurid and zurid serve; several of them may append at once.
//
// The line of record N, exactly (one line, no spaces outside strings, UTF-8, "\n" at its end):
//
//   {"seq":N,"time":"2026-12-08T16:40:53.120+01:00",MEMBERS,"prev":"<64 hex>","hash":"<64 hex>"}
//
//   seq      1 for the first record, each next one more.
//   time     when it was written, ISO 8601 with milliseconds and the local offset (+HH:MM).
//   MEMBERS  the record's own members (event, channel, who, ...; see journal_record.h) as
//            QJsonDocument writes an object compactly: sorted by name, without its braces.
//   prev     the hash of the record before; 64 zeros for the first.
//   hash     the lowercase hex SHA-256 of the line as written without `,"hash":"<64 hex>"`
//            (and without the "\n"): the same text ending in `"prev":"<64 hex>"}`.
//
// seq is always first and prev and hash always last, so that the chain is checked on the text
// alone, without parsing the members (100 000 records in well under 2 s).
//
// A crash: every record is written with one write() and synced (fdatasync) before append
// returns; a write cut short is taken back (truncated). What a crash of the machine itself
// may still leave is a torn last line: no "\n" at its end. The next append then writes "\n"
// first, so that the fragment stays on a line of its own, and chains to the last whole
// record (the torn line itself when all of it but its "\n" reached the disk). verify reports a torn
// last line as `torn`; a torn line further up is no tampering when it begins as the record after
// the one before it would ("{"seq":N+1,...") and the chain goes on across it. Removing the last
// records leaves a chain that is whole: that is caught by comparing the head (the newest hash) with
// a copy kept elsewhere.
//
// The file is its owner's alone (0600, its folder made 0700), never a symbolic link; writers
// take an exclusive flock on it around reading the last record and appending, readers a shared
// one, so that no line is read half written.
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>

namespace zurid::platform {

// $ZURID_JOURNAL, else $XDG_STATE_HOME/zurid/journal.jsonl (~/.local/state when it is unset or
// relative).
QString JournalPath();
// The same for zurid serve: $ZURID_JOURNAL, else journal.jsonl in the folder of its token file.
QString JournalPathBeside(const QString& tokenFile);

struct JournalAppend {
    qint64 seq = 0; // the record's seq when written
    QString error;  // else why not, naming the journal ("journal PATH: No space left on device")
    bool ok() const { return error.isEmpty(); }
};

// Appends one record with `members` (seq, time, prev and hash are the journal's own and are
// left out if given). Returns when it is on disk.
JournalAppend AppendJournal(const QString& path, const QJsonObject& members);

struct JournalFilter {
    QString sensor;      // the records whose "sensor" or "location" is this (case ignored)
    QDateTime since;     // written at or after this (invalid: all)
    qsizetype limit = 0; // only the newest so many (0: all)
};

struct JournalRecords {
    QList<QJsonObject> records; // oldest first, every member as written
    bool missing = false;       // there is no journal (nothing recorded yet)
    QString error;              // it cannot be read, naming the journal
};

JournalRecords ReadJournal(const QString& path, const JournalFilter& filter = {});

struct JournalCheck {
    enum class State {
        Whole,   // the chain holds from seq 1 to the last record
        Broken,  // record `seq` was changed, removed or put out of order
        Torn,    // the last line was cut short (a crash while it was written)
        Missing, // there is no journal
        Unreadable
    };
    State state = State::Whole;
    qint64 seq = 0;       // Broken: the first record where the chain breaks; Torn: the last
                          // whole record before the torn line
    QString why;          // Broken: "changed", "removed or out of order" or "not a record"
    qint64 count = 0;     // whole records before the verdict (all of them when Whole)
    qint64 tornLines = 0; // torn lines further up that the chain went on across
    QString head;         // the last good record's hash
    QString error;        // Unreadable: why, naming the journal
};

JournalCheck VerifyJournal(const QString& path);

// What a journal's line holds, from its text: true and the record's seq, prev and hash when it
// has the shape above (its hash is not checked here).
struct JournalLine {
    qint64 seq = 0;
    QByteArray prev;
    QByteArray hash;
};
bool ParseJournalLine(const QByteArray& line, JournalLine* parsed);
// The hash a whole line should carry: SHA-256 over its text without the hash member.
QByteArray JournalLineHash(const QByteArray& line);

// Following the journal as it grows, whoever appends (the MQTT bridge publishes each new record):
// where a reader stands, and the whole records written after that.
struct JournalPlace {
    qint64 offset = -1; // the bytes of whole lines read; -1: none yet (start at the end)
    quint64 file = 0;   // the file's inode when it was read, to see it replaced; 0: none yet
    qint64 seq = 0;     // the newest record up to `offset` (0: none)
    QByteArray hash;
};

struct JournalTail {
    struct Record {
        QByteArray line; // as written, without its "\n"
        JournalPlace after;
    };
    QList<Record> records;  // oldest first; at most the limit, the newest
    JournalPlace end;       // after the last whole line: where the next read goes on
    qint64 skipped = 0;     // records left out for the limit (the oldest)
    bool restarted = false; // the file was replaced or is shorter than the place: read from its end
    bool missing = false;   // there is no journal; `end` is the place before the first record
    QString error;          // it cannot be read, naming the journal
};

// The records after `from` in whole lines: a last line without its "\n" waits until it has one,
// and a torn line is passed over. With no place yet, or one the file no longer has, none: `end`
// is the journal's end, with its newest record.
JournalTail ReadJournalAfter(const QString& path, const JournalPlace& from, qsizetype limit);

} // namespace zurid::platform
