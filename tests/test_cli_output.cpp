// Where `zurid get -o` writes: a device node stays the device it was, a FIFO receives the data
// (and one that nobody reads fails in time instead of holding the program), "-" and /dev/stdout
// are the program's own stdout.
#include "support/files.h"
#include "support/program.h"
#include "support/zurid.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace testing_support;

namespace {

struct stat StatOf(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
        st.st_mode = 0;
    }
    return st;
}

// What a FIFO's read end receives until its writer closes, or until `ms` have passed.
QByteArray Drain(int fd, int ms) {
    QByteArray got;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) {
            continue;
        }
        char buffer[256];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        got.append(buffer, n);
    }
    return got;
}

} // namespace

class CliOutputTest : public QObject {
    Q_OBJECT
    sim::SensorSim sensor{sim::Config{.answerDelay = 0.002, .wireTime = false}};
    QTemporaryDir dir;

    QString Path(const char* name) const { return dir.filePath(name); }
    ZuridRun Get(const QString& output, int timeoutMs = 20000) {
        return RunZurid({"get", "COM1", "-o", output}, {sensor.path()}, timeoutMs);
    }

  private slots:
    void initTestCase() { QVERIFY(sensor.start()); }
    void init() { ResetSensor(sensor, kRam); }

    // A node made like /dev/null (as root, where `zurid get COM1 -o /dev/null` once left a
    // regular file): still that device afterwards, and nothing else appeared beside it.
    void aDeviceNodeStaysTheDevice() {
        if (::geteuid() != 0) {
            QSKIP("making a device node needs root");
        }
        const struct stat null = StatOf("/dev/null");
        const QString node = Path("null-copy");
        QCOMPARE(::mknod(QFile::encodeName(node).constData(), S_IFCHR | 0666, null.st_rdev), 0);
        const ZuridRun r = Get(node);
        QCOMPARE(r.exitCode, 0);
        const struct stat after = StatOf(node);
        QVERIFY(S_ISCHR(after.st_mode));
        QCOMPARE(after.st_rdev, null.st_rdev);
        QCOMPARE(
            QDir(dir.path())
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System),
            QStringList{"null-copy"});
        QVERIFY(QFile::remove(node));
    }

    void aFifoReceivesTheDataAndOneNobodyReadsFailsInTime() {
        const QString fifo = Path("pipe");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        const int reader = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK);
        QVERIFY(reader >= 0);
        ZuridRun r = Get(fifo);
        QCOMPARE(r.exitCode, 0);
        const QByteArray got = Drain(reader, 3000);
        ::close(reader);
        QCOMPARE(got, FileText(kRam));
        QVERIFY(S_ISFIFO(StatOf(fifo).st_mode));

        QElapsedTimer t;
        t.start();
        r = Get(fifo, 10000);
        QVERIFY(r.finished);
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("nobody reads"), r.err);
        QVERIFY(t.elapsed() < 6000);
        QVERIFY(S_ISFIFO(StatOf(fifo).st_mode));
        QVERIFY(QFile::remove(fifo));
    }

    // "-" and /dev/stdout are the descriptor the shell gave: a file it redirected stdout to
    // (with >>) is written into after what it holds, not replaced.
    void aDashOrDevStdoutIsWrittenIntoStdout() {
        const ZuridRun r = Get("-");
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, FileText(kRam));
        QVERIFY(!QFile::exists("-"));

        const QString log = Path("stdout.txt");
        Put(log, "header\n");
        QProcess p;
        p.setProcessEnvironment(ZuridEnv({sensor.path()}));
        p.setStandardOutputFile(log, QIODevice::Append);
        p.start(ZuridPath(), {"get", "COM1", "-o", "/dev/stdout"});
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(Contents(log), "header\n" + FileText(kRam));
        QVERIFY(QFile::remove(log));
    }
};

QTEST_GUILESS_MAIN(CliOutputTest)
#include "test_cli_output.moc"
