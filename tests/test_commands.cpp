// Parameter transfers and the command callbacks, driven through the real panel against the
// simulator: the bytes on the wire, what changes on the panel, the memory selector rules,
// the settle delays and right clicks that must start nothing.
#include "app/shell.h"
#include "gui/params.h"
#include "gui/state.h"
#include "gui/transfer.h"
#include "link/blocks.h"
#include "platform/serial/rs232.h"
#include "platform/serial/utility.h"
#include "platform/ui/Dovarid10.h"
#include "support/popups.h"
#include "support/program.h"

#include <QTest>

using zurid::platform::CloseCom;
using zurid::platform::Timer;

using namespace testing_support;

namespace {
// Longer than any request takes to reach the simulator on a loaded machine.
constexpr double kQuietSeconds = 1.0;
// A check that must not wait for the 3 s reply limit.
constexpr double kWellBelowTheLimit = 2.0;

bool Checked(int control) {
    return IntVal(control) == 1;
}

Bytes ToBytes(const sim::Block& b) {
    return Bytes(b.begin(), b.end());
}
} // namespace

class CommandsTest : public QObject {
    Q_OBJECT
    // Without wire time, so that an over-long answer is all queued when the wait ends.
    sim::SensorSim sensor{sim::Config{.answerDelay = 0.002, .wireTime = false}};
    PopupWatcher* popups = nullptr;

    // Requests received since the last clear, as bytes.
    std::vector<Bytes> Sent() { return Frames(sensor); }
    // No request beyond the first `count` reaches the sensor within a generous deadline. The
    // commands write from inside their click, so anything sent is on the line already.
    bool NothingMoreSent(std::size_t count) {
        return !sensor.waitForRequests(count + 1, kQuietSeconds) && Sent().size() == count;
    }

  private slots:
    void initTestCase() { ConnectAsCom1(sensor); }
    void init() {
        popups = new PopupWatcher(this);
        zurid::pp.fill(0);
        StartOnHealthySensor(sensor);
    }
    void cleanup() {
        StopProgram();
        delete popups;
    }

    void sendWritesThePanelToRamOrEeprom() {
        SetCtrlVal(zurid::panel, PANEL_THRESHOLD, 77);
        Click(PANEL_SEND);
        QVERIFY(sensor.waitForRequests(1, 1.0));
        Bytes block = ToBytes(kRam);
        block[0] = 77;
        QCOMPARE(Sent().at(0), Request(1, block));
        QVERIFY(NothingMoreSent(1)); // nothing read back
        QCOMPARE(sensor.ram()[0], 77);
        QCOMPARE(TextVal(PANEL_STATUS), kLineOk);

        Click(PANEL_EEPROM);
        sensor.clearRequests();
        Click(PANEL_SEND);
        QVERIFY(sensor.waitForRequests(1, 1.0));
        QCOMPARE(Sent().at(0), Request(2, block));
        QVERIFY(popups->popups.empty());
    }

    void getReadsRamOrEeprom() {
        sensor.setRam(kEeprom); // changed behind the panel's back
        Click(PANEL_GET);
        QCOMPARE(Sent().at(0), Request(3, ToBytes(kRam)));
        QCOMPARE(IntVal(PANEL_THRESHOLD), 90);
        QCOMPARE(IntVal(PANEL_POWER), 100);
        QVERIFY(Dimmed(PANEL_REGCNT));
        QCOMPARE(Label(PANEL_DEADTIME), QString("DEAD TIME[ms]"));

        Click(PANEL_EEPROM);
        sensor.clearRequests();
        Click(PANEL_GET);
        QCOMPARE(Sent().at(0), Request(4, ToBytes(kEeprom)));
        QVERIFY(popups->popups.empty());
    }

    void wrongLengthGetTimesOutAndKeepsThePanel_data() {
        QTest::addColumn<int>("length");
        QTest::newRow("14 bytes") << 14;
        QTest::newRow("16 bytes") << 16;
    }
    void wrongLengthGetTimesOutAndKeepsThePanel() {
        QFETCH(int, length);
        sensor.setReply(3, Bytes(static_cast<std::size_t>(length), 9));
        const auto ppBefore = zurid::pp;
        const double t0 = Timer();
        Click(PANEL_GET);
        const double took = Timer() - t0;
        QCOMPARE(popups->popups.size(), std::size_t(1));
        QCOMPARE(popups->popups[0].title, QString("INFO"));
        QCOMPARE(TextVal(PANEL_STATUS), QString("TIMEOUT"));
        QCOMPARE(IntVal(PANEL_THRESHOLD), 100);
        QVERIFY(zurid::pp == ppBefore);
        if (length == 14) {
            QVERIFY2(took > 3.0, qPrintable(QString::number(took)));
        }
    }

    void sendOnAPortThatFailedTimesOutAtOnce() {
        CloseCom(zurid::com);
        zurid::com = 999; // as if the operator had picked a port that cannot be opened
        zurid::InitRS232(zurid::com);
        QCOMPARE(TextVal(PANEL_STATUS), QString("Invalid port number"));
        const double t0 = Timer();
        Click(PANEL_SEND);
        QVERIFY(Timer() - t0 < kWellBelowTheLimit);
        QCOMPARE(popups->popups.size(), std::size_t(1));
        QCOMPARE(TextVal(PANEL_STATUS), QString("TIMEOUT"));
    }

    void everyPowerCodeSurvivesGetThenSend() {
        for (int code = 0; code <= 46; ++code) {
            sim::Block b = kRam;
            b[2] = static_cast<std::uint8_t>(code);
            sensor.setRam(b);
            sensor.clearRequests();
            zurid::GetPara();
            zurid::SendPara();
            QVERIFY(sensor.waitForRequests(2, 1.0));
            QCOMPARE(int(zurid::pp[2]), code);
            QCOMPARE(int(sensor.ram()[2]), code);
        }
        QVERIFY(popups->popups.empty());
    }

    void memorySelectorsKeepExactlyOneOn() {
        QVERIFY(Checked(PANEL_RAM) && !Checked(PANEL_EEPROM) && !Checked(PANEL_FILE));
        Click(PANEL_EEPROM);
        QCOMPARE(zurid::target, zurid::EEPROM);
        QVERIFY(!Checked(PANEL_RAM) && Checked(PANEL_EEPROM) && !Checked(PANEL_FILE));
        Click(PANEL_FILE);
        QCOMPARE(zurid::target, zurid::DATFILE);
        QVERIFY(!Checked(PANEL_RAM) && !Checked(PANEL_EEPROM) && Checked(PANEL_FILE));
        Click(PANEL_FILE); // switching the lit one off falls back to RAM
        QCOMPARE(zurid::target, zurid::RAM);
        QVERIFY(Checked(PANEL_RAM) && !Checked(PANEL_EEPROM) && !Checked(PANEL_FILE));
        Click(PANEL_RAM); // RAM comes straight back on
        QCOMPARE(zurid::target, zurid::RAM);
        QVERIFY(Checked(PANEL_RAM) && !Checked(PANEL_EEPROM) && !Checked(PANEL_FILE));
        QVERIFY(Sent().empty());
    }

    void rightClickStartsNothing() {
        const int controls[] = {PANEL_SEND,    PANEL_GET,    PANEL_GO,     PANEL_STOP,
                                PANEL_GETBUFF, PANEL_RAM,    PANEL_EEPROM, PANEL_FILE,
                                PANEL_PARA,    PANEL_SOURCE, PANEL_COM};
        for (int c : controls) {
            RightClick(c);
        }
        QCOMPARE(popups->popups.size(), std::size_t(std::size(controls)));
        for (const SeenPopup& p : popups->popups) {
            QCOMPARE(p.title, QString("Info"));
        }
        QVERIFY(NothingMoreSent(0));
        QCOMPARE(zurid::target, zurid::RAM);
        QVERIFY(Checked(PANEL_RAM) && !Checked(PANEL_EEPROM) && !Checked(PANEL_FILE));
        QCOMPARE(IntVal(PANEL_PARA), 1);
        QVERIFY(Visible(PANEL_THRESHOLD));
        QCOMPARE(zurid::poll, 0);
    }

    void settleDelayDependsOnTheMemory_data() {
        QTest::addColumn<int>("selector");
        QTest::addColumn<double>("delay");
        QTest::newRow("RAM") << int(PANEL_RAM) << 0.1;
        QTest::newRow("EEPROM") << int(PANEL_EEPROM) << 1.5;
    }
    void settleDelayDependsOnTheMemory() {
        QFETCH(int, selector);
        QFETCH(double, delay);
        if (selector != PANEL_RAM) {
            Click(selector);
        }
        for (int button : {PANEL_GET, PANEL_GETBUFF}) {
            sensor.clearRequests();
            const double t0 = sim::monotonicSeconds();
            Click(button);
            QVERIFY(sensor.waitForRequests(1, 3.0));
            const double sentAfter = sensor.requests().at(0).t - t0;
            // Well below the next longer delay (RAM's 0.1 s, EEPROM's 1.5 s, the 3 s limit).
            QVERIFY2(sentAfter >= delay && sentAfter < delay + 0.8,
                     qPrintable(QString::number(sentAfter)));
        }
        // Send never waits (EEPROM's settle delay would be 1.5 s).
        sensor.clearRequests();
        const double t0 = sim::monotonicSeconds();
        Click(PANEL_SEND);
        QVERIFY(sensor.waitForRequests(1, 3.0));
        QVERIFY(sensor.requests().at(0).t - t0 < 1.0);
    }

    void parameterGroupSwitch() {
        Click(PANEL_PARA);
        QCOMPARE(int(zurid::para), 0);
        for (int c : {PANEL_BACKLIM, PANEL_REGCNT, PANEL_AVERAGE, PANEL_OUTMODE, PANEL_DEADTIMEMODE,
                      PANEL_DEADTIME}) {
            QVERIFY(Visible(c));
        }
        for (int c : {PANEL_THRESHOLD, PANEL_HYSTERESIS, PANEL_TRIGGER, PANEL_PMOD, PANEL_POWER,
                      PANEL_HOLD}) {
            QVERIFY(!Visible(c));
        }
        Click(PANEL_PARA);
        QCOMPARE(int(zurid::para), 1);
        QVERIFY(Visible(PANEL_THRESHOLD) && !Visible(PANEL_BACKLIM));
    }

    void pmodCommitDimsPowerOrRegcnt() {
        ChooseRingItem(PANEL_PMOD, 0);
        QVERIFY(!Dimmed(PANEL_POWER) && Dimmed(PANEL_REGCNT));
        ChooseRingItem(PANEL_PMOD, 1);
        QVERIFY(Dimmed(PANEL_POWER) && !Dimmed(PANEL_REGCNT));
    }

    void portChangeWithFileSelectedKeepsThePanel() {
        Click(PANEL_FILE);
        SetCtrlVal(zurid::panel, PANEL_THRESHOLD, 33); // a loaded, unsent set
        ChooseRingItem(PANEL_COM, 0);                  // commit COM1 again
        QCOMPARE(TextVal(PANEL_STATUS), kLineOk);
        QCOMPARE(Sent().size(), std::size_t(1)); // the line check only
        QCOMPARE(Sent().at(0)[1], 7);
        QCOMPARE(IntVal(PANEL_THRESHOLD), 33);
    }

    void portChangeRereadsTheSelectedMemory() {
        Click(PANEL_EEPROM);
        ChooseRingItem(PANEL_COM, 0);
        QCOMPARE(Sent().size(), std::size_t(2));
        QCOMPARE(Sent().at(1)[1], 4);
        QCOMPARE(IntVal(PANEL_THRESHOLD), 90);
    }

    void closeDuringSettleDelayStartsNothing() {
        Click(PANEL_EEPROM);
        After(300, [] { CloseWindow(); });
        Click(PANEL_GO);
        QVERIFY(zurid::quitRequested);
        QCOMPARE(zurid::poll, 0);
        QVERIFY(NothingMoreSent(0));
    }
};

QTEST_MAIN(CommandsTest)
#include "test_commands.moc"
