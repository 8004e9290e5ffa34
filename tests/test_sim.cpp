// The sensor simulator, driven as the program drives it: raw bytes on the slave side of its
// pseudo-terminal. Replies and stored blocks, live data and jump buffer, malformed frames,
// every fault, the hang-up, the wire timing and the sensor-sim program itself.
#include "sim/sensorsim.h"
#include "sim/targetmodel.h"
#include "support/cputime.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <set>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes frame(int order, const sim::Block& block = {}, int sync = sim::kSync) {
    Bytes f(sim::kFrameLength);
    f[0] = static_cast<std::uint8_t>(sync);
    f[1] = static_cast<std::uint8_t>(order);
    std::copy(block.begin(), block.end(), f.begin() + 2);
    return f;
}

// The program's end of the line: the slave side, raw, as a serial port would be set up.
struct Port {
    int fd = -1;
    struct Arrival {
        std::uint8_t byte;
        double t;
    };
    std::vector<Arrival> arrivals; // of the last receive()

    explicit Port(const std::string& path) {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios tio{};
        if (fd >= 0 && ::tcgetattr(fd, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(fd, TCSANOW, &tio);
        }
    }
    ~Port() {
        if (fd >= 0)
            ::close(fd);
    }
    double send(const Bytes& b) const {
        ::tcflush(fd, TCIOFLUSH);
        const double t = sim::monotonicSeconds();
        if (::write(fd, b.data(), b.size()) != static_cast<ssize_t>(b.size()))
            return -1;
        return t;
    }
    // Bytes that arrive within `window` seconds, or until `quiet` seconds pass without one
    // once something has come.
    Bytes receive(double window = 0.3, double quiet = 0.05) {
        Bytes got;
        arrivals.clear();
        double end = sim::monotonicSeconds() + window;
        for (double now; (now = sim::monotonicSeconds()) < end;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>((end - now) * 1000) + 1) <= 0)
                continue;
            std::uint8_t buf[64];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            const double t = sim::monotonicSeconds();
            for (ssize_t i = 0; i < n; ++i) {
                got.push_back(buf[i]);
                arrivals.push_back({buf[i], t});
            }
            end = std::min(end, t + quiet);
            if (got.size() == 1) // from the first byte on, wait only for the rest
                end = t + quiet;
        }
        return got;
    }
    Bytes exchange(int order, const sim::Block& block = {}) {
        send(frame(order, block));
        return receive();
    }
};

const Bytes kLineOk{0xAA, 0x01, 0x00};

sim::Config fast() {
    sim::Config c;
    c.wireTime = false;
    c.answerDelay = 0.001;
    return c;
}

} // namespace

namespace QTest {
template <> char* toString(const Bytes& b) {
    return toString(
        QByteArray(reinterpret_cast<const char*>(b.data()), qsizetype(b.size())).toHex(' '));
}
} // namespace QTest

class TestSim : public QObject {
    Q_OBJECT

  private slots:
    void parameterBlocksAndLineCheck() {
        sim::Config cfg = fast();
        cfg.ram = sim::defaultBlock();
        sim::SensorSim s(cfg);
        QVERIFY(s.start());
        Port port(s.path());
        QVERIFY(port.fd >= 0);

        QCOMPARE(port.exchange(7), kLineOk);
        QCOMPARE(port.exchange(3), Bytes(cfg.ram.begin(), cfg.ram.end()));
        QCOMPARE(port.exchange(4), Bytes(15, 0));

        const sim::Block a{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};
        const sim::Block b{0x55, 0xAA, 0, 255, 7, 7, 7, 7, 7, 7, 7, 7, 0x55, 0x05, 0};
        QVERIFY(port.exchange(1, a).empty()); // writes answer nothing
        QVERIFY(port.exchange(2, b).empty());
        QCOMPARE(port.exchange(3), Bytes(a.begin(), a.end()));
        QCOMPARE(port.exchange(4), Bytes(b.begin(), b.end()));
        QCOMPARE(s.ram(), a);
        QCOMPARE(s.eeprom(), b);
        // The block inside a read request is not stored.
        QCOMPARE(port.exchange(3, b), Bytes(a.begin(), a.end()));

        s.setRam(b);
        QCOMPARE(port.exchange(3), Bytes(b.begin(), b.end()));

        const auto reqs = s.requests();
        QCOMPARE(reqs.size(), std::size_t{9});
        QCOMPARE(reqs[3].bytes, frame(1, a));
        QVERIFY(reqs[3].valid);
        QCOMPARE(s.replyCount(), std::size_t{7});
        s.clearRequests();
        QVERIFY(s.requests().empty());
    }

    void liveDataAndJumpBuffer() {
        sim::SensorSim s(fast());
        QVERIFY(s.start());
        Port port(s.path());
        sim::Block adj = sim::defaultBlock();
        adj[5] = 2; // ADJ EXT
        std::set<Bytes> distinct;
        for (int i = 0; i < 12; ++i) {
            s.setRam(i % 2 ? adj : sim::defaultBlock());
            const Bytes d = port.exchange(5);
            QCOMPARE(d.size(), std::size_t{9});
            const unsigned sum = d[0] + d[1];
            QCOMPARE(unsigned{d[2]}, sum ? d[0] * 255 / sum : 0);
            const unsigned edge = d[3] + 256 * d[4], in0 = d[5] + 256 * d[6],
                           win = d[7] + 256 * d[8];
            if (i % 2) {
                QVERIFY2(in0 > 900 && in0 < 1100 && edge > 200 && edge < 400 && win > 500 &&
                             win < 700,
                         qPrintable(QString("%1 %2 %3").arg(edge).arg(in0).arg(win)));
            } else {
                QCOMPARE(edge + in0 + win, 0u);
            }
            distinct.insert(Bytes(d.begin(), d.begin() + 3));
            QTest::qWait(30);
        }
        QVERIFY(distinct.size() > 3); // noise at least: the chart must look alive

        const sim::DataBlock fixed{1, 2, 3, 4, 5, 6, 7, 8, 9};
        s.setLiveData(fixed);
        QCOMPARE(port.exchange(5), Bytes(fixed.begin(), fixed.end()));
        s.setLiveData(std::nullopt);
        QCOMPARE_NE(port.exchange(5), Bytes(fixed.begin(), fixed.end()));

        const sim::JumpBuffer jb{9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 255, 254, 253, 252, 251, 250};
        s.setJumpBuffer(jb);
        QCOMPARE(port.exchange(6), Bytes(jb.begin(), jb.end()));
        s.useModelJumpBuffer();
        QCOMPARE(port.exchange(6).size(), std::size_t{16});
    }

    // The sensor's own loop: marks pass, NORM dips below THRESHOLD now and then, and the
    // jump buffer keeps the minimum of each dip, newest last.
    void targetModelEdges() {
        const sim::Block ram = sim::defaultBlock(); // THRESHOLD 100, HYSTERESIS 120
        sim::TargetModel m(3), same(3), other(4);
        for (int i = 0; i < 40; ++i) {
            m.advance(1, ram);
            same.advance(1, ram);
            other.advance(1, ram);
        }
        QVERIFY2(m.edgeCount() >= 16 && m.edgeCount() < 40,
                 qPrintable(QString::number(m.edgeCount())));
        QCOMPARE(m.jumpBuffer(), same.jumpBuffer());
        QCOMPARE(m.sample(ram), same.sample(ram));
        QCOMPARE_NE(m.jumpBuffer(), other.jumpBuffer());
        std::set<int> minima;
        for (auto v : m.jumpBuffer()) {
            QVERIFY(v < 100 && v > 20);
            minima.insert(v);
        }
        QVERIFY(minima.size() > 4);

        // One more edge shifts the buffer left by one.
        const sim::JumpBuffer before = m.jumpBuffer();
        const int edges = m.edgeCount();
        while (m.edgeCount() == edges)
            m.advance(0.1, ram);
        QVERIFY(std::equal(before.begin() + 1, before.end(), m.jumpBuffer().begin()));

        // Less light: both receivers see less, NORM stays on its scale.
        sim::Block dim = ram;
        dim[2] = 46;
        sim::TargetModel bright(5), dark(5);
        const auto b = bright.sample(ram), d = dark.sample(dim);
        QVERIFY(d[0] < b[0] / 2 && d[1] < b[1] / 2);
        QVERIFY(std::abs(int{d[2]} - int{b[2]}) < 20);
        QCOMPARE(int{sim::normOf(0, 0)}, 0);
        QCOMPARE(int{sim::normOf(255, 0)}, 255);
        QCOMPARE(int{sim::normOf(100, 50)}, 170);
    }

    void malformedFramesGetNoAnswer() {
        sim::SensorSim s(fast());
        QVERIFY(s.start());
        Port port(s.path());
        Bytes sixteen = frame(7);
        sixteen.pop_back();
        const Bytes wrongSync = frame(7, {}, 0x54), order9 = frame(9), order0 = frame(0);
        for (const Bytes& bad : {sixteen, wrongSync, order9, order0}) {
            port.send(bad);
            QVERIFY(port.receive(0.15).empty());
        }
        // A frame after the pause is taken fresh, not glued to the partial one.
        QCOMPARE(port.exchange(7), kLineOk);

        const auto reqs = s.requests();
        QCOMPARE(reqs.size(), std::size_t{5});
        QCOMPARE(reqs[0].bytes, sixteen);
        QCOMPARE(reqs[1].bytes, wrongSync);
        QCOMPARE(reqs[2].bytes, order9);
        for (int i = 0; i < 4; ++i)
            QVERIFY(!reqs[i].valid);
        QVERIFY(reqs[4].valid);
        QCOMPARE(s.replyCount(), std::size_t{1});
    }

    void faults_data() {
        QTest::addColumn<int>("fault");
        QTest::addColumn<int>("order");
        QTest::addColumn<QByteArray>("expected"); // in hex, how the reply begins; "*" anything
        QTest::addColumn<int>("minSize");
        QTest::addColumn<int>("maxSize");
        auto row = [](const char* name, sim::Fault f, int order, QByteArray exp, int lo, int hi) {
            QTest::newRow(name) << int(f) << order << exp << lo << hi;
        };
        row("silent", sim::Fault::Silent, 7, "", 0, 0);
        row("short", sim::Fault::Short, 7, "aa01", 2, 2);
        row("long", sim::Fault::Long, 7, "aa0100", 4, 4);
        row("wrong line check", sim::Fault::WrongLineCheck, 7, "aa0101", 3, 3);
        row("wrong line check, other order", sim::Fault::WrongLineCheck, 4, "*", 15, 15);
        row("short data", sim::Fault::Short, 5, "*", 8, 8);
        row("garbage", sim::Fault::Garbage, 7, "*", 1, 20);
    }
    void faults() {
        QFETCH(int, fault);
        QFETCH(int, order);
        QFETCH(QByteArray, expected);
        QFETCH(int, minSize);
        QFETCH(int, maxSize);
        sim::SensorSim s(fast());
        QVERIFY(s.start());
        Port port(s.path());
        s.setFault(static_cast<sim::Fault>(fault));
        std::set<Bytes> seen;
        for (int i = 0; i < 5; ++i) {
            const Bytes got = port.exchange(order);
            QVERIFY(int(got.size()) >= minSize && int(got.size()) <= maxSize);
            if (expected != "*") {
                const QByteArray start = QByteArray::fromHex(expected);
                QCOMPARE(Bytes(got.begin(), got.begin() + std::min<qsizetype>(
                                                              start.size(), qsizetype(got.size()))),
                         Bytes(start.begin(), start.end()));
            }
            seen.insert(got);
        }
        if (static_cast<sim::Fault>(fault) == sim::Fault::Garbage)
            QVERIFY(seen.size() > 1); // random, not one fixed wrong answer
        // Clearing the fault brings the normal reply back.
        s.setFault(sim::Fault::None);
        QCOMPARE(port.exchange(7), kLineOk);
    }

    // The stray answer goes once, in one piece with the first reply of the fault's orders; the
    // split byte comes apart, its gap after the reply, and is no reply of its own.
    void strayPrefixAndSplitTail() {
        sim::Config cfg = fast();
        cfg.ram = sim::defaultBlock();
        sim::SensorSim s(cfg);
        QVERIFY(s.start());
        Port port(s.path());
        s.setFault(sim::Fault::StrayPrefix, 1U << 3);
        QCOMPARE(port.exchange(7), kLineOk);
        Bytes stray = kLineOk;
        stray.insert(stray.end(), cfg.ram.begin(), cfg.ram.end());
        QCOMPARE(port.exchange(3), stray);
        QCOMPARE(port.exchange(3), Bytes(cfg.ram.begin(), cfg.ram.end()));

        s.setSplitSeconds(0.05);
        s.setFault(sim::Fault::SplitLong, 1U << 7);
        port.send(frame(7));
        QCOMPARE(port.receive(0.5, 0.2), (Bytes{0xAA, 0x01, 0x00, 0x00}));
        const double gap = port.arrivals.back().t - port.arrivals.front().t;
        QVERIFY2(gap >= 0.045 && gap < 0.5, qPrintable(QString::number(gap)));
        QCOMPARE(s.replyCount(), std::size_t{4});
    }

    void lateReplyMaskAndRawOverride() {
        sim::SensorSim s(fast());
        QVERIFY(s.start());
        Port port(s.path());
        s.setLateSeconds(0.4);
        s.setFault(sim::Fault::Late, 1U << 5); // data only
        QCOMPARE(port.exchange(7), kLineOk);
        const double t0 = port.send(frame(5));
        QVERIFY(port.receive(0.3).empty());
        QCOMPARE(port.receive(0.5).size(), std::size_t{9});
        QVERIFY(port.arrivals.front().t - t0 >= 0.4);

        s.setFault(sim::Fault::None);
        s.setReply(7, Bytes{0xAA, 0x01, 0x00, 0x00});
        s.setReply(3, Bytes{});
        QCOMPARE(port.exchange(7), (Bytes{0xAA, 0x01, 0x00, 0x00}));
        QVERIFY(port.exchange(3).empty());
        s.setFault(sim::Fault::Short);
        QCOMPARE(port.exchange(7), kLineOk); // faults act on top of the override
        s.setFault(sim::Fault::None);
        s.setReply(7, std::nullopt);
        s.setReply(3, std::nullopt);
        QCOMPARE(port.exchange(7), kLineOk);
        QCOMPARE(port.exchange(3).size(), std::size_t{15});
    }

    void randomFaults() {
        sim::Config cfg = fast();
        cfg.seed = 11;
        sim::SensorSim s(cfg);
        QVERIFY(s.start());
        Port port(s.path());
        s.setLateSeconds(30); // late replies never turn up during the test
        s.setRandomFaults(0.5);
        int good = 0;
        std::set<std::size_t> sizes;
        for (int i = 0; i < 40; ++i) {
            const Bytes got = port.exchange(3);
            sizes.insert(got.size());
            good += got == Bytes(15, 0);
        }
        QVERIFY2(good >= 8 && good <= 32, qPrintable(QString::number(good)));
        QVERIFY(sizes.count(0) && sizes.count(14) && sizes.count(16)); // silent/late, short, long
        s.setRandomFaults(0);
        for (int i = 0; i < 5; ++i)
            QCOMPARE(port.exchange(7), kLineOk);
    }

    // A pulled plug: the program's port reads EOF or EIO and polls HUP.
    void hangUp() {
        sim::SensorSim s(fast());
        QVERIFY(s.start());
        Port port(s.path());
        s.setHangupAfter(2);
        QVERIFY(port.exchange(1).empty()); // writes are no replies
        QCOMPARE(port.exchange(7), kLineOk);
        QCOMPARE(port.exchange(7), kLineOk);
        QTRY_VERIFY(s.hungUp());
        pollfd p{port.fd, POLLIN, 0};
        QCOMPARE(::poll(&p, 1, 500), 1);
        QVERIFY(p.revents & POLLHUP);
        std::uint8_t b;
        const ssize_t n = ::read(port.fd, &b, 1);
        QVERIFY(n == 0 || (n < 0 && errno == EIO));

        sim::SensorSim t(fast());
        QVERIFY(t.start());
        Port other(t.path());
        QCOMPARE(other.exchange(7), kLineOk);
        t.hangUp();
        QVERIFY(t.hungUp());
        QVERIFY(::read(other.fd, &b, 1) <= 0);
        t.stop(); // after a hang-up, stopping is still clean
    }

    void requestLogKeepsTheRecentPast() {
        sim::SensorSim s(fast());
        QVERIFY(s.start());
        Port port(s.path());
        const std::size_t total = sim::kRequestLogLimit + 10;
        // In batches that the line takes whole: a frame split by a full queue would arrive in
        // two parts, the second late enough on a loaded machine to count as a new frame.
        constexpr std::size_t kBatch = 64;
        auto lastMark = [&s] {
            const auto log = s.requests();
            return log.empty() || log.back().bytes.size() < 3 ? -1 : int(log.back().bytes[2]);
        };
        for (std::size_t i = 0; i < total; ++i) {
            sim::Block b{};
            b[0] = static_cast<std::uint8_t>(i & 0xFF);
            const Bytes f = frame(1, b); // writes: no replies to wait for
            QCOMPARE(::write(port.fd, f.data(), f.size()), ssize_t(f.size()));
            if (i % kBatch == kBatch - 1) {
                QTRY_COMPARE_WITH_TIMEOUT(lastMark(), int(b[0]), 10000);
            }
        }
        QTRY_COMPARE_WITH_TIMEOUT(s.requests().back().bytes[2], std::uint8_t((total - 1) & 0xFF),
                                  10000);
        QCOMPARE(s.requests().size(), total - sim::kRequestLogLimit / 2);
    }

    void wireTimeAndRequestLog() {
        sim::Config cfg;
        cfg.answerDelay = 0.010;
        cfg.ram = sim::defaultBlock();
        sim::SensorSim s(cfg);
        QVERIFY(s.start());
        Port port(s.path());
        const sim::Block block{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0x55};
        const double t0 = port.send(frame(5, block));
        QCOMPARE(port.receive(0.5).size(), std::size_t{9});
        const double bt = sim::kByteSeconds;
        const double first = port.arrivals.front().t - t0, last = port.arrivals.back().t - t0;
        QVERIFY2(last >= 26 * bt + cfg.answerDelay - 0.0005, qPrintable(QString::number(last)));
        QVERIFY2(first >= 18 * bt + cfg.answerDelay - 0.0005, qPrintable(QString::number(first)));
        // The lower bounds prove the pacing (all at once, the last byte would come at 18 byte
        // times); the upper bound is loose because a loaded machine delays the reader.
        QVERIFY2(last < 26 * bt + cfg.answerDelay + 0.5, qPrintable(QString::number(last)));

        QVERIFY(s.waitForRequests(1, 1));
        const auto r = s.requests().at(0);
        QCOMPARE(r.bytes, frame(5, block));
        QVERIFY(r.t - t0 >= 17 * bt && r.t - t0 < 17 * bt + 0.5);

        // Waiting idle with a late reply and a partial frame pending costs next to no CPU.
        s.setLateSeconds(0.8);
        s.setFault(sim::Fault::Late);
        port.send(frame(7));
        Bytes partial = frame(7);
        partial.resize(5);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        port.send(partial);
        const double cpu0 = testing_support::CpuSeconds();
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        QVERIFY2(testing_support::CpuSeconds() - cpu0 < 0.03, "the simulator spins while waiting");
        QVERIFY(!s.waitForRequests(4, 0.05));
        QCOMPARE(s.requests().size(), std::size_t{3});
    }

    void program() {
        const QString exe = QCoreApplication::applicationDirPath() + "/sensor-sim";
        QProcess help;
        help.start(exe, {"--help"});
        QVERIFY(help.waitForFinished(5000));
        QCOMPARE(help.exitCode(), 0);
        const QString text = help.readAllStandardOutput();
        for (const char* opt :
             {"--exec", "--delay", "--no-wire-time", "--fault-orders", "wrong-line-check",
              "ignore-write", "--late-ms", "--hangup-after", "--random-faults", "--seed", "--ram",
              "--eeprom", "--log", "fouling=P", "shallow", "Examples"})
            QVERIFY2(text.contains(opt), opt);

        // The port list goes to stderr: stdout is the program's alone.
        QProcess exec;
        exec.start(exe, {"--exec", "/bin/sh", "-c", "echo $ZURID_PORTS; exit 3"});
        QVERIFY(exec.waitForFinished(5000));
        const QString port = QString(exec.readAllStandardError()).trimmed();
        QVERIFY(port.startsWith("/dev/"));
        QCOMPARE(QString(exec.readAllStandardOutput()), port + '\n');
        QCOMPARE(exec.exitCode(), 3);

        for (const QStringList& bad : {QStringList{"--fault", "loud"},
                                       {"--fault", "1:fouling=-1"},
                                       {"--fault", "fouling=x"},
                                       {"--ram", "1,2,3"},
                                       {"--fault-orders", "3,8"},
                                       {"--delay"},
                                       {"--bogus"},
                                       {"--random-faults", "2"}}) {
            QProcess p;
            p.start(exe, bad);
            QVERIFY(p.waitForFinished(5000));
            QCOMPARE(p.exitCode(), 2);
            QVERIFY(!p.readAllStandardError().isEmpty());
        }

        // Played for real: the printed port answers, the log shows each request as it comes.
        QTemporaryDir dir;
        const QString log = dir.filePath("requests.log");
        QProcess run;
        run.start(exe, {"--no-wire-time", "--ram", "9,8,7,6,5,4,3,2,1,0,1,2,3,4,5", "--fault",
                        "short", "--fault-orders", "5", "--log", log});
        QVERIFY(run.waitForReadyRead(5000));
        const std::string path = run.readLine().trimmed().toStdString();
        {
            Port port(path);
            QCOMPARE(port.exchange(7), kLineOk);
            QCOMPARE(port.exchange(3), (Bytes{9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5}));
            QCOMPARE(port.exchange(5).size(), std::size_t{8});
        }
        QFile f(log);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QStringList logLines = QString(f.readAll()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(logLines.size(), 3);
        QVERIFY(QRegularExpression("^\\d+\\.\\d{6} 55 07( 00){15}$").match(logLines[0]).hasMatch());
        run.terminate();
        QVERIFY(run.waitForFinished(5000));
        QCOMPARE(run.exitStatus(), QProcess::NormalExit);
        QCOMPARE(run.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSim)
#include "test_sim.moc"
