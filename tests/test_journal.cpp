// The journal: the line as written and its chain, several writers at once, every kind of
// tampering named by `zurid journal verify`, a torn last line, appends that cannot be made,
// following it as it grows, and the listing.
#include "support/files.h"
#include "support/journal.h"
#include "support/permissions.h"
#include "support/zurid.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <functional>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace testing_support;
using namespace zurid::platform;

namespace {

QProcessEnvironment JournalEnv(const QString& path) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ZURID_JOURNAL"), path);
    return env;
}

ZuridRun Journal(const QString& path, const QStringList& args) {
    return RunZuridIn(JournalEnv(path), QStringList{QStringLiteral("journal")} + args);
}

// The hash a line should carry, worked out here from the line's documented form.
QByteArray ExpectedHash(QByteArray line) {
    static const QRegularExpression hashMember(QStringLiteral(",\"hash\":\"[0-9a-f]{64}\"\\}$"));
    const QRegularExpressionMatch m = hashMember.match(QString::fromUtf8(line));
    line.chop(m.capturedLength());
    return QCryptographicHash::hash(line + '}', QCryptographicHash::Sha256).toHex();
}

} // namespace

class JournalTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString pristine; // a journal of six sample records, never changed

    QString Path(const QString& name) const { return dir.filePath(name); }

  private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        pristine = Path("pristine.jsonl");
        QCOMPARE(AppendSamples(pristine, 6), QString());
    }

    void lineChainAndWriteProtocol() {
        const UmaskSet open(0);
        const QString path = Path("new/state/journal.jsonl");
        zurid::core::ParamBlock held{};
        held[0] = 100;
        zurid::core::ParamBlock wanted = held;
        wanted[0] = 80;
        JournalWrite write(path, JournalEntry(JournalEvent::Change, JournalChannel::Cli, "op")
                                     .sensor("COM1", "/dev/ttyS0")
                                     .memory(JournalMemory::Eeprom)
                                     .bytes(held, wanted)
                                     .reason("drift"));
        QCOMPARE(write.begin(), QString());
        QCOMPARE(write.finish(JournalOutcome::Written, wanted), QString());
        QCOMPARE(AppendSamples(path, 2), QString());
        QCOMPARE(Mode(path), 0600);
        QCOMPARE(Mode(Path("new/state")), 0700);

        const QList<QByteArray> lines = JournalLines(path);
        QCOMPARE(lines.size(), 4);
        static const QRegularExpression shape(QString::fromLatin1(
            R"re(^\{"seq":(\d+),"time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d",)re"
            R"re("after":.*,"prev":"([0-9a-f]{64})","hash":"([0-9a-f]{64})"\}$)re"));
        QByteArray prev(64, '0');
        for (qsizetype i = 0; i < lines.size(); ++i) {
            const QRegularExpressionMatch m = shape.match(QString::fromUtf8(lines[i]));
            QVERIFY2(m.hasMatch(), lines[i].constData());
            QCOMPARE(m.captured(1).toLongLong(), i + 1);
            QCOMPARE(m.captured(2).toLatin1(), prev);
            QCOMPARE(m.captured(3).toLatin1(), ExpectedHash(lines[i]));
            prev = m.captured(3).toLatin1();
        }

        const JournalRecords read = ReadJournal(path);
        QCOMPARE(read.records.size(), 4);
        const QJsonObject attempt = read.records[0];
        const QJsonObject outcome = read.records[1];
        QCOMPARE(attempt.value("outcome").toString(), "pending");
        QCOMPARE(outcome.value("outcome").toString(), "written");
        QCOMPARE(outcome.value("attempt").toInteger(), 1);
        QVERIFY(!attempt.contains("attempt"));
        for (const QJsonObject& r : {attempt, outcome}) {
            QCOMPARE(r.value("event").toString(), "change");
            QCOMPARE(r.value("who").toString(), "op");
            QCOMPARE(r.value("memory").toString(), "eeprom");
            QCOMPARE(r.value("reason").toString(), "drift");
            QVERIFY(r.contains("host"));
            QCOMPARE(r.value("before").toArray().size(), 15);
            const QJsonObject change{{"key", "THRESHOLD"}, {"before", 100}, {"after", 80}};
            QCOMPARE(r.value("changes").toArray(), QJsonArray{change});
        }

        const JournalCheck check = VerifyJournal(path);
        QCOMPARE(int(check.state), int(JournalCheck::State::Whole));
        QCOMPARE(check.count, 4);
        QCOMPARE(check.head.toLatin1(), prev);
    }

    void concurrentAppendersKeepOneChain() {
        const QString path = Path("shared.jsonl");
        constexpr int kWriters = 4;
        constexpr int kEach = 25;
        QList<pid_t> children;
        for (int w = 0; w < kWriters; ++w) {
            const pid_t pid = ::fork();
            QVERIFY(pid >= 0);
            if (pid == 0) {
                ::_exit(AppendSamples(path, kEach, w * kEach).isEmpty() ? 0 : 1);
            }
            children << pid;
        }
        for (const pid_t pid : children) {
            int status = 0;
            QCOMPARE(::waitpid(pid, &status, 0), pid);
            QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        const JournalCheck check = VerifyJournal(path);
        QCOMPARE(int(check.state), int(JournalCheck::State::Whole));
        QCOMPARE(check.count, kWriters * kEach);
        QCOMPARE(JournalLines(path).size(), kWriters * kEach);
    }

    void verifyNamesTheTamperedRecord_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("says");
        QTest::newRow("first edited") << "edit 0"
                                      << "seq 1: changed";
        QTest::newRow("middle edited") << "edit 3"
                                       << "seq 4: changed";
        QTest::newRow("last edited") << "edit 5"
                                     << "seq 6: changed";
        QTest::newRow("seq renumbered") << "renumber 2"
                                        << "seq 3: changed";
        QTest::newRow("first removed") << "remove 0"
                                       << "seq 1: removed or out of order";
        QTest::newRow("middle removed") << "remove 2"
                                        << "seq 3: removed or out of order";
        QTest::newRow("swapped") << "swap 2"
                                 << "seq 3: removed or out of order";
        QTest::newRow("copied twice") << "copy 2"
                                      << "seq 4: removed or out of order";
        QTest::newRow("hash remade after edit") << "rehash 2"
                                                << "seq 4: removed or out of order";
        QTest::newRow("line added") << "add 5"
                                    << "seq 7: not a record";
    }
    void verifyNamesTheTamperedRecord() {
        QFETCH(QString, kind);
        QFETCH(QString, says);
        QList<QByteArray> lines = JournalLines(pristine);
        const int at = kind.section(' ', 1).toInt();
        const QString what = kind.section(' ', 0, 0);
        if (what == "edit") {
            lines[at].replace("operator", "intruder");
        } else if (what == "renumber") {
            lines[at].replace("\"seq\":3,", "\"seq\":9,");
        } else if (what == "remove") {
            lines.removeAt(at);
        } else if (what == "swap") {
            lines.swapItemsAt(at, at + 1);
        } else if (what == "copy") {
            lines.insert(at + 1, lines[at]);
        } else if (what == "rehash") {
            QByteArray edited = lines[at].replace("operator", "intruder");
            edited.replace(edited.size() - 66, 64, ExpectedHash(edited));
            lines[at] = edited;
        } else {
            lines.append("{\"note\":\"nothing to see\"}");
        }
        const QString path = Path("tampered.jsonl");
        QVERIFY(PutJournalLines(path, lines));
        const ZuridRun r = Journal(path, {"verify"});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.errText().contains(path + ": " + says), qPrintable(r.errText()));
        QCOMPARE(r.outText(), QString());
    }

    void tornLastLineIsACrashAndTheChainGoesOn() {
        const QString path = Path("torn.jsonl");
        QVERIFY(QFile::copy(pristine, path));
        const QByteArray fragment =
            JournalLines(pristine).at(5).left(40).replace("\"seq\":6", "\"seq\":7");
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::Append));
            f.write(fragment);
        }
        const ZuridRun torn = Journal(path, {"verify"});
        QCOMPARE(torn.exitCode, 1);
        QVERIFY2(torn.errText().contains(": torn:") && torn.errText().contains("after seq 6"),
                 qPrintable(torn.errText()));
        QCOMPARE(ReadJournal(path).records.size(), 6);

        QCOMPARE(AppendSamples(path, 1), QString());
        const QList<QByteArray> lines = JournalLines(path);
        QCOMPARE(lines.size(), 8);
        QCOMPARE(lines.at(6), fragment);
        QVERIFY(lines.at(7).startsWith("{\"seq\":7,"));
        const JournalCheck check = VerifyJournal(path);
        QCOMPARE(int(check.state), int(JournalCheck::State::Whole));
        QCOMPARE(check.count, 7);
        QCOMPARE(check.tornLines, 1);
        const ZuridRun whole = Journal(path, {"verify"});
        QCOMPARE(whole.exitCode, 0);
        QVERIFY2(whole.outText().contains("whole, 7 records"), qPrintable(whole.outText()));

        // All of the last line but its end reached the disk: the next record chains to it.
        const QString unended = Path("unended.jsonl");
        Put(unended, Contents(pristine).chopped(1));
        QCOMPARE(int(VerifyJournal(unended).state), int(JournalCheck::State::Torn));
        QCOMPARE(AppendSamples(unended, 1), QString());
        const JournalCheck after = VerifyJournal(unended);
        QCOMPARE(int(after.state), int(JournalCheck::State::Whole));
        QCOMPARE(after.count, 7);
        QCOMPARE(after.tornLines, 0);
    }

    // What the MQTT bridge publishes: the records after a place, whoever appended them; a torn
    // line passed over, a last line not taken before its end, a file replaced or cut short
    // followed from its end, a limit that keeps the newest.
    void followingTheJournal() {
        const QString path = Path("followed.jsonl");
        const auto tail = [&](const JournalPlace& from, qsizetype limit = 100) {
            return ReadJournalAfter(path, from, limit);
        };
        const auto lines = [&](const JournalTail& t) {
            QList<QByteArray> out;
            for (const JournalTail::Record& r : t.records) {
                out << r.line;
            }
            return out;
        };
        JournalTail t = tail({});
        QVERIFY(t.missing);
        QCOMPARE(t.end.offset, 0);
        QVERIFY(QFile::copy(pristine, path));
        QCOMPARE(lines(tail(t.end)), JournalLines(pristine)); // made anew: all of it

        t = tail({}); // no place yet: none, at the end (its head: test_serve_mqtt_journal)
        QVERIFY(t.records.isEmpty() && !t.restarted);
        QCOMPARE(t.end.offset, QFileInfo(path).size());

        QCOMPARE(AppendSamples(path, 2, 6), QString());
        t = tail(t.end);
        QCOMPARE(lines(t), JournalLines(path).mid(6));
        QCOMPARE(t.records[0].after.seq, 7);
        QCOMPARE(t.records[0].after.offset, t.end.offset - t.records[1].line.size() - 1);
        QCOMPARE(t.end.seq, 8);
        QCOMPARE(tail(t.end).records.size(), 0);

        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::Append));
            f.write("{\"seq\":9,\"ti"); // torn: no line end
        }
        const JournalTail unended = tail(t.end);
        QVERIFY(unended.records.isEmpty());
        QCOMPARE(unended.end.offset, t.end.offset);
        QCOMPARE(AppendSamples(path, 3, 8), QString());
        t = tail(unended.end, 2); // the fragment passed over, and the oldest left out
        QCOMPARE(t.skipped, 1);
        QCOMPARE(lines(t), JournalLines(path).mid(10));
        QCOMPARE(t.end.seq, 11);

        const struct {
            const char* how;
            std::function<bool()> change;
        } replaced[] = {
            {"renamed over",
             [&] {
                 return QFile::copy(pristine, Path("new.jsonl")) &&
                        std::rename(qPrintable(Path("new.jsonl")), qPrintable(path)) == 0;
             }},
            {"cut short", [&] { return QFile::resize(path, QFileInfo(path).size() / 2); }},
        };
        for (const auto& r : replaced) {
            const JournalPlace before = tail({}).end;
            QCOMPARE(AppendSamples(path, 1), QString());
            QVERIFY2(r.change(), r.how);
            t = tail(before);
            QVERIFY2(t.restarted && t.records.isEmpty(), r.how);
            QCOMPARE(t.end.offset, tail({}).end.offset);
            QCOMPARE(t.end.hash, tail({}).end.hash);
        }
    }

    void appendRefusedNamingTheJournal_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("symbolic link") << "link";
        QTest::newRow("no permission") << "read-only";
        QTest::newRow("file size limit") << "limit";
        QTest::newRow("disk full") << "full";
    }
    void appendRefusedNamingTheJournal() {
        QFETCH(QString, kind);
        const QString folder = Path("refused-" + kind);
        QVERIFY(QDir().mkpath(folder));
        QString path = folder + "/journal.jsonl";
        if (kind == "full") {
            if (::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", 0,
                        "size=8k,mode=0700") != 0) {
                QSKIP("a small tmpfs cannot be mounted here (not root)");
            }
        }
        const auto unmount = qScopeGuard([&] {
            if (kind == "full") {
                ::umount2(QFile::encodeName(folder).constData(), MNT_DETACH);
            }
        });
        QString target = path;
        if (kind == "link") {
            target = folder + "/elsewhere.jsonl";
            QVERIFY(QFile::link(target, path));
        }
        QCOMPARE(AppendSamples(target, 2), QString());
        if (kind == "full") {
            QString why;
            for (int n = 0; n < 100 && why.isEmpty(); ++n) {
                why = AppendSamples(path, 1);
            }
            QCOMPARE(why, "journal " + path + ": " + SystemText(ENOSPC));
            QCOMPARE(int(VerifyJournal(path).state), int(JournalCheck::State::Whole));
            return;
        }
        const QByteArray before = Contents(target);
        JournalAppend done;
        if (kind == "read-only") {
            QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner));
            PermissionsBindRoot asOperator;
            QVERIFY(asOperator.active());
            done = AppendJournal(path, SampleChange(9).members());
        } else if (kind == "limit") {
            rlimit saved{};
            QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
            rlimit small = saved;
            small.rlim_cur = static_cast<rlim_t>(before.size() + 40); // room for part of a line
            const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
            QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
            done = AppendJournal(path, SampleChange(9).members());
            ::setrlimit(RLIMIT_FSIZE, &saved);
            std::signal(SIGXFSZ, oldHandler);
        } else {
            done = AppendJournal(path, SampleChange(9).members());
        }
        QVERIFY(!done.ok());
        const QString want = kind == "link"        ? QString("a symbolic link, not followed")
                             : kind == "read-only" ? SystemText(EACCES)
                                                   : SystemText(EFBIG);
        QCOMPARE(done.error, "journal " + path + ": " + want);
        QCOMPARE(Contents(target), before);
    }

    void listing() {
        const QString path = Path("listing.jsonl");
        QCOMPARE(AppendSamples(path, 4, 1), QString()); // COM2, COM3, COM1, COM2
        const ZuridRun table = Journal(path, {});
        QCOMPARE(table.exitCode, 0);
        const QStringList rows = table.outText().split('\n', Qt::SkipEmptyParts);
        QCOMPARE(rows.size(), 5);
        QVERIFY(rows[0].startsWith("SEQ") && rows[0].contains("REASON"));
        QVERIFY2(
            rows[1].contains(QRegularExpression(
                R"(^1\s+\S+\s+operator\s+cli\s+COM2\s+ram\s+change\s+THRESHOLD 100 -> 99\s+line 1, run-in$)")),
            qPrintable(rows[1]));

        const ZuridRun com2 = Journal(path, {"--sensor", "com2", "--json"});
        QCOMPARE(com2.exitCode, 0);
        const QJsonArray records =
            QJsonDocument::fromJson(com2.out).object().value("records").toArray();
        QCOMPARE(records.size(), 2);
        QCOMPARE(records[1].toObject().value("seq").toInteger(), 4);

        // The newest so many that pass the filter, oldest first.
        const JournalRecords newest = ReadJournal(path, {"COM2", {}, 1});
        QCOMPARE(newest.records.size(), 1);
        QCOMPARE(newest.records[0].value("seq").toInteger(), 4);
        const JournalRecords lastThree = ReadJournal(path, {{}, {}, 3});
        QCOMPARE(lastThree.records.size(), 3);
        QCOMPARE(lastThree.records[0].value("seq").toInteger(), 2);

        const ZuridRun csv = Journal(path, {"--sensor", "/dev/serial/by-path/pci-0:1", "--csv"});
        const QStringList csvRows = csv.outText().split('\n', Qt::SkipEmptyParts);
        QCOMPARE(csvRows.size(), 2);
        QVERIFY(csvRows[0].startsWith("seq,time,event,outcome,"));
        QVERIFY2(csvRows[1].contains(",\"line 3, run-in\","), qPrintable(csvRows[1]));

        QCOMPARE(Journal(path, {"--since", "2999-01-01"}).outText(), QString());
        QCOMPARE(Journal(path, {"--since", "2000-01-01 10:00"}).outText().count('\n'), 5);
        const ZuridRun bad = Journal(path, {"--since", "yesterday"});
        QCOMPARE(bad.exitCode, 2);
        QVERIFY(bad.errText().contains("'yesterday'"));
        QCOMPARE(Journal(path, {"verify", "--json"}).exitCode, 2);
        QCOMPARE(Journal(path, {"check"}).exitCode, 2);
    }

    void missingJournalIsNoTampering() {
        const QString path = Path("never/journal.jsonl");
        for (const QStringList& args : {QStringList{}, QStringList{"verify"}}) {
            const ZuridRun r = Journal(path, args);
            QCOMPARE(r.exitCode, 0);
            QCOMPARE(r.errText(), "zurid: no journal at " + path + "\n");
        }
        QVERIFY(!QFileInfo::exists(Path("never")));
    }
};

QTEST_GUILESS_MAIN(JournalTest)
#include "test_journal.moc"
