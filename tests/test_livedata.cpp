// The data loop, the displays, the strip-chart history, the graph views and the jump buffer,
// driven through the real panel against the simulator.
#include "app/shell.h"
#include "gui/livedata.h"
#include "gui/state.h"
#include "link/blocks.h"
#include "platform/serial/eventpump.h"
#include "platform/serial/rs232.h"
#include "platform/serial/utility.h"
#include "platform/ui/Dovarid10.h"
#include "platform/ui/qtaccess.h"
#include "support/cputime.h"
#include "support/popups.h"
#include "support/program.h"

#include <QChartView>
#include <QComboBox>
#include <QLineSeries>
#include <QTest>

using zurid::platform::GetInQLen;
using zurid::platform::ProcessSystemEvents;
using zurid::platform::Timer;

using namespace testing_support;

namespace {

QList<QAbstractSeries*> SeriesOf(int control) {
    auto* view = qobject_cast<QChartView*>(Ctrl(control));
    return view != nullptr ? view->chart()->series() : QList<QAbstractSeries*>();
}

// Index and value of the highest point of a plot.
QPointF Peak(QAbstractSeries* s) {
    QPointF best(-1, -1);
    for (const QPointF& p : static_cast<QXYSeries*>(s)->points()) {
        if (p.y() > best.y()) {
            best = p;
        }
    }
    return best;
}

} // namespace

class LiveDataTest : public QObject {
    Q_OBJECT
    sim::SensorSim sensor{sim::Config{.answerDelay = 0.002, .wireTime = false}};
    PopupWatcher* popups = nullptr;

    // Presses GO and STOP after `ms`; returns when the loop has ended.
    void RunLoopFor(int ms) {
        After(ms, [] { Click(PANEL_STOP); });
        Click(PANEL_GO);
    }
    std::size_t DataRequests() { return CountOrder(sensor, 5); }

  private slots:
    void initTestCase() { ConnectAsCom1(sensor); }
    void init() {
        popups = new PopupWatcher(this);
        ResetSensor(sensor, kRam);
        zurid::alldata.fill(0.0);
        QCOMPARE(StartProgram(), 0);
        sensor.clearRequests();
    }
    void cleanup() {
        StopProgram();
        delete popups;
    }

    void silentSensorEndsTheLoopWithTimeout() {
        sensor.setLiveData(sim::DataBlock{10, 20, 85, 0, 0, 0, 0, 0, 0});
        After(400, [this] { sensor.setFault(sim::Fault::Silent); });
        const double t0 = Timer();
        Click(PANEL_GO);
        const double took = Timer() - t0;
        QVERIFY2(took > 3.3 && took < 4.5, qPrintable(QString::number(took)));
        QCOMPARE(popups->popups.size(), std::size_t(1));
        QCOMPARE(popups->popups[0].title, QString("INFO"));
        QCOMPARE(TextVal(PANEL_STATUS), QString("TIMEOUT"));
        QCOMPARE(zurid::poll, 0);
        QCOMPARE(IntVal(PANEL_DAT0), 10); // the last good values stay
        QCOMPARE(IntVal(PANEL_NORM), 85);
    }

    void stopDuringAReplyWaitEndsQuietly() {
        sensor.setFault(sim::Fault::Silent);
        const double t0 = Timer();
        RunLoopFor(500);
        const double took = Timer() - t0;
        QVERIFY2(took < 2.5, qPrintable(QString::number(took))); // not the 3 s limit
        QVERIFY(popups->popups.empty());
        QCOMPARE(TextVal(PANEL_STATUS), kLineOk);
    }

    void wrongReplyLengthEndsTheLoop() {
        sensor.setReply(5, Bytes(10, 1));
        Click(PANEL_GO);
        QCOMPARE(popups->popups.size(), std::size_t(1));
        QCOMPARE(TextVal(PANEL_STATUS), QString("TIMEOUT"));
        QCOMPARE(DataRequests(), std::size_t(1));
        QCOMPARE(IntVal(PANEL_DAT0), 0);
    }

    void historyFillsOldestFirst() {
        sensor.setLiveData(sim::DataBlock{11, 22, 33, 0, 0, 0, 0, 0, 0});
        SetCtrlVal(zurid::panel, PANEL_THRESHOLD, 44);
        SetCtrlVal(zurid::panel, PANEL_HYSTERESIS, 55);
        ClickWhen(PANEL_STOP, [] { return zurid::alldata[495] != 0.0; });
        Click(PANEL_GO);
        for (int i = 0; i < 495; ++i) {
            QCOMPARE(zurid::alldata[i], 0.0);
        }
        const double sample[] = {11, 22, 33, 44, 55};
        for (int t = 0; t < 5; ++t) {
            QCOMPARE(zurid::alldata[495 + t], sample[t]);
        }
        QCOMPARE(int(zurid::threshold), 44);
    }

    void historyDropsTheOldestAfterAHundredSamples() {
        // One sample per cycle: after 101 cycles the first has dropped out.
        int cycles = 0;
        sensor.setLiveData(sim::DataBlock{1, 0, 0, 0, 0, 0, 0, 0, 0});
        sensor.setRequestHook([this, &cycles](const sim::Request& r) {
            if (r.bytes.size() > 1 && r.bytes[1] == 5) {
                ++cycles;
                sensor.setLiveData(
                    sim::DataBlock{static_cast<std::uint8_t>(cycles + 1), 0, 0, 0, 0, 0, 0, 0, 0});
            }
        });
        ClickWhen(
            PANEL_STOP, [] { return zurid::alldata[495] >= 101.0; }, 30000);
        Click(PANEL_GO);
        sensor.setRequestHook(nullptr);
        QCOMPARE(zurid::alldata[0], 2.0);     // DAT0 of the second reply
        QCOMPARE(zurid::alldata[495], 101.0); // of the 101st
    }

    void percentagesOfTheIn0Period_data() {
        QTest::addColumn<int>("edge");
        QTest::addColumn<int>("in0");
        QTest::addColumn<int>("in1");
        QTest::addColumn<int>("edgePct");
        QTest::addColumn<int>("winPct");
        QTest::newRow("300/180/90") << 90 << 300 << 180 << 30 << 60;
        QTest::newRow("truncates") << 2 << 3 << 0 << 66 << 0;
        QTest::newRow("no period") << 5 << 0 << 7 << 0 << 0;
        QTest::newRow("window longer than the period") << 0 << 100 << 300 << 0 << 255;
    }
    void percentagesOfTheIn0Period() {
        QFETCH(int, edge);
        QFETCH(int, in0);
        QFETCH(int, in1);
        QFETCH(int, edgePct);
        QFETCH(int, winPct);
        auto lo = [](int v) { return static_cast<std::uint8_t>(v & 0xFF); };
        auto hi = [](int v) { return static_cast<std::uint8_t>(v >> 8); };
        sensor.setLiveData(
            sim::DataBlock{1, 2, 3, lo(edge), hi(edge), lo(in0), hi(in0), lo(in1), hi(in1)});
        ClickWhen(PANEL_STOP, [this] { return DataRequests() >= 2 && IntVal(PANEL_DAT0) == 1; });
        Click(PANEL_GO);
        QCOMPARE(IntVal(PANEL_EDGE), edgePct);
        QCOMPARE(IntVal(PANEL_WIN), winPct);
        QVERIFY(popups->popups.empty());
    }

    void sourceChoosesGraphDisplaysAndTraces() {
        ChooseRingItem(PANEL_SOURCE, 1);
        QCOMPARE(zurid::source, 1);
        QVERIFY(Visible(PANEL_STRIPCHART) && !Visible(PANEL_GRAPH_ADJ));
        QVERIFY(Visible(PANEL_NORM) && !Visible(PANEL_EDGE));
        QList<QAbstractSeries*> traces = SeriesOf(PANEL_STRIPCHART);
        QCOMPARE(traces.size(), 5);
        const bool normView[] = {false, false, true, true, true};
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(traces[i]->isVisible(), normView[i]);
        }
        ChooseRingItem(PANEL_SOURCE, 2);
        QVERIFY(!Visible(PANEL_STRIPCHART) && Visible(PANEL_GRAPH_ADJ));
        QVERIFY(!Visible(PANEL_DAT0) && !Visible(PANEL_NORM_DECO) && Visible(PANEL_WIN));
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(traces[i]->isVisible(), normView[i]); // untouched
        }
        ChooseRingItem(PANEL_SOURCE, 0);
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(traces[i]->isVisible(), i < 2);
        }
        QVERIFY(Visible(PANEL_STRIPCHART) && Visible(PANEL_DAT0) && !Visible(PANEL_WIN));
    }

    void adjustmentViewMarksEdgeAndWindow() {
        sensor.setLiveData(sim::DataBlock{1, 2, 3, 90, 0, 44, 1, 44, 1}); // edge 30 %, window 100 %
        ChooseRingItem(PANEL_SOURCE, 2);
        ClickWhen(PANEL_STOP, [] { return SeriesOf(PANEL_GRAPH_ADJ).size() == 2; });
        const double t0 = Timer();
        Click(PANEL_GO);
        QVERIFY(Timer() - t0 >= 1.0); // a cycle of this view takes at least its delay
        const QList<QAbstractSeries*> plots = SeriesOf(PANEL_GRAPH_ADJ);
        QCOMPARE(plots.size(), 2);
        QCOMPARE(static_cast<QXYSeries*>(plots[0])->count(), 101);
        QCOMPARE(Peak(plots[0]), QPointF(30, 150));
        QCOMPARE(Peak(plots[1]), QPointF(100, 150)); // a marker at exactly 100 is drawn
        QCOMPARE(static_cast<QXYSeries*>(plots[0])->color(), QColor(QRgb(0x0000FF)));
        QCOMPARE(static_cast<QXYSeries*>(plots[1])->color(), QColor(QRgb(0xFF0000)));
    }

    void jumpBufferReadShowsItsGraphAndEndsTheLoop() {
        sim::JumpBuffer jb{};
        for (int i = 0; i < 16; ++i) {
            jb[i] = static_cast<std::uint8_t>(60 + 5 * i);
        }
        sensor.setJumpBuffer(jb);
        SetCtrlVal(zurid::panel, PANEL_THRESHOLD, 120);
        ClickWhen(PANEL_GETBUFF, [this] { return DataRequests() >= 2; });
        Click(PANEL_GO); // returns once GETBUFF has ended the loop
        QCOMPARE(zurid::poll, 0);
        QVERIFY(Visible(PANEL_GRAPH_JMPBUF) && !Visible(PANEL_STRIPCHART));
        for (int i = 0; i < 16; ++i) {
            QCOMPARE(int(zurid::jumpbuf[i]), 60 + 5 * i);
        }
        const QList<QAbstractSeries*> plots = SeriesOf(PANEL_GRAPH_JMPBUF);
        QCOMPARE(plots.size(), 2);
        QCOMPARE(static_cast<QXYSeries*>(plots[0])->at(15), QPointF(15, 135));
        QCOMPARE(static_cast<QXYSeries*>(plots[1])->at(7), QPointF(7, 120));
        QCOMPARE(static_cast<QXYSeries*>(plots[1])->color(), QColor(Qt::black));

        // A 15-byte answer times out and changes nothing.
        sensor.setReply(6, Bytes(15, 1));
        Click(PANEL_GETBUFF);
        QCOMPARE(popups->popups.size(), std::size_t(1));
        QCOMPARE(int(zurid::jumpbuf[0]), 60);
        QVERIFY(Visible(PANEL_GRAPH_JMPBUF));

        // GO brings back the source's graph.
        RunLoopFor(300);
        QVERIFY(!Visible(PANEL_GRAPH_JMPBUF) && Visible(PANEL_STRIPCHART));
    }

    void closingTheWindowEndsTheLoop() {
        After(300, [] { CloseWindow(); });
        Click(PANEL_GO);
        QVERIFY(zurid::quitRequested);
        QCOMPARE(zurid::poll, 0);
        QVERIFY(PanelWidget(zurid::panel)->isVisible()); // until the event loop ends
    }

    void hangUpEndsTheLoopWithoutSpinning() {
        // The line that goes dead is a second sensor's, on a port found after start-up; COM1
        // stays for the other slots.
        sim::SensorSim pulled{sim::Config{.answerDelay = 0.002, .wireTime = false, .ram = kRam}};
        QVERIFY(pulled.start());
        const int port = AddPort(pulled.path());
        auto* ring = qobject_cast<QComboBox*>(Ctrl(PANEL_COM));
        QVERIFY(ring != nullptr);
        QTest::mouseClick(ring, Qt::LeftButton); // opening the list rescans the ports
        ring->hidePopup();
        QVERIFY(ring->count() >= port);
        ChooseRingItem(PANEL_COM, port - 1);
        QCOMPARE(TextVal(PANEL_STATUS), kLineOk);

        pulled.setHangupAfter(3);
        Click(PANEL_GO);
        QCOMPARE(TextVal(PANEL_STATUS), QString("TIMEOUT"));
        QCOMPARE(popups->popups.size(), std::size_t(1));
        QVERIFY(GetInQLen(zurid::com) < 0);
        const double cpu0 = CpuSeconds();
        const double t0 = Timer();
        while (Timer() - t0 < 1.0) {
            ProcessSystemEvents();
        }
        const double share = (CpuSeconds() - cpu0) / (Timer() - t0);
        QVERIFY2(share < 0.2, qPrintable(QString::number(share)));

        // The operator chooses the first port again: its sensor brings the line back.
        ChooseRingItem(PANEL_COM, 0);
        QCOMPARE(TextVal(PANEL_STATUS), kLineOk);
        sensor.clearRequests();
        ClickWhen(PANEL_STOP, [this] { return DataRequests() >= 3; });
        Click(PANEL_GO);
        QVERIFY(DataRequests() >= 3);
        QCOMPARE(popups->popups.size(), std::size_t(1));
    }
};

QTEST_MAIN(LiveDataTest)
#include "test_livedata.moc"
