// The serial layer against a real pseudo-terminal peer: the port table and its ring, open
// errors, byte-exact traffic, queue counts and flushes, read time-outs, and a hang-up.
#include "platform/serial/portopen.h"
#include "platform/serial/rs232.h"
#include "platform/serial/utility.h"
#include "platform/serial/wake.h"
#include "platform/ui/comports_qt.h"
#include "sim/pty.h"
#include "support/cputime.h"
#include "support/permissions.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <poll.h>
#include <thread>
#include <unistd.h>

using namespace zurid::platform;

namespace {

// The far end of a pseudo-terminal: the test writes and reads raw bytes on the master side.
struct PtyPeer {
    sim::PtyEnds ends;
    QString path;

    bool open() {
        if (!sim::OpenPty(&ends, false)) {
            return false;
        }
        path = QString::fromStdString(ends.path);
        return true;
    }
    void send(const QByteArray& bytes) const {
        QCOMPARE_EQ(::write(ends.master, bytes.constData(), bytes.size()), bytes.size());
    }
    // Everything that arrives within `ms` once the first `expected` bytes are in.
    QByteArray receive(int expected, int ms = 1000) const {
        QByteArray got;
        QElapsedTimer clock;
        clock.start();
        while (got.size() < expected && clock.elapsed() < ms) {
            pollfd p{ends.master, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0 && (p.revents & POLLIN) != 0) {
                char buf[256];
                const ssize_t n = ::read(ends.master, buf, sizeof buf);
                if (n > 0) {
                    got.append(buf, n);
                }
            }
        }
        return got;
    }
    void hangUp() { sim::ClosePty(&ends); }
    ~PtyPeer() { hangUp(); }
};

QByteArray Bytes(std::initializer_list<int> values) {
    QByteArray b;
    for (int v : values) {
        b.append(static_cast<char>(v));
    }
    return b;
}

int Open(int port) {
    return OpenComConfig(port, "", 4800, 0, 8, 1, 1024, 1024);
}

// GetInQLen once it has settled at `expected` (the kernel passes pty bytes on asynchronously);
// no events are processed meanwhile.
int QueueLengthSettling(int port, int expected) {
    int n = GetInQLen(port);
    for (int i = 0; i < 100 && n >= 0 && n != expected; ++i) {
        Sleep(10);
        n = GetInQLen(port);
    }
    return n;
}

// Process CPU seconds spent in `seconds` of an event loop that also polls `port`, as the
// program's reply wait does.
double CpuOfWaitLoop(int port, double seconds, bool pollPort) {
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.start(10);
    const double cpu0 = testing_support::CpuSeconds();
    const double t0 = Timer();
    while (Timer() - t0 < seconds) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (pollPort) {
            GetInQLen(port);
        }
    }
    return testing_support::CpuSeconds() - cpu0;
}

} // namespace

class TestSerial : public QObject {
    Q_OBJECT

    PtyPeer peer1_; // port 1
    PtyPeer peer2_; // port 2
    const QString missing_ = QStringLiteral("/nonexistent/zurid-no-such-tty");

    void addToEnvironment(const QString& device) {
        const QByteArray now = qgetenv("ZURID_PORTS");
        qputenv("ZURID_PORTS", now + ':' + device.toLocal8Bit());
    }

    int portOf(const QString& device) {
        addToEnvironment(device);
        const auto table = ComPortTable();
        for (std::size_t i = 0; i < table.size(); ++i) {
            if (QString::fromStdString(table[i].device) == device) {
                return static_cast<int>(i) + 1;
            }
        }
        return -1;
    }

  private slots:
    void initTestCase() {
        QVERIFY(peer1_.open());
        QVERIFY(peer2_.open());
        // Before the first scan: these become ports 1, 2 and 3.
        qputenv("ZURID_PORTS", (peer1_.path + ':' + peer2_.path + "::" + missing_).toLocal8Bit());
    }

    void portTableKeepsNumbersAndAppendsNewPorts() {
        const auto table = ComPortTable();
        QVERIFY(table.size() >= 3);
        QCOMPARE(QString::fromStdString(table[0].device), peer1_.path);
        QCOMPARE(QString::fromStdString(table[1].device), peer2_.path);
        QCOMPARE(QString::fromStdString(table[2].device), missing_);
        for (std::size_t i = 0; i < table.size(); ++i) {
            for (std::size_t j = i + 1; j < table.size(); ++j) {
                QVERIFY(table[i].device != table[j].device);
            }
        }

        QComboBox ring;
        AttachComPortRing(&ring);
        QCOMPARE(ring.count(), static_cast<int>(table.size()));
        QVERIFY(ring.itemText(0).startsWith(QStringLiteral("COM1  ") + peer1_.path));
        QCOMPARE(ring.itemData(1).toInt(), 2);
        ring.setCurrentIndex(1);

        // A port named later in the run gets the next number, in the table and in the ring
        // as soon as its list opens; the selection stays.
        PtyPeer late;
        QVERIFY(late.open());
        addToEnvironment(late.path);
        ring.showPopup();
        ring.hidePopup();
        const auto grown = ComPortTable();
        QCOMPARE(grown.size(), table.size() + 1);
        QCOMPARE(QString::fromStdString(grown.back().device), late.path);
        for (std::size_t i = 0; i < table.size(); ++i) {
            QCOMPARE(grown[i].device, table[i].device);
        }
        QCOMPARE(ring.count(), static_cast<int>(grown.size()));
        QCOMPARE(ring.itemData(ring.count() - 1).toInt(), static_cast<int>(grown.size()));
        QVERIFY(ring.itemText(ring.count() - 1).contains(late.path));
        QCOMPARE(ring.currentIndex(), 1);
    }

    void openErrors() {
        const int size = static_cast<int>(ComPortTable().size());
        QCOMPARE(Open(0), kComInvalidPort);
        QCOMPARE(Open(size + 1), kComInvalidPort);
        QCOMPARE(Open(3), kComNoPortFound);
        QCOMPARE(GetInQLen(3), kComPortNotOpen);

        // Held by another serial port object (its lock file): in use.
        QSerialPort holder(peer2_.path);
        QVERIFY2(holder.open(QIODevice::ReadWrite), qPrintable(holder.errorString()));
        QCOMPARE(Open(2), kComCannotOpen);
        holder.close();
        QCOMPARE(Open(2), 0);
        // Opening an open number again closes and reopens it.
        QCOMPARE(Open(2), 0);
        QCOMPARE(GetInQLen(2), 0);
        QCOMPARE(CloseCom(2), 0);
        QCOMPARE(GetInQLen(2), kComPortNotOpen);
        // Closing a port that was never opened is harmless.
        QCOMPARE(CloseCom(size), 0);
        QCOMPARE(CloseCom(99), 0);
    }

    void openWithoutPermission() {
        QTemporaryDir dir;
        const QString locked = dir.filePath(QStringLiteral("locked-tty"));
        QFile f(locked);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        QVERIFY(f.setPermissions(QFileDevice::Permissions{}));
        const int port = portOf(locked);
        testing_support::PermissionsBindRoot asOperator;
        QVERIFY(asOperator.active());
        QCOMPARE(Open(port), kComCannotOpen);
    }

    // The opening both programs share: a line it cannot set leaves the device closed and
    // unlocked; once open, it holds the lock against a second owner.
    void openingLeavesNothingBehindOrHoldsTheLock() {
        PtyPeer peer;
        QVERIFY(peer.open());
        const std::string path = peer.path.toStdString();
        QSerialPort port;
        PortLock lock;
        const PortOpenResult odd = OpenSerialDevice(port, lock, path, LineSettings{4800, 3, 8, 1});
        QCOMPARE(odd.failure, PortOpenFailure::CannotSet);
        QVERIFY2(odd.message.starts_with("cannot set 4800 baud 8?1: "), odd.message.c_str());
        QVERIFY(!port.isOpen() && !lock.held());

        const PortOpenResult opened = OpenSerialDevice(port, lock, path, LineSettings{});
        QVERIFY2(opened.ok(), opened.message.c_str());
        QVERIFY(port.isOpen() && lock.held());
        QCOMPARE(port.baudRate(), 4800);
        QCOMPARE(port.parity(), QSerialPort::NoParity);
        QSerialPort second;
        PortLock secondLock;
        const PortOpenResult twice = OpenSerialDevice(second, secondLock, path, LineSettings{});
        QCOMPARE(twice.failure, PortOpenFailure::Locked);
        QVERIFY2(twice.message.starts_with("in use by process " + std::to_string(::getpid())),
                 twice.message.c_str());
        QVERIFY(!second.isOpen());
        port.close();
        lock.release();

        const PortOpenResult none =
            OpenSerialDevice(second, secondLock, missing_.toStdString(), LineSettings{});
        QCOMPARE(none.failure, PortOpenFailure::NoSuchDevice);
        QCOMPARE(none.message, std::string("no such device"));
    }

    void bytesTravelExactly() {
        QCOMPARE(Open(1), 0);
        QCOMPARE(SetComTime(1, 2.0), 0);
        QCOMPARE(SetCTSMode(1, 0), 0);

        const QByteArray request = Bytes({0x55, 0x07, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
        QCOMPARE(ComWrt(1, reinterpret_cast<const unsigned char*>(request.constData()), 17), 17);
        QCOMPARE(peer1_.receive(17), request);
        const QByteArray mixed = Bytes({0x0a, 0x0d, 0x00, 0xff, 0x11, 0x13, 0x03, 0x7f});
        QCOMPARE(ComWrt(1, reinterpret_cast<const unsigned char*>(mixed.constData()), 8), 8);
        QCOMPARE(peer1_.receive(8), mixed);

        // Counted without processing events; read exactly what was queued.
        const QByteArray reply =
            Bytes({0xaa, 0x01, 0x00, 0x0d, 0x0a, 0x11, 0x13, 0xff, 0x00, 0x04});
        peer1_.send(reply);
        QCOMPARE(QueueLengthSettling(1, 10), 10);
        unsigned char buf[1024] = {};
        QCOMPARE(ComRd(1, buf, 10), 10);
        QCOMPARE(QByteArray(reinterpret_cast<char*>(buf), 10), reply);
        QCOMPARE(GetInQLen(1), 0);

        // Part already fetched by Qt, part still in the kernel: both count.
        peer1_.send(Bytes({1, 2, 3}));
        QTRY_COMPARE_WITH_TIMEOUT(QueueLengthSettling(1, 3), 3, 1000);
        QCoreApplication::processEvents();
        peer1_.send(Bytes({4, 5}));
        QCOMPARE(QueueLengthSettling(1, 5), 5);
        QCOMPARE(ComRd(1, buf, 4), 4);
        QCOMPARE(QByteArray(reinterpret_cast<char*>(buf), 4), Bytes({1, 2, 3, 4}));
        QCOMPARE(GetInQLen(1), 1);

        // Flushing drops what has arrived.
        peer1_.send(Bytes({9, 9, 9, 9, 9, 9}));
        QCOMPARE(QueueLengthSettling(1, 7), 7);
        QCOMPARE(FlushInQ(1), 0);
        QCOMPARE(FlushOutQ(1), 0);
        QCOMPARE(GetInQLen(1), 0);
    }

    void readWaitsUpToTheTimeOut() {
        QCOMPARE(Open(1), 0);
        QCOMPARE(SetComTime(1, 0.4), 0);
        unsigned char buf[16] = {};
        // Three of five bytes come: the read gives up after the time-out with three.
        peer1_.send(Bytes({7, 8, 9}));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(ComRd(1, buf, 5), 3);
        QVERIFY2(clock.elapsed() >= 350 && clock.elapsed() < 1000,
                 qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(QByteArray(reinterpret_cast<char*>(buf), 3), Bytes({7, 8, 9}));

        // The missing bytes come during the wait: the read returns as soon as it has them.
        QCOMPARE(SetComTime(1, 2.0), 0);
        peer1_.send(Bytes({1, 2}));
        std::thread later([this] {
            Sleep(150);
            peer1_.send(Bytes({3, 4, 5}));
        });
        clock.restart();
        const int n = ComRd(1, buf, 5);
        later.join();
        QCOMPARE(n, 5);
        QVERIFY2(clock.elapsed() >= 100 && clock.elapsed() < 1000,
                 qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(QByteArray(reinterpret_cast<char*>(buf), 5), Bytes({1, 2, 3, 4, 5}));
    }

    // The event loop's view of a port (poll) with a wake-up count: ready only once that many
    // bytes are in, while a read still gets whatever is there.
    void wakeCountHoldsReadinessUntilTheReplyIsWhole() {
        sim::PtyEnds pty;
        QVERIFY(sim::OpenPty(&pty, true));
        const auto ready = [&] {
            pollfd p{pty.slave, POLLIN, 0};
            return ::poll(&p, 1, 50) > 0 && (p.revents & POLLIN) != 0;
        };
        QVERIFY(WakeOnBytes(pty.slave, 3));
        QCOMPARE(::write(pty.master, "\x01\x02", 2), 2);
        QVERIFY(!ready());
        QCOMPARE(::write(pty.master, "\x03", 1), 1);
        QVERIFY(ready());
        // Back to one: the two bytes of a short reply show at once.
        char buf[8];
        QCOMPARE(::read(pty.slave, buf, sizeof buf), 3);
        QCOMPARE(::write(pty.master, "\x04\x05", 2), 2);
        QVERIFY(!ready());
        QVERIFY(WakeOnBytes(pty.slave, 1));
        QVERIFY(ready());
        QVERIFY(!WakeOnBytes(-1, 2));
        sim::ClosePty(&pty);
    }

    void hangUpClosesThePort() {
        // Noticed by the layer's own calls, with no events processed in between.
        QCOMPARE(Open(1), 0);
        peer1_.hangUp();
        unsigned char buf[4] = {1, 2, 3, 4};
        QVERIFY(GetInQLen(1) < 0);
        QVERIFY(ComRd(1, buf, 4) < 0);
        QVERIFY(ComWrt(1, buf, 4) < 0);
        QVERIFY(FlushInQ(1) < 0);
        // The device is gone with its master: reopening finds nothing.
        QCOMPARE(Open(1), kComNoPortFound);

        // Noticed while the event loop runs: nothing may spin afterwards.
        QCOMPARE(Open(2), 0);
        peer2_.hangUp();
        const double idle = CpuOfWaitLoop(2, 0.5, false);
        QVERIFY(GetInQLen(2) < 0);
        const double polling = CpuOfWaitLoop(2, 1.0, true);
        qInfo("CPU after a hang-up: %.3f s in 0.5 s of events, %.3f s in 1 s of polling", idle,
              polling);
        QVERIFY2(idle < 0.1, qPrintable(QString::number(idle)));
        QVERIFY2(polling < 0.1, qPrintable(QString::number(polling)));
        QVERIFY(ComWrt(2, buf, 4) < 0);

        // Hung up while a read waits: the read ends early, and so does the port.
        PtyPeer third;
        QVERIFY(third.open());
        // Its path may be one freed above: it then keeps that device's number.
        const int port = portOf(third.path);
        QCOMPARE(Open(port), 0);
        QCOMPARE(SetComTime(port, 2.0), 0);
        std::thread pull([&third] {
            Sleep(100);
            third.hangUp();
        });
        QElapsedTimer clock;
        clock.start();
        const int n = ComRd(port, buf, 4);
        pull.join();
        QVERIFY2(n < 0, qPrintable(QString::number(n)));
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(GetInQLen(port) < 0);
    }

    void timerAndSleep() {
        const double t0 = Timer();
        Sleep(120);
        const double dt = Timer() - t0;
        QVERIFY2(dt >= 0.119 && dt < 0.5, qPrintable(QString::number(dt)));
    }

    void projectDirHoldsThePanel() {
        std::string dir;
        QCOMPARE(GetProjectDir(&dir), 0);
        QCOMPARE(QString::fromStdString(dir), QCoreApplication::applicationDirPath());
        const QString appDir = QCoreApplication::applicationDirPath();
        const QString userDir = QFileInfo(appDir).isWritable() ? appDir : QDir::homePath();
        QCOMPARE(QString::fromStdString(GetUserFileDir()), userDir);
    }
};

QTEST_MAIN(TestSerial)
#include "test_serial.moc"
