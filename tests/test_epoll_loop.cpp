// The epoll event loop zurid serve runs on: timers, socket notifiers, posted events and
// wake-ups from other threads must behave as in Qt's own loop, or the line's pauses, replies
// and clients would go wrong in ways the network tests only show as time-outs.
#include "core/protocol.h"
#include "platform/serial/epoll_loop.h"
#include "sim/sensorsim.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {

// Turns the loop until `done` or `ms` have passed; true when done.
template <typename F> bool Until(F done, int ms = 3000) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return done();
}

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() {
        if (pipe2(fd, O_NONBLOCK | O_CLOEXEC) != 0) {
            qFatal("pipe2");
        }
    }
    ~Pipe() {
        closeWriter();
        ::close(fd[0]);
    }
    void put(const char* s) const { QVERIFY(::write(fd[1], s, strlen(s)) > 0); }
    void closeWriter() {
        if (fd[1] >= 0) {
            ::close(fd[1]);
            fd[1] = -1;
        }
    }
};

} // namespace

class EpollLoopTest : public QObject {
    Q_OBJECT
  private slots:
    void isTheLoopInUse() {
        // Not Qt's glib or poll loop (those carry their own class names).
        QCOMPARE(QAbstractEventDispatcher::instance()->metaObject()->className(),
                 "QAbstractEventDispatcher");
    }

    void timersKeepTheirTimeAndOrder() {
        // A precise single shot never fires early and fires once.
        QElapsedTimer clock;
        clock.start();
        qint64 firedAt = -1;
        int shots = 0;
        QTimer once;
        once.setSingleShot(true);
        once.setTimerType(Qt::PreciseTimer);
        QObject::connect(&once, &QTimer::timeout, [&] {
            firedAt = clock.nsecsElapsed();
            ++shots;
        });
        once.start(50);
        QVERIFY(once.remainingTime() > 30 && once.remainingTime() <= 50);
        QVERIFY(Until([&] { return shots > 0; }));
        QVERIFY2(firedAt >= 50'000'000, qPrintable(QString::number(firedAt)));
        QTest::qWait(120);
        QCOMPARE(shots, 1);

        // Timers due together fire in the order they fall due; one stopped by another's
        // handler does not fire at all; a repeating one keeps its rate.
        QStringList order;
        QTimer a, b, c, repeat;
        for (QTimer* t : {&a, &b, &c}) {
            t->setSingleShot(true);
            t->setTimerType(Qt::PreciseTimer);
        }
        QObject::connect(&a, &QTimer::timeout, [&] { order << "a"; });
        QObject::connect(&b, &QTimer::timeout, [&] {
            order << "b";
            c.stop();
        });
        QObject::connect(&c, &QTimer::timeout, [&] { order << "c"; });
        int ticks = 0;
        repeat.setTimerType(Qt::PreciseTimer);
        QObject::connect(&repeat, &QTimer::timeout, [&] { ++ticks; });
        c.start(30);
        b.start(20);
        a.start(10);
        repeat.start(20);
        usleep(40'000); // all three overdue when the loop next looks
        QTest::qWait(200);
        QCOMPARE(order, (QStringList{"a", "b"}));
        QVERIFY2(ticks >= 7 && ticks <= 11, qPrintable(QString::number(ticks)));
        repeat.stop();

        // Zero timers run on every turn, and single shots of 0 ms come soon.
        int zero = 0;
        QTimer::singleShot(0, [&] { ++zero; });
        QVERIFY(Until([&] { return zero == 1; }, 500));
    }

    void aNestedLoopDoesNotFireTheTimerThatRunsIt() {
        int outer = 0, inner = 0;
        QTimer slow, fast;
        slow.setInterval(10);
        fast.setInterval(5);
        QObject::connect(&fast, &QTimer::timeout, [&] { ++inner; });
        int outerDuringNested = -1;
        QObject::connect(&slow, &QTimer::timeout, [&] {
            ++outer;
            if (outer == 1) {
                QEventLoop nested;
                QTimer::singleShot(60, &nested, &QEventLoop::quit);
                nested.exec();
                outerDuringNested = outer - 1;
            }
        });
        slow.start();
        fast.start();
        QVERIFY(Until([&] { return outer >= 3; }));
        // While the first call ran its loop for 60 ms, the other timer went on, this one not.
        QVERIFY2(inner >= 8, qPrintable(QString::number(inner)));
        QCOMPARE(outerDuringNested, 0);
    }

    void notifiersFollowTheirDescriptors() {
        Pipe p;
        QSocketNotifier reader(p.fd[0], QSocketNotifier::Read);
        int reads = 0;
        QObject::connect(&reader, &QSocketNotifier::activated, [&] { ++reads; });
        QTest::qWait(30);
        QCOMPARE(reads, 0); // nothing there, nothing told

        // Ready while data waits (level, as poll is); switched off, not told however long.
        p.put("x");
        QVERIFY(Until([&] { return reads >= 2; }, 500));
        reader.setEnabled(false);
        const int before = reads;
        QTest::qWait(50);
        QCOMPARE(reads, before);
        char c;
        QCOMPARE(::read(p.fd[0], &c, 1), 1);
        reader.setEnabled(true);
        QTest::qWait(30);
        const int drained = reads;
        QTest::qWait(30);
        QCOMPARE(reads, drained);

        // The writer gone: the reader hears of it.
        p.closeWriter();
        QVERIFY(Until([&] { return reads > drained; }, 500));
        reader.setEnabled(false);

        // A write notifier switched on and off as a socket does for every message.
        Pipe q;
        QSocketNotifier writer(q.fd[1], QSocketNotifier::Write);
        int writes = 0;
        QObject::connect(&writer, &QSocketNotifier::activated, [&] {
            ++writes;
            writer.setEnabled(false);
        });
        for (int i = 1; i <= 5; ++i) {
            writer.setEnabled(true);
            QVERIFY(Until([&] { return writes == i; }, 500));
        }

        // A plain file, which epoll refuses: ready at once, as poll says.
        QTemporaryFile file;
        QVERIFY(file.open());
        QSocketNotifier plain(file.handle(), QSocketNotifier::Read);
        int plainReads = 0;
        QObject::connect(&plain, &QSocketNotifier::activated, [&] {
            ++plainReads;
            plain.setEnabled(false);
        });
        QVERIFY(Until([&] { return plainReads == 1; }, 500));
    }

    void aNotifierDeletedByAnotherIsNotToldAfterwards() {
        Pipe p;
        p.put("xy");
        auto* first = new QSocketNotifier(p.fd[0], QSocketNotifier::Read);
        Pipe q;
        q.put("z");
        int told = 0;
        auto* second = new QSocketNotifier(q.fd[0], QSocketNotifier::Read);
        // Whichever is told first deletes the other, both ready in the same turn.
        QObject::connect(first, &QSocketNotifier::activated, [&] {
            ++told;
            delete std::exchange(second, nullptr);
            first->setEnabled(false);
        });
        QObject::connect(second, &QSocketNotifier::activated, [&] {
            ++told;
            delete std::exchange(first, nullptr);
            second->setEnabled(false);
        });
        QTest::qWait(50);
        QCOMPARE(told, 1);
        delete first;
        delete second;
    }

    void anotherThreadWakesTheLoop() {
        // No timer and no descriptor of ours: only the posted call can end the wait.
        QObject target;
        bool called = false;
        std::thread poster([&] {
            usleep(50'000);
            QMetaObject::invokeMethod(
                &target, [&] { called = true; }, Qt::QueuedConnection);
        });
        QElapsedTimer t;
        t.start();
        while (!called && t.elapsed() < 3000) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        poster.join();
        QVERIFY(called);

        // Many posts, one wake-up each time the loop looks: none lost.
        int arrived = 0;
        std::thread many([&] {
            for (int i = 0; i < 1000; ++i) {
                QMetaObject::invokeMethod(
                    &target, [&] { ++arrived; }, Qt::QueuedConnection);
            }
        });
        many.join();
        QVERIFY(Until([&] { return arrived == 1000; }));

        // deleteLater, in an event loop that its own handler quits.
        auto* doomed = new QObject;
        QEventLoop loop;
        QObject::connect(doomed, &QObject::destroyed, &loop, &QEventLoop::quit);
        QTimer::singleShot(3000, &loop, [&] { loop.exit(1); });
        doomed->deleteLater();
        QCOMPARE(loop.exec(), 0);
    }

    void socketsAndSerialPortsWork() {
        // A TCP round trip of 1 MB (write notifiers on and off, reads in pieces).
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, server.serverPort());
        QVERIFY(Until([&] { return server.hasPendingConnections(); }));
        QTcpSocket* peer = server.nextPendingConnection();
        const QByteArray payload(1 << 20, 'z');
        client.write(payload);
        QByteArray got;
        QObject::connect(peer, &QTcpSocket::readyRead, [&] { got += peer->readAll(); });
        QVERIFY(Until([&] { return got.size() == payload.size(); }, 10000));
        QCOMPARE(got, payload);
        client.disconnectFromHost();
        QVERIFY(Until([&] { return peer->state() == QAbstractSocket::UnconnectedState; }));

        // A sensor on a pseudo-terminal: request out, reply in, and the pulled plug shows.
        sim::SensorSim sensor;
        QVERIFY(sensor.start());
        QSerialPort port(QString::fromStdString(sensor.path()));
        QVERIFY(port.open(QIODevice::ReadWrite));
        port.setBaudRate(4800);
        const auto request = zurid::core::RequestFrame(zurid::core::Order::LineCheck, {});
        port.write(reinterpret_cast<const char*>(request.data()), request.size());
        QByteArray reply;
        QObject::connect(&port, &QSerialPort::readyRead, [&] { reply += port.readAll(); });
        QVERIFY(Until([&] { return reply.size() >= 3; }));
        bool failed = false;
        QObject::connect(&port, &QSerialPort::errorOccurred, [&](QSerialPort::SerialPortError e) {
            if (e != QSerialPort::NoError && e != QSerialPort::TimeoutError) {
                failed = true;
                port.close();
            }
        });
        sensor.hangUp();
        QVERIFY(Until([&] { return failed; }));
    }
};

int main(int argc, char** argv) {
    if (!zurid::platform::UseEpollEventLoop()) {
        return 1;
    }
    QCoreApplication app(argc, argv);
    EpollLoopTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_epoll_loop.moc"
