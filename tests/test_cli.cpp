// zurid against the simulator, as a script would run it: the line check, reading a block as a
// table, JSON and file, writing it back untouched, changing single parameters, the read-back
// check, comparing sets, the jump buffer and the port list with its parallel probe.
#include "core/protocol.h"
#include "support/files.h"
#include "support/program.h"
#include "support/zurid.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace testing_support;

namespace {

// Codes the panel has no item for (POWER 47, HOLD 9, TRIGGER 3, AVERAGE 8, DEAD TIME 20,
// OUTMODE 2) and spare bytes that no control shows.
const sim::Block kOdd = {7, 200, 47, 1, 9, 3, 255, 0, 8, 1, 20, 2, 13, 14, 250};
// Known codes everywhere: THRESHOLD 100, POWER code 0 (100 %), HOLD 1 (10 ms), DEAD TIME MODE %
// with index 2 (12 %); spare bytes set.
const sim::Block kKnown = {100, 120, 0, 0, 1, 0, 20, 50, 2, 0, 2, 0, 21, 22, 23};

Bytes AsBytes(const sim::Block& b) {
    return Bytes(b.begin(), b.end());
}

} // namespace

class CliTest : public QObject {
    Q_OBJECT
    sim::SensorSim sensor{sim::Config{.answerDelay = 0.002, .wireTime = false}};
    sim::SensorSim second{sim::Config{.answerDelay = 0.002, .wireTime = false}};
    QTemporaryDir dir;
    std::vector<std::string> ports;

    QString Path(const char* name) const { return dir.filePath(name); }
    ZuridRun Zurid(const QStringList& args) { return RunZurid(args, ports); }

  private slots:
    void initTestCase() {
        QVERIFY(sensor.start());
        QVERIFY(second.start());
        QVERIFY(dir.isValid());
        ports = {sensor.path(), second.path()};
    }
    void init() {
        ResetSensor(sensor, kKnown);
        sensor.setEeprom(kKnown);
        ResetSensor(second, kKnown);
    }

    void lineCheckPrintsTheWindowsTextOrTheReason() {
        ZuridRun r = Zurid({"check", "COM1"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, QByteArray(zurid::core::kLineOkText) + '\n');
        QCOMPARE(Frames(sensor), std::vector<Bytes>{Request(7, Zeros(15))});

        sensor.setFault(sim::Fault::WrongLineCheck);
        r = Zurid({"check", "1"});
        QCOMPARE(r.exitCode, 1);
        QVERIFY(r.out.isEmpty());
        QVERIFY2(r.err.contains("AA 01 01"), r.err);

        sensor.setFault(sim::Fault::Silent);
        QElapsedTimer t;
        t.start();
        r = Zurid({"check", QString::fromStdString(sensor.path())});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("no reply within 3.0 s"), r.err);
        QVERIFY(t.elapsed() >= 3000);
    }

    void getShowsEveryByteAndMarksUnknownCodes() {
        sensor.setRam(kOdd);
        ZuridRun r = Zurid({"get", "COM1"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(Frames(sensor), std::vector<Bytes>{Request(3, Zeros(15))});
        const QStringList lines = r.outText().split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 16); // header and fifteen parameters
        for (int i = 0; i < 15; ++i) {
            // The code column holds the byte as it came.
            QVERIFY2(lines[i + 1].contains(QStringLiteral(" %1").arg(kOdd[i], 4)),
                     qPrintable(lines[i + 1]));
        }
        for (int pos : {2, 4, 5, 8, 10, 11}) {
            QVERIFY2(lines[pos + 1].contains("unknown code"), qPrintable(lines[pos + 1]));
        }
        for (int pos : {12, 13, 14}) {
            QVERIFY2(lines[pos + 1].contains("spare byte"), qPrintable(lines[pos + 1]));
        }
        QVERIFY(!lines[1].contains("unknown")); // THRESHOLD 7 is a plain number

        r = Zurid({"get", "COM1", "--json"});
        QCOMPARE(r.exitCode, 0);
        const QJsonObject o = QJsonDocument::fromJson(r.out).object();
        const QJsonArray bytes = o["bytes"].toArray();
        QCOMPARE(bytes.size(), 15);
        for (int i = 0; i < 15; ++i) {
            QCOMPARE(bytes[i].toInt(), int(kOdd[i]));
            QCOMPARE(o["parameters"].toArray()[i].toObject()["code"].toInt(), int(kOdd[i]));
        }
        QCOMPARE(o["memory"].toString(), QString("RAM"));

        sensor.setEeprom(kKnown);
        QElapsedTimer t;
        t.start();
        r = Zurid({"get", "COM1", "--eeprom", "-o", Path("eeprom.dat")});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(t.elapsed() >= 1500); // the EEPROM's settle delay before the read
        QCOMPARE(Contents(Path("eeprom.dat")), FileText(kKnown));
        QCOMPARE(Frames(sensor).back(), Request(4, Zeros(15)));
    }

    void getRefusesAReplyOfTheWrongLength() {
        Put(Path("keep.dat"), FileText(kKnown));
        sensor.setReply(3, Bytes(16, 1));
        ZuridRun r = Zurid({"get", "COM1", "-o", Path("keep.dat")});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("reply of 16 bytes, expected 15"), r.err);
        QCOMPARE(Contents(Path("keep.dat")), FileText(kKnown)); // the old file stays
    }

    // What is read and sent back untouched arrives byte for byte, odd codes and spares too.
    void getThenSendReturnsTheIdenticalBlock() {
        for (const sim::Block& block :
             {kOdd, sim::Block{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14},
              sim::Block{255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
                         255}}) {
            sensor.setRam(block);
            ZuridRun r = Zurid({"get", "COM1", "-o", Path("round.dat")});
            QCOMPARE(r.exitCode, 0);
            sensor.setRam(kKnown);
            sensor.clearRequests();
            r = Zurid({"send", "COM1", Path("round.dat"), "--no-verify"});
            QCOMPARE(r.exitCode, 0);
            QCOMPARE(sensor.ram(), block);
            QCOMPARE(Frames(sensor), std::vector<Bytes>{Request(1, AsBytes(block))});
        }
        sensor.clearRequests();
        ZuridRun r = Zurid({"send", "COM1", Path("round.dat"), "--eeprom"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(sensor.eeprom()[0], std::uint8_t(255));
        const auto frames = Frames(sensor);
        QCOMPARE(frames.size(), std::size_t(2));
        QCOMPARE(frames[0][1], std::uint8_t(2)); // write EEPROM, then read it back
        QCOMPARE(frames[1][1], std::uint8_t(4));
    }

    void setChangesExactlyTheNamedBytes() {
        sim::Block start = kKnown;
        start[8] = 8; // an AVERAGE code the panel has no item for: it must stay
        sensor.setRam(start);
        ZuridRun r = Zurid({"set", "COM1", "POWER=80%", "HOLD=50ms", "TRIGGER=EXT", "DEADTIME=18"});
        QCOMPARE(r.exitCode, 0);
        sim::Block want = start;
        want[2] = 10; // 46 - 80*46/100
        want[4] = 3;  // OFF, 10, 20, 50 ms
        want[5] = 1;  // CONT, EXT
        want[10] = 3; // 18 % = index 3 in percent mode
        QCOMPARE(sensor.ram(), want);
        const auto frames = Frames(sensor);
        QCOMPARE(frames.size(), std::size_t(4)); // two reads, the write, the read-back
        QCOMPARE(frames[2], Request(1, AsBytes(want)));
        QCOMPARE(r.outText().count('\n'), 4); // one line per change
        QVERIFY(r.out.contains("POWER") && r.out.contains("HOLD") && r.out.contains("TRIGGER"));

        // Raw codes, and DEAD TIME read in the mode set with it (ms: index 7 is 14 ms).
        sensor.clearRequests();
        r = Zurid({"set", "COM1", "POWER=#6", "DEADTIME=14", "DEADTIMEMODE=ms", "--verify"});
        QCOMPARE(r.exitCode, 0);
        want[2] = 6;
        want[9] = 1;
        want[10] = 7;
        QCOMPARE(sensor.ram(), want);
        QCOMPARE(CountOrder(sensor, 3), std::size_t(3)); // two reads and the read-back
    }

    // A write counts once the sensor holds it: read back by default, so a sensor that takes the
    // request and keeps its old block fails the command; --verify is still accepted.
    void writesAreReadBackByDefault() {
        Put(Path("set.dat"), FileText(kOdd));
        sensor.setFault(sim::Fault::IgnoreWrite, 1U << 1);
        for (const QStringList& args : {QStringList{"send", "COM1", Path("set.dat")},
                                        {"set", "COM1", "BACKLIM=7"},
                                        {"set", "COM1", "BACKLIM=7", "--verify"}}) {
            sensor.clearRequests();
            const ZuridRun r = Zurid(args);
            QCOMPARE(r.exitCode, 1);
            QVERIFY2(r.err.contains("holds something else than was written") &&
                         r.err.contains("BACKLIM"),
                     r.err);
            QVERIFY2(r.out.isEmpty(), r.out); // no change reported that did not happen
            QCOMPARE(CountOrder(sensor, 1), std::size_t(1));
            QCOMPARE(sensor.ram(), kKnown);
        }
        // Skipped on request: the write alone, reported as sent.
        sensor.clearRequests();
        const ZuridRun r = Zurid({"set", "COM1", "BACKLIM=7", "--no-verify"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(CountOrder(sensor, 1), std::size_t(1));
        QCOMPARE(Frames(sensor).size(), std::size_t(3)); // no read after the write
    }

    // What the sensor holds already is not written again: an EEPROM wears with every write.
    void aSetThatChangesNothingWritesNothing() {
        for (const QStringList& args : {QStringList{"set", "COM1", "THRESHOLD=100"},
                                        {"set", "COM1", "HOLD=10ms", "POWER=#0"}}) {
            sensor.clearRequests();
            const ZuridRun r = Zurid(args);
            QCOMPARE(r.exitCode, 0);
            QVERIFY2(r.err.contains("nothing written"), r.err);
            QVERIFY(r.out.isEmpty());
            QCOMPARE(CountOrder(sensor, 1), std::size_t(0));
            QCOMPARE(Frames(sensor).size(), std::size_t(2)); // the two reads
        }
    }

    void diffNamesTheDifferencesAndExitsLikeDiff() {
        Put(Path("a.dat"), FileText(kKnown));
        Put(Path("b.dat"), FileText(kOdd));
        ZuridRun r = Zurid({"diff", Path("a.dat"), "COM1"});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(r.out.isEmpty());

        sensor.clearRequests();
        r = Zurid({"diff", Path("a.dat"), Path("b.dat")});
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(r.outText().count('\n'), 15); // kOdd differs from kKnown in every byte
        QVERIFY(sensor.requests().empty());

        sim::Block eeprom = kKnown;
        eeprom[1] = 77;
        sensor.setEeprom(eeprom);
        sensor.clearRequests();
        r = Zurid({"diff", "COM1:ram", "COM1:eeprom"});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.out.startsWith("HYSTERESIS") && r.outText().count('\n') == 1, r.out);
        QCOMPARE(CountOrder(sensor, 3), std::size_t(1));
        QCOMPARE(CountOrder(sensor, 4), std::size_t(1));

        // Two sensors at once; one of them failing is trouble, not a difference.
        second.setFault(sim::Fault::Short);
        r = Zurid({"diff", "COM1", "COM2"});
        QCOMPARE(r.exitCode, 2);
        // The bytes of a short reply are counted, though they never made a whole reply.
        QVERIFY2(r.err.contains("COM2") && r.err.contains("reply of 14 bytes"), r.err);
    }

    void bufferShowsTheSixteenValuesAndTheThreshold() {
        sim::JumpBuffer values{};
        for (int i = 0; i < 16; ++i) {
            values[i] = static_cast<std::uint8_t>(90 + i * 2);
        }
        sensor.setJumpBuffer(values);
        ZuridRun r = Zurid({"buffer", "COM1", "--json"});
        QCOMPARE(r.exitCode, 0);
        const QJsonObject o = QJsonDocument::fromJson(r.out).object();
        QCOMPARE(o["threshold"].toInt(), 100);
        const QJsonArray got = o["values"].toArray();
        QCOMPARE(got.size(), 16);
        for (int i = 0; i < 16; ++i) {
            QCOMPARE(got[i].toInt(), int(values[i]));
        }
        r = Zurid({"buffer", "COM1"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.outText().count("below THRESHOLD"), 5); // 90 .. 98
        sensor.setReply(6, Bytes(15, 0));
        r = Zurid({"buffer", "COM1"});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("expected 16"), r.err);
    }

    void portsListsTheTableAndProbesAllAtOnce() {
        ZuridRun r = Zurid({"ports"});
        QCOMPARE(r.exitCode, 0);
        const QStringList lines = r.outText().split('\n');
        QVERIFY(lines[1].startsWith("COM1") &&
                lines[1].contains(QString::fromStdString(sensor.path())));
        QVERIFY(lines[2].startsWith("COM2") &&
                lines[2].contains(QString::fromStdString(second.path())));

        sensor.setFault(sim::Fault::Silent);
        second.setFault(sim::Fault::Silent);
        QElapsedTimer t;
        t.start();
        r = Zurid({"ports", "--probe", "COM1", "COM2"});
        QCOMPARE(r.exitCode, 1); // no sensor answered
        QVERIFY2(t.elapsed() < 5000, qPrintable(QString::number(t.elapsed()))); // not 3 s each
        QCOMPARE(r.outText().count("no reply within 3.0 s"), 2);

        second.setFault(sim::Fault::None);
        r = Zurid({"ports", "--probe", "COM1", "COM2"});
        QVERIFY2(r.exitCode == 0, r.out + r.err);
        const QStringList probed = r.outText().split('\n');
        QVERIFY2(probed[2].contains("LINE OK") && !probed[1].contains("LINE OK"), r.out);
    }
};

QTEST_GUILESS_MAIN(CliTest)
#include "test_cli.moc"
