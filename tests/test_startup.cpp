// Start-up against the simulator: line check, the parameter read that follows it, the
// time-out path, and the status texts of ports that cannot be opened.
#include "app/shell.h"
#include "gui/state.h"
#include "gui/transfer.h"
#include "link/blocks.h"
#include "link/frames.h"
#include "platform/serial/utility.h"
#include "platform/ui/Dovarid10.h"
#include "platform/ui/qtaccess.h"
#include "support/popups.h"
#include "support/program.h"

#include <QTest>
#include <QWidget>

using zurid::platform::Timer;

using namespace testing_support;

namespace {
// THRESHOLD 100, HYSTERESIS 120, POWER code 23, PMOD STAT, HOLD 1, TRIGGER EXT, BACKLIM 20,
// REGCNT 50, AVERAGE 2, DEAD TIME MODE ms, DEAD TIME 7, OUTMODE INVERSE, spares 12 13 14.
const sim::Block kExtTriggerRam = {100, 120, 23, 0, 1, 1, 20, 50, 2, 1, 7, 1, 12, 13, 14};
} // namespace

class StartupTest : public QObject {
    Q_OBJECT
    // Without wire time, so that a four-byte answer is all queued when the wait ends.
    sim::SensorSim sensor{sim::Config{.answerDelay = 0.002, .wireTime = false}};
    PopupWatcher* popups = nullptr;

  private slots:
    void initTestCase() { ConnectAsCom1(sensor); }
    void init() {
        popups = new PopupWatcher(this);
        ResetSensor(sensor, kExtTriggerRam);
        sensor.clearRequests();
        zurid::pp.fill(0);
    }
    void cleanup() {
        StopProgram();
        delete popups;
    }

    void goodLineReadsRamOntoPanel() {
        QCOMPARE(StartProgram(), 0);
        const auto frames = Frames(sensor);
        QCOMPARE(frames.size(), std::size_t(2));
        QCOMPARE(frames[0], Request(7, Zeros(15)));
        QCOMPARE(frames[1], Request(3, Zeros(15)));
        QCOMPARE(TextVal(PANEL_STATUS), kLineOk);
        QCOMPARE(kLineOk.size(), 41);
        QVERIFY(kLineOk.startsWith("LINE OK ") && kLineOk.endsWith(" V1.0"));
        QVERIFY(popups->popups.empty());

        QCOMPARE(IntVal(PANEL_THRESHOLD), 100);
        QCOMPARE(IntVal(PANEL_HYSTERESIS), 120);
        QCOMPARE(IntVal(PANEL_POWER), 50); // code 23 in percent
        QCOMPARE(IntVal(PANEL_PMOD), 0);
        QVERIFY(!Dimmed(PANEL_POWER));
        QVERIFY(Dimmed(PANEL_REGCNT));
        QCOMPARE(IntVal(PANEL_TRIGGER), 1);
        QCOMPARE(IntVal(PANEL_BACKLIM), 20);
        QCOMPARE(IntVal(PANEL_REGCNT), 50);
        QCOMPARE(IntVal(PANEL_DEADTIME), 7);
        QCOMPARE(Label(PANEL_DEADTIME), QString("DEAD TIME[ms]"));
        QCOMPARE(RingTexts(PANEL_DEADTIME).at(7), QString("14"));
        QCOMPARE(RingTexts(PANEL_DEADTIME).size(), 16);
        for (int i = 0; i < 15; ++i) {
            QCOMPARE(zurid::pp[i], kExtTriggerRam[i]);
        }
        QVERIFY(Visible(PANEL_THRESHOLD));
        QVERIFY(!Visible(PANEL_BACKLIM));
        QVERIFY(PanelWidget(zurid::panel)->isVisible());
    }

    void badLineIsReportedBeforeThePanelShows_data() {
        QTest::addColumn<QByteArray>("reply"); // empty: silent
        QTest::addColumn<bool>("waitsFullLimit");
        QTest::newRow("silent") << QByteArray() << true;
        QTest::newRow("AA 01 01") << QByteArray("\xAA\x01\x01", 3) << false;
        QTest::newRow("AA 02 00") << QByteArray("\xAA\x02\x00", 3) << false;
        QTest::newRow("55 01 00") << QByteArray("\x55\x01\x00", 3) << false;
        QTest::newRow("four bytes") << QByteArray("\xAA\x01\x00\x00", 4) << false;
        QTest::newRow("two bytes") << QByteArray("\xAA\x01", 2) << true;
    }
    void badLineIsReportedBeforeThePanelShows() {
        QFETCH(QByteArray, reply);
        QFETCH(bool, waitsFullLimit);
        sensor.setReply(7, Bytes(reply.begin(), reply.end()));
        bool panelShownAtPopup = true;
        double popupAt = 0;
        popups->onPopup = [&](const SeenPopup&) {
            panelShownAtPopup = PanelWidget(zurid::panel)->isVisible();
            popupAt = sim::monotonicSeconds();
        };
        QCOMPARE(StartProgram(), 0);
        QCOMPARE(popups->popups.size(), std::size_t(1));
        // From the line check's arrival at the sensor, so that loading the panel does not count.
        const double popupAfter = popupAt - sensor.requests().at(0).t;
        if (waitsFullLimit) {
            QVERIFY2(popupAfter > 2.9 && popupAfter < 4.5, qPrintable(QString::number(popupAfter)));
        } else {
            QVERIFY2(popupAfter < 2.0, qPrintable(QString::number(popupAfter)));
        }
        QCOMPARE(popups->popups[0].title, QString("INFO"));
        QCOMPARE(popups->popups[0].text,
                 QString(" ATTENTION! \n \n TIMEOUT \n NO SERIAL CONNECTION TO SENSOR"));
        QVERIFY(!panelShownAtPopup);
        QCOMPARE(TextVal(PANEL_STATUS), QString("TIMEOUT"));
        QCOMPARE(Frames(sensor).size(), std::size_t(1)); // no parameter read
        QVERIFY(PanelWidget(zurid::panel)->isVisible());
    }

    void portErrorsShowTheirTextAtOnce() {
        QCOMPARE(StartProgram(), 0);
        sensor.clearRequests();
        const int missing = AddPort("/dev/zurid-no-such-device");
        struct Case {
            int port;
            const char* text;
        };
        for (const Case& c :
             {Case{999, "Invalid port number"}, Case{missing, "No serial port found"}}) {
            const double t0 = Timer();
            zurid::InitRS232(c.port);
            QVERIFY(Timer() - t0 < 2.0); // no wait for the 3 s reply limit
            QCOMPARE(TextVal(PANEL_STATUS), QString(c.text));
            QCOMPARE(QString::fromStdString(zurid::szStatus), QString(c.text));
        }
        QVERIFY(popups->popups.empty());
        QVERIFY(Frames(sensor).empty());
    }

    void errorCodesHaveTheirTexts() {
        const std::vector<std::pair<int, QString>> expected = {
            {-1, "Unknown system error"}, {-2, "Invalid port number"},
            {-3, "Port is not open"},     {-4, "Unknown I/0 error"},
            {-5, "RS-232 error!"},        {-6, "No serial port found"},
            {-7, "Cannot open port"},     {-99, "Timeout"},
            {-8, "RS-232 error!"},
        };
        for (const auto& [code, text] : expected) {
            QCOMPARE(QString(zurid::ComErrorText(code)), text);
        }
    }
};

QTEST_MAIN(StartupTest)
#include "test_startup.moc"
