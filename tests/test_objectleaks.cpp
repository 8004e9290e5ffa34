// Qt objects left behind: loading and discarding the panel, and running the data loop, must not
// leave objects alive that nothing owns. Counts live QObjects through Qt's exported object
// hooks (the table debugging tools use), so a leak shows in any build, not only a sanitized one.
#include "app/shell.h"
#include "platform/ui/Dovarid10.h"
#include "platform/ui/userint.h"
#include "support/popups.h"
#include "support/program.h"

#include <QApplication>
#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <vector>

// Qt's hook table: entry 0 its version, 3 called from every QObject constructor, 4 from every
// destructor.
extern quintptr qtHookData[];

namespace {

constexpr int kHookVersion = 0;
constexpr int kAddObject = 3;
constexpr int kRemoveObject = 4;

long liveObjects = 0;

void Added(QObject*) {
    ++liveObjects;
}
void Removed(QObject*) {
    --liveObjects;
}

// Live objects once everything scheduled for deletion is gone and the count holds still: on a
// loaded machine some deletions come a few event passes late.
long Settled() {
    long last = -1;
    for (int steady = 0, pass = 0; steady < 3 && pass < 100; ++pass) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QTest::qWait(20);
        steady = liveObjects == last ? steady + 1 : 0;
        last = liveObjects;
    }
    return liveObjects;
}

} // namespace

using namespace testing_support;

class ObjectLeaksTest : public QObject {
    Q_OBJECT
    sim::SensorSim sensor{sim::Config{.answerDelay = 0.002, .wireTime = false}};

    static void LoadAndDiscard() {
        RegisterCallbacks(zurid::CallbackTable());
        const int panel = LoadPanel(0, "Dovarid10.uir", PANEL);
        QVERIFY(panel > 0);
        DisplayPanel(panel);
        QCoreApplication::processEvents();
        DiscardPanel(panel);
    }

    static void RunLoopFor(int ms) {
        After(ms, [] { Click(PANEL_STOP); });
        Click(PANEL_GO);
    }

  private slots:
    void initTestCase() {
        QVERIFY(qtHookData[kHookVersion] >= 1);
        qtHookData[kAddObject] = reinterpret_cast<quintptr>(&Added);
        qtHookData[kRemoveObject] = reinterpret_cast<quintptr>(&Removed);
        ConnectAsCom1(sensor);
    }
    void cleanupTestCase() {
        qtHookData[kAddObject] = 0;
        qtHookData[kRemoveObject] = 0;
    }

    void panelLoadsLeaveNothingBehind() {
        LoadAndDiscard(); // Qt's own caches fill on first use
        const long before = Settled();
        for (int i = 0; i < 3; ++i) {
            LoadAndDiscard();
        }
        QCOMPARE(Settled(), before);
    }

    void dataCyclesAllocateNoObjects() {
        PopupWatcher popups;
        QCOMPARE(StartProgram(), 0);
        RunLoopFor(300);
        const long before = Settled();
        RunLoopFor(1000);
        QCOMPARE(Settled(), before);
        QVERIFY(popups.popups.empty());
        StopProgram();
    }

    // The adjustment view replaces its two plots every cycle. Run from the program's event loop,
    // as GO is, the plots it replaces must go while the loop runs, not only once it has ended.
    void adjustmentCyclesAllocateNoObjects() {
        PopupWatcher popups;
        QCOMPARE(StartProgram(), 0);
        ChooseRingItem(PANEL_SOURCE, 2);
        // One timer samples, so that the sampling itself adds and removes nothing. The loop
        // runs until there are enough samples however slowly the machine runs it.
        constexpr std::size_t kSamples = 9;
        std::vector<long> samples;
        samples.reserve(kSamples);
        QTimer sampler;
        sampler.setInterval(1000);
        QEventLoop program;
        QObject::connect(&sampler, &QTimer::timeout, [&] {
            samples.push_back(liveObjects);
            if (samples.size() == kSamples) {
                sampler.stop();
                Click(PANEL_STOP);
                After(100, [&] { program.quit(); });
            }
        });
        sampler.start();
        After(0, [] { Click(PANEL_GO); });
        program.exec();
        QCOMPARE(samples.size(), kSamples);
        const long first = samples[2]; // once the loop has drawn a few times
        QVERIFY2(samples.back() - first < 3,
                 qPrintable(QString("%1 -> %2").arg(first).arg(samples.back())));
        QVERIFY(popups.popups.empty());
        StopProgram();
    }
};

QTEST_MAIN(ObjectLeaksTest)
#include "test_objectleaks.moc"
