// The parameter file format: exact bytes written, strict reading, and what a failure leaves.
#include "platform/serial/utility.h"
#include "platform/ui/userint.h"
#include "support/files.h"
#include "support/permissions.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <sys/resource.h>

using zurid::platform::ArrayToFile;
using zurid::platform::FileToArray;
using zurid::platform::LastFileError;
using zurid::platform::VAL_UNSIGNED_CHAR;

namespace {

using Block = std::array<unsigned char, 15>;

int Write(const QString& path, const Block& block) {
    return ArrayToFile(QFile::encodeName(path).constData(), block.data(), VAL_UNSIGNED_CHAR, 15, 1,
                       0, 0, 0, 4, 1, 0);
}

int Read(const QString& path, Block* block) {
    return FileToArray(QFile::encodeName(path).constData(), block->data(), VAL_UNSIGNED_CHAR, 15, 1,
                       0, 0, 1);
}

// Fifteen values 1..15, one per line, with line 7 replaced.
QByteArray FileWithLine7(const QByteArray& line7) {
    QByteArray text;
    for (int i = 1; i <= 15; ++i) {
        text += (i == 7 ? line7 : QByteArray::number(i)) + '\n';
    }
    return text;
}

QByteArray Values(int count) {
    QByteArray text;
    for (int i = 0; i < count; ++i) {
        text += "  10\n";
    }
    return text;
}

constexpr Block kSample = {0, 255, 1, 46, 7, 2, 20, 50, 3, 1, 12, 0, 99, 100, 254};
constexpr Block kUntouched = {0xab, 0xab, 0xab, 0xab, 0xab, 0xab, 0xab, 0xab,
                              0xab, 0xab, 0xab, 0xab, 0xab, 0xab, 0xab};

} // namespace

class TestFileArray : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString path(const char* name) const { return dir_.filePath(QString::fromLatin1(name)); }

  private slots:
    void writesFixedWidthLinesAndReadsThemBack() {
        const QString file = path("init.dat");
        QCOMPARE(Write(file, kSample), 0);
        QCOMPARE(Contents(file), QByteArray("   0\n 255\n   1\n  46\n   7\n   2\n  20\n  50\n"
                                            "   3\n   1\n  12\n   0\n  99\n 100\n 254\n"));
        Block back = kUntouched;
        QCOMPARE(Read(file, &back), 0);
        QCOMPARE(back, kSample);

        // Any ASCII white space between values is accepted, leading zeros too.
        Put(file, "0 255\t1\r\n46\n\n 7 2 20 050\v3\f1 12 0 99 100\n254");
        back = kUntouched;
        QCOMPARE(Read(file, &back), 0);
        QCOMPARE(back, kSample);
    }

    void rejectsAnythingButFifteenBytes_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("problem");
        QTest::newRow("above 255") << FileWithLine7("300") << "line 7: 300 is above 255";
        QTest::newRow("256") << FileWithLine7("256") << "line 7: 256 is above 255";
        QTest::newRow("huge number")
            << FileWithLine7("99999999999999999999") << "line 7: 99999999999999999999 is above 255";
        QTest::newRow("negative") << FileWithLine7("-1") << "line 7: -1 is below 0";
        QTest::newRow("fraction") << QByteArray("1\n2\n3.5\n") + Values(12)
                                  << "line 3: \"3.5\" is not a whole number";
        QTest::newRow("word") << FileWithLine7("abc") << "line 7: \"abc\" is not a whole number";
        QTest::newRow("sign") << FileWithLine7("+5") << "line 7: \"+5\" is not a whole number";
        QTest::newRow("binary") << QByteArray("\x01\x00\xff 12", 6) + Values(14)
                                << "line 1: \"\\x01\\x00\\xff\" is not a whole number";
        QTest::newRow("too few") << Values(12) << "only 12 values";
        QTest::newRow("blank") << QByteArray(" \n\n\t ") << "only 0 values";
        QTest::newRow("too many") << Values(16) << "more than 15 values";
        QTest::newRow("empty") << QByteArray() << "the file is empty";
    }

    void rejectsAnythingButFifteenBytes() {
        QFETCH(QByteArray, content);
        QFETCH(QString, problem);
        const QString file = path("bad.dat");
        Put(file, content);
        Block block = kUntouched;
        QVERIFY(Read(file, &block) < 0);
        QCOMPARE(QString::fromStdString(LastFileError()), file + ": " + problem);
        QCOMPARE(block, kUntouched);
    }

    void unreadableFilesAreReported() {
        Block block = kUntouched;
        const QString missing = path("missing.dat");
        QVERIFY(Read(missing, &block) < 0);
        QCOMPARE(QString::fromStdString(LastFileError()),
                 missing + ": cannot be read: " + SystemText(ENOENT));
        QVERIFY(Read(dir_.path(), &block) < 0);
        QCOMPARE(QString::fromStdString(LastFileError()),
                 dir_.path() + ": cannot be read: not a regular file");
        // A named pipe with nobody writing must not hang the program.
        const QString fifo = path("pipe.dat");
        QCOMPARE(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
        QVERIFY(Read(fifo, &block) < 0);
        QCOMPARE(QString::fromStdString(LastFileError()),
                 fifo + ": cannot be read: not a regular file");
        QCOMPARE(block, kUntouched);
    }

    void hugeFileIsRefusedUnread() {
        const QString file = path("huge.dat");
        Put(file, QByteArray(10 * 1024 * 1024, ' ') + Values(15));
        Block block = kUntouched;
        QElapsedTimer clock;
        clock.start();
        QVERIFY(Read(file, &block) < 0);
        QVERIFY2(clock.elapsed() < 200, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(QString::fromStdString(LastFileError()).startsWith(file + ": too large"));
        QCOMPARE(block, kUntouched);
    }

    void failedWriteKeepsTheOldFile() {
        // A parent that is a regular file.
        const QString plain = path("plain");
        Put(plain, "x");
        QVERIFY(Write(plain + "/init.dat", kSample) < 0);
        QCOMPARE(QString::fromStdString(LastFileError()),
                 plain + "/init.dat: cannot be written: " + SystemText(ENOTDIR));

        // The write itself fails (a file size limit): the old content stays whole.
        const QString file = path("keep.dat");
        const QByteArray old = FileWithLine7("7");
        Put(file, old);
        rlimit saved{};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        rlimit small = saved;
        small.rlim_cur = 16;
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        const int result = Write(file, kSample);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY(result < 0);
        QCOMPARE(QString::fromStdString(LastFileError()),
                 file + ": cannot be written: " + SystemText(EFBIG));
        QCOMPARE(Contents(file), old);
        QCOMPARE(QDir(dir_.path()).entryList(QDir::Files).filter(QStringLiteral("keep")),
                 QStringList{QStringLiteral("keep.dat")});
    }

    void readOnlyDirectoryKeepsTheOldFile() {
        const QString sub = path("ro");
        QVERIFY(QDir().mkdir(sub));
        const QString file = sub + "/init.dat";
        const QByteArray old = FileWithLine7("7");
        Put(file, old);
        QVERIFY(QFile::setPermissions(sub, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        int result = 0;
        {
            testing_support::PermissionsBindRoot asOperator;
            QVERIFY(asOperator.active());
            result = Write(file, kSample);
        }
        QFile::setPermissions(sub, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                       QFileDevice::ExeOwner);
        QVERIFY(result < 0);
        QCOMPARE(QString::fromStdString(LastFileError()),
                 file + ": cannot be written: " + SystemText(EACCES));
        QCOMPARE(Contents(file), old);
    }
};

QTEST_MAIN(TestFileArray)
#include "test_filearray.moc"
