// Every transaction against every fault the line and the sensor can produce: the outcome the
// operator sees (status text, popup), what changed and what did not, and that control came
// back after one reply wait of 3 s, not two.
#include "app/shell.h"
#include "gui/livedata.h"
#include "gui/state.h"
#include "link/blocks.h"
#include "platform/serial/rs232.h"
#include "platform/serial/utility.h"
#include "platform/ui/Dovarid10.h"
#include "support/popups.h"
#include "support/program.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using zurid::platform::Timer;

using namespace testing_support;

namespace {

enum class Txn { StartupCheck, PortChangeCheck, GetRam, GetEeprom, Send, DataLoop, GetBuff };
enum class Flt { Silent, Short, Long, WrongLineCheck, Late, Garbage, HangUp };

const char* const kTxnNames[] = {"start-up check", "port change", "get RAM", "get EEPROM",
                                 "send",           "data loop",   "getbuff"};
const char* const kFltNames[] = {
    "silent", "short", "long", "wrong line check", "late", "garbage", "hang-up mid-reply"};

const sim::Block kNew = {1, 2, 3, 0, 4, 0, 5, 6, 7, 0, 8, 0, 9, 10, 11};
const Bytes kGarbage = {0x13, 0x37, 0xC0, 0xDE, 0xFF, 0x00, 0x42};
// Control is back after one 3 s reply wait and the settle delay; a second wait would pass this.
constexpr double kControlBack = 4.5;

int OrderOf(Txn t) {
    switch (t) {
    case Txn::StartupCheck:
    case Txn::PortChangeCheck:
        return 7;
    case Txn::GetRam:
        return 3;
    case Txn::GetEeprom:
        return 4;
    case Txn::Send:
        return 1;
    case Txn::DataLoop:
        return 5;
    case Txn::GetBuff:
        return 6;
    }
    return 0;
}

int ReplyLength(int order) {
    switch (order) {
    case 7:
        return 3;
    case 3:
    case 4:
        return 15;
    case 5:
        return 9;
    case 6:
        return 16;
    default:
        return 0;
    }
}

// What the operator sees on the panel and what the program holds, to compare before/after.
struct Snapshot {
    std::vector<int> values;
    std::array<unsigned char, 15> pp{};
    std::array<unsigned char, 16> jumpbuf{};
    std::array<double, 500> history{};
    std::vector<bool> visible;

    static Snapshot Take() {
        Snapshot s;
        for (int c :
             {PANEL_THRESHOLD, PANEL_HYSTERESIS, PANEL_TRIGGER, PANEL_PMOD, PANEL_POWER, PANEL_HOLD,
              PANEL_BACKLIM, PANEL_REGCNT, PANEL_AVERAGE, PANEL_OUTMODE, PANEL_DEADTIMEMODE,
              PANEL_DEADTIME, PANEL_DAT0, PANEL_DAT1, PANEL_NORM, PANEL_EDGE, PANEL_WIN}) {
            s.values.push_back(IntVal(c));
        }
        s.pp = zurid::pp;
        s.jumpbuf = zurid::jumpbuf;
        s.history = zurid::alldata;
        for (int c : {PANEL_STRIPCHART, PANEL_GRAPH_ADJ, PANEL_GRAPH_JMPBUF}) {
            s.visible.push_back(Visible(c));
        }
        return s;
    }
    bool operator==(const Snapshot&) const = default;
};

} // namespace

class FaultsTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString com1; // a symbolic link to the current simulator's port
    std::unique_ptr<sim::SensorSim> sensor;

    // A fresh simulator behind COM1.
    void NewSensor(bool wireTime = false) {
        sensor = std::make_unique<sim::SensorSim>(sim::Config{
            .answerDelay = 0.002, .wireTime = wireTime, .ram = kRam, .eeprom = kEeprom});
        QVERIFY(sensor->start());
        QFile::remove(com1);
        QVERIFY(QFile::link(QString::fromStdString(sensor->path()), com1));
    }

    void Inject(Flt f, int order) {
        const unsigned mask = 1U << order;
        switch (f) {
        case Flt::Silent:
            sensor->setFault(sim::Fault::Silent, mask);
            break;
        case Flt::Short:
            sensor->setFault(sim::Fault::Short, mask);
            break;
        case Flt::Long:
            sensor->setFault(sim::Fault::Long, mask);
            break;
        case Flt::WrongLineCheck:
            sensor->setFault(sim::Fault::WrongLineCheck, mask);
            break;
        case Flt::Late:
            sensor->setFault(sim::Fault::Late, mask);
            break;
        case Flt::Garbage:
            sensor->setReply(order, kGarbage);
            break;
        case Flt::HangUp: {
            // The first bytes of the reply, then the line goes dead.
            const int len = std::max(1, ReplyLength(order) / 2);
            sensor->setReply(order, Bytes(static_cast<std::size_t>(len), 0xAA));
            sensor->setHangupAfter(1);
            break;
        }
        }
    }

  private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        com1 = dir.filePath("com1");
        NewSensor();
        QCOMPARE(AddPort(com1.toStdString()), 1);
    }

    void matrix_data() {
        QTest::addColumn<int>("txn");
        QTest::addColumn<int>("flt");
        for (int t = 0; t < 7; ++t) {
            for (int f = 0; f < 7; ++f) {
                QTest::addRow("%s / %s", kTxnNames[t], kFltNames[f]) << t << f;
            }
        }
    }

    void matrix() {
        QFETCH(int, txn);
        QFETCH(int, flt);
        const Txn t = static_cast<Txn>(txn);
        const Flt f = static_cast<Flt>(flt);
        const int order = OrderOf(t);
        NewSensor();
        PopupWatcher popups;
        zurid::pp.fill(0);
        zurid::alldata.fill(0.0);
        zurid::jumpbuf.fill(0);

        // A fault only matters where a reply is read; the wrong line-check bytes only there.
        const bool replyRead = order != 1;
        const bool hits = replyRead && (f != Flt::WrongLineCheck || order == 7);
        const bool sendOnDeadLine = t == Txn::Send && f == Flt::HangUp;

        double took = 0;
        if (t == Txn::StartupCheck) {
            Inject(f, order);
            QCOMPARE(StartProgram(), 0);
            QVERIFY(!sensor->requests().empty());
            // From the line check's arrival at the sensor: loading the panel does not count.
            took = sim::monotonicSeconds() - sensor->requests().at(0).t;
        } else {
            QCOMPARE(StartProgram(), 0);
            QCOMPARE(TextVal(PANEL_STATUS), kLineOk);
            if (t == Txn::GetEeprom) {
                Click(PANEL_EEPROM);
            }
            sensor->setRam(kNew);
            sensor->setEeprom(kNew);
            sensor->clearRequests();
            if (sendOnDeadLine) {
                sensor->hangUp();
            } else {
                Inject(f, order);
            }
            const Snapshot before = Snapshot::Take();
            const double t0 = Timer();
            switch (t) {
            case Txn::PortChangeCheck:
                ChooseRingItem(PANEL_COM, 0);
                break;
            case Txn::GetRam:
            case Txn::GetEeprom:
                Click(PANEL_GET);
                break;
            case Txn::Send:
                Click(PANEL_SEND);
                break;
            case Txn::DataLoop:
                // A loop that is not hit runs on until it is stopped.
                // (start-up made two replies already).
                ClickWhen(PANEL_STOP, [this, &popups] {
                    return sensor->replyCount() >= 5 || !popups.popups.empty();
                });
                Click(PANEL_GO);
                QTest::qWait(20); // let the stop click land while this panel exists
                break;
            case Txn::GetBuff:
                Click(PANEL_GETBUFF);
                break;
            case Txn::StartupCheck:
                break;
            }
            took = Timer() - t0;
            const double settle = t == Txn::GetEeprom ? 1.5 : 0.1;
            if (hits || sendOnDeadLine) {
                QVERIFY2(took < kControlBack + settle, qPrintable(QString::number(took)));
                QVERIFY(Snapshot::Take() == before); // nothing changed
            }
        }

        if (hits || sendOnDeadLine) {
            QCOMPARE(popups.popups.size(), std::size_t(1));
            QCOMPARE(popups.popups[0].title, QString("INFO"));
            QCOMPARE(TextVal(PANEL_STATUS), QString("TIMEOUT"));
            QCOMPARE(zurid::poll, 0);
            if (order == 7) { // no parameter read after a bad line check
                for (const Bytes& b : Frames(*sensor)) {
                    QCOMPARE(int(b.at(1)), 7);
                }
            }
            if (t == Txn::StartupCheck) {
                QVERIFY2(took < kControlBack, qPrintable(QString::number(took)));
            }
        } else {
            QVERIFY(popups.popups.empty());
            QCOMPARE(TextVal(PANEL_STATUS), kLineOk);
            if (t == Txn::GetRam || t == Txn::GetEeprom) {
                QCOMPARE(IntVal(PANEL_THRESHOLD), 1);
                QCOMPARE(int(zurid::pp[14]), 11);
            } else if (t == Txn::Send) {
                QVERIFY(sensor->waitForRequests(1, 1.0));
                QCOMPARE(sensor->ram(), kRam); // what the panel showed went back
            } else if (t == Txn::DataLoop) {
                QVERIFY(zurid::alldata[495] != 0.0 || zurid::alldata[496] != 0.0);
            } else if (t == Txn::GetBuff) {
                QVERIFY(Visible(PANEL_GRAPH_JMPBUF));
            }
        }
        StopProgram();
    }

    // A line-check answer with more than AA 01 00 fails however its bytes arrive, and no
    // parameter read follows; a good answer at the wire's pace passes.
    void lineCheckAnswerTooLongFailsHoweverItArrives_data() {
        QTest::addColumn<bool>("wireTime");
        QTest::addColumn<int>("fault");
        QTest::addColumn<double>("splitSeconds");
        QTest::addColumn<bool>("passes");
        const auto row = [](const char* name, bool wire, sim::Fault f, double split, bool ok) {
            QTest::newRow(name) << wire << int(f) << split << ok;
        };
        row("a byte more, in one piece", false, sim::Fault::Long, 0, false);
        row("a byte more, at the wire's pace", true, sim::Fault::Long, 0, false);
        row("a byte more, 3 ms after the answer", true, sim::Fault::SplitLong, 0.003, false);
        row("a byte more, 5 ms after the answer", true, sim::Fault::SplitLong, 0.005, false);
        row("a byte more, 5 ms after, no wire time", false, sim::Fault::SplitLong, 0.005, false);
        row("after a stray answer", true, sim::Fault::StrayPrefix, 0, false);
        row("a good answer at the wire's pace", true, sim::Fault::None, 0, true);
    }

    void lineCheckAnswerTooLongFailsHoweverItArrives() {
        QFETCH(bool, wireTime);
        QFETCH(int, fault);
        QFETCH(double, splitSeconds);
        QFETCH(bool, passes);
        NewSensor(wireTime);
        sensor->setFault(static_cast<sim::Fault>(fault), 1U << 7);
        sensor->setSplitSeconds(splitSeconds);
        PopupWatcher popups;
        QCOMPARE(StartProgram(), 0);
        if (passes) {
            QCOMPARE(TextVal(PANEL_STATUS), kLineOk);
            QVERIFY(popups.popups.empty());
        } else {
            QCOMPARE(TextVal(PANEL_STATUS), QString("TIMEOUT"));
            QCOMPARE(popups.popups.size(), std::size_t(1));
            QCOMPARE(CountOrder(*sensor, 3), std::size_t(0));
        }
        StopProgram();
    }

    void hangUpThenNewPortRecovers() {
        NewSensor();
        PopupWatcher popups;
        QCOMPARE(StartProgram(), 0);
        sensor->setHangupAfter(2);
        Click(PANEL_GO);
        QCOMPARE(TextVal(PANEL_STATUS), QString("TIMEOUT"));
        NewSensor(); // the adapter is plugged in again
        ChooseRingItem(PANEL_COM, 0);
        QCOMPARE(TextVal(PANEL_STATUS), kLineOk);
        ClickWhen(PANEL_STOP, [this] { return sensor->replyCount() >= 5; });
        Click(PANEL_GO);
        QVERIFY(sensor->replyCount() >= 5);
        QCOMPARE(popups.popups.size(), std::size_t(1));
        StopProgram();
    }
};

QTEST_MAIN(FaultsTest)
#include "test_faults.moc"
