// zurid against sensors whose replies cannot be taken as they come: a line-check answer that
// arrives after its wait, a stray answer in front of a block, a block that changes between two
// reads. Nothing may be written on the strength of such a reply.
#include "sim/fleet.h"
#include "support/program.h"
#include "support/zurid.h"

#include <QTemporaryDir>
#include <QTest>

#include <atomic>

using namespace testing_support;

namespace {

const sim::Block kStart = {100, 120, 0, 0, 1, 0, 20, 50, 2, 0, 2, 0, 21, 22, 23};

int OrderCount(const sim::SensorSim& s, std::uint8_t order) {
    return static_cast<int>(CountOrder(s, order));
}

// From the first request of `order` on, the memory holds `changed`: someone else wrote it
// between two reads (the first read still sees the old block).
void ChangeAfterFirstRead(sim::SensorSim& s, std::uint8_t order, const sim::Block& changed) {
    auto once = std::make_shared<std::atomic<bool>>(false);
    s.setRequestHook([&s, order, changed, once](const sim::Request& r) {
        if (r.valid && r.bytes[1] == order && !once->exchange(true)) {
            order == 3 ? s.setRam(changed) : s.setEeprom(changed);
        }
    });
}

} // namespace

class RepliesTest : public QObject {
    Q_OBJECT

  private slots:
    // `zurid check` gives up after 3.0 s; the sensor's answer comes later, while `zurid set`
    // waits for its block (a slow sensor: 1.5 s to answer a read).
    void lateLineCheckAnswerIsNoBlock() {
        sim::SensorSim s(sim::Config{.answerDelay = 1.5, .ram = kStart, .eeprom = kStart});
        QVERIFY(s.start());
        s.setLateSeconds(4.0);
        s.setFault(sim::Fault::Late, 1U << 7);
        const ZuridRun check = RunZurid({"check", "COM1"}, {s.path()});
        QCOMPARE(check.exitCode, 1);
        const ZuridRun set = RunZurid({"set", "COM1", "HOLD=20ms"}, {s.path()});
        const auto requests = s.requests();
        QVERIFY(requests.size() >= 2 && requests[1].bytes[1] == 3);
        QVERIFY2(requests[1].t < requests[0].t + 4.0,
                 "the late answer came before the read began; the test proves nothing");
        QCOMPARE(set.exitCode, 1);
        QVERIFY2(set.err.contains("nothing written"), set.err);
        QCOMPARE(OrderCount(s, 1), 0);
        QCOMPARE(s.ram(), kStart);
    }

    // The first block reply comes after a stray AA 01 00, in one piece with it, at the wire's
    // pace; the next set finds the line clean.
    void strayAnswerBeforeABlockIsNoBlock() {
        sim::SensorSim s(sim::Config{.ram = kStart, .eeprom = kStart});
        QVERIFY(s.start());
        s.setFault(sim::Fault::StrayPrefix, 1U << 3);
        ZuridRun r = RunZurid({"set", "COM1", "HOLD=#4"}, {s.path()});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("reply of 18 bytes, expected 15; nothing written"), r.err);
        QCOMPARE(OrderCount(s, 1), 0);
        QCOMPARE(s.ram(), kStart);

        r = RunZurid({"set", "COM1", "HOLD=#4"}, {s.path()});
        QCOMPARE(r.exitCode, 0);
        sim::Block want = kStart;
        want[4] = 4;
        QCOMPARE(s.ram(), want);
    }

    // One byte after a good line-check answer, 4 ms later: the answer is too long.
    void lineCheckWithAByteMoreFails() {
        sim::SensorSim s;
        QVERIFY(s.start());
        s.setFault(sim::Fault::SplitLong, 1U << 7);
        ZuridRun r = RunZurid({"check", "COM1"}, {s.path()});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("reply of 4 bytes, expected 3"), r.err);
        s.setFault(sim::Fault::None);
        r = RunZurid({"check", "COM1"}, {s.path()});
        QCOMPARE(r.exitCode, 0);
    }

    void setWritesOnlyWhenTwoReadsAgree() {
        sim::SensorSim s(sim::Config{.answerDelay = 0.002, .wireTime = false, .ram = kStart});
        QVERIFY(s.start());
        sim::Block other = kStart;
        other[0] = 7;
        ChangeAfterFirstRead(s, 3, other);
        const ZuridRun r = RunZurid({"set", "COM1", "HOLD=#4"}, {s.path()});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("two reads of the RAM block differ; nothing written"), r.err);
        QVERIFY(r.out.isEmpty());
        QCOMPARE(OrderCount(s, 3), 2);
        QCOMPARE(OrderCount(s, 1), 0);
        QCOMPARE(s.ram(), other);
    }

    // Of two sensors, the one whose EEPROM changes between the two reads gets nothing written;
    // the other is restored.
    void restoreWritesOnlyWhenTwoReadsAgree() {
        std::vector<sim::Config> configs(2, sim::Config{.answerDelay = 0.002, .wireTime = false});
        configs[0].eeprom = kStart;
        configs[1].eeprom = kStart;
        configs[1].eeprom[1] = 99;
        sim::SensorFleet fleet(configs);
        QVERIFY(fleet.start());
        QTemporaryDir tmp;
        const QString dir = tmp.filePath("bk");
        QCOMPARE(RunZurid({"backup", dir, "COM1", "COM2"}, fleet.paths()).exitCode, 0);
        sim::Block changed = kStart;
        changed[0] = 1;
        for (std::size_t i = 0; i < 2; ++i) {
            fleet.at(i).setEeprom(changed);
            fleet.at(i).clearRequests();
        }
        sim::Block other = changed;
        other[2] = 9;
        ChangeAfterFirstRead(fleet.at(1), 4, other);

        const ZuridRun r = RunZurid({"restore", dir}, fleet.paths());
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("two reads of the EEPROM block differ; nothing written"), r.err);
        QCOMPARE(fleet.at(0).eeprom(), kStart);
        QCOMPARE(OrderCount(fleet.at(1), 2), 0);
        QCOMPARE(fleet.at(1).eeprom(), other);
    }
};

QTEST_GUILESS_MAIN(RepliesTest)
#include "test_cli_replies.moc"
