// A line of simulated sensors: each one on its own terminal keeps its own memories and faults,
// in the library form and as `sensor-sim --count N`.
#include "sim/fleet.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <set>
#include <termios.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<std::uint8_t>;

// One request on the slave side and whatever answers within the window (at most `want` bytes).
Bytes exchange(const std::string& path, int order, const sim::Block& block = {},
               std::size_t want = 15, int windowMs = 400) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return {};
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
    Bytes frame{sim::kSync, static_cast<std::uint8_t>(order)};
    frame.insert(frame.end(), block.begin(), block.end());
    Bytes got;
    if (::write(fd, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size())) {
        pollfd p{fd, POLLIN, 0};
        while (got.size() < want && ::poll(&p, 1, windowMs) > 0) {
            std::uint8_t buf[32];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            got.insert(got.end(), buf, buf + n);
        }
    }
    ::close(fd);
    return got;
}

Bytes bytes(const sim::Block& b) {
    return {b.begin(), b.end()};
}

sim::Block numbered(std::uint8_t first) {
    sim::Block b{};
    for (std::size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<std::uint8_t>(first + i);
    return b;
}

} // namespace

class TestSimFleet : public QObject {
    Q_OBJECT

  private slots:
    void sensorsAreIndependent() {
        std::vector<sim::Config> configs(3);
        for (std::size_t i = 0; i < configs.size(); ++i) {
            configs[i].wireTime = false;
            configs[i].ram = numbered(static_cast<std::uint8_t>(10 * i));
            configs[i].eeprom = numbered(static_cast<std::uint8_t>(100 + 10 * i));
        }
        sim::SensorFleet fleet(configs);
        QVERIFY(fleet.start());
        const auto paths = fleet.paths();
        QCOMPARE(paths.size(), std::size_t{3});
        QCOMPARE(std::set<std::string>(paths.begin(), paths.end()).size(), std::size_t{3});
        QCOMPARE(fleet.ports(), paths[0] + ":" + paths[1] + ":" + paths[2]);

        fleet.at(1).setFault(sim::Fault::Silent);
        // A write reaches its own sensor alone; the silent one hears but does not answer.
        const sim::Block written = numbered(200);
        QVERIFY(exchange(paths[0], 1, written, 0, 50).empty());
        QVERIFY(fleet.at(0).waitForRequests(1, 2));
        QCOMPARE(fleet.at(0).ram(), written);
        QCOMPARE(fleet.at(2).ram(), configs[2].ram);
        QCOMPARE(exchange(paths[0], 3), bytes(written));
        QCOMPARE(exchange(paths[2], 4), bytes(configs[2].eeprom));
        QVERIFY(exchange(paths[1], 3).empty());
        QCOMPARE(fleet.at(1).requests().size(), std::size_t{1});
        QCOMPARE(fleet.at(2).requests().size(), std::size_t{1});

        // A hang-up pulls one plug only.
        fleet.at(2).hangUp();
        QVERIFY(fleet.at(2).hungUp());
        QVERIFY(!fleet.at(0).hungUp());
        QCOMPARE(exchange(paths[0], 7, {}, 3), (Bytes{0xAA, 0x01, 0x00}));

        // Equal configurations still give each sensor its own live data.
        sim::Config base;
        base.wireTime = false;
        sim::SensorFleet same(2, base);
        QVERIFY(same.start());
        QCOMPARE_NE(exchange(same.paths()[0], 5, {}, 9), exchange(same.paths()[1], 5, {}, 9));
    }

    void programPlaysMany() {
        const QString exe = QCoreApplication::applicationDirPath() + "/sensor-sim";
        QProcess list;
        list.start(exe, {"--count", "3", "--exec", "/bin/sh", "-c", "echo $ZURID_PORTS"});
        QVERIFY(list.waitForFinished(5000));
        QCOMPARE(list.exitCode(), 0);
        const QStringList lines = QString(list.readAllStandardError()).trimmed().split('\n');
        QCOMPARE(lines.size(), 3);
        QCOMPARE(QString(list.readAllStandardOutput()), lines.join(':') + '\n');

        // Refused before any terminal opens, with the reason.
        const QList<std::pair<QStringList, QByteArray>> bad = {
            {{"--count", "2", "--fault", "3:silent"}, "names sensor 3, but there are 2"},
            {{"--count", "0"}, "1..64"},
            {{"--fault", "x:silent"}, "sensor number"},
            {{"--count", "2", "--ram", "2:1,2"}, "exactly 15 values"}};
        for (const auto& [args, reason] : bad) {
            QProcess p;
            p.start(exe, args);
            QVERIFY(p.waitForFinished(5000));
            QCOMPARE(p.exitCode(), 2);
            QVERIFY(p.readAllStandardOutput().isEmpty());
            QVERIFY(p.readAllStandardError().contains(reason));
        }

        // Options for one sensor leave the others as they were; later options win.
        QTemporaryDir dir;
        const QString log = dir.filePath("requests.log");
        QProcess run;
        run.start(exe, {"--count", "3", "--no-wire-time", "--ram",
                        "2:1,2,3,4,5,6,7,8,9,10,11,12,13,14,15", "--fault", "silent", "--fault",
                        "1:none", "--fault", "2:none", "--log", log});
        QVERIFY(run.waitForStarted());
        QStringList ports;
        while (ports.size() < 3 && run.waitForReadyRead(3000))
            while (run.canReadLine())
                ports << QString(run.readLine()).trimmed();
        QCOMPARE(ports.size(), 3);
        QCOMPARE(exchange(ports[0].toStdString(), 3), bytes(sim::defaultBlock()));
        QCOMPARE(exchange(ports[1].toStdString(), 3), bytes(numbered(1)));
        QVERIFY(exchange(ports[2].toStdString(), 3).empty());
        run.terminate();
        QVERIFY(run.waitForFinished(5000));

        QFile f(log);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QStringList logged = QString(f.readAll()).trimmed().split('\n');
        QCOMPARE(logged.size(), 3);
        QStringList numbers;
        for (const QString& l : logged) {
            QVERIFY2(l.endsWith("55 03 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"),
                     qPrintable(l));
            numbers << l.section(' ', 0, 0);
        }
        numbers.sort();
        QCOMPARE(numbers, (QStringList{"1", "2", "3"}));
    }
};

QTEST_GUILESS_MAIN(TestSimFleet)
#include "test_simfleet.moc"
