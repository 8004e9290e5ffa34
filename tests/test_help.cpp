// Right-click help through the real panel: each control's own text, verbatim, under "Info";
// the decorations follow the parameter group on show; a right click changes nothing, and
// during the data loop it holds the loop still until the popup is closed. The time-out popup
// is the one message titled "INFO".
#include "app/helptexts.h"
#include "gui/state.h"
#include "platform/ui/Dovarid10.h"
#include "support/panelstate.h"
#include "support/popups.h"
#include "support/program.h"

#include <QTest>

#include <set>

using namespace testing_support;
using namespace zurid;

namespace {

struct Expected {
    int control;
    const char* text;
};

// Which text each control shows, as the operator documentation pairs them.
const Expected kControls[] = {
    {PANEL_COM, InfoEditConnect},
    {PANEL_SEND, InfoButtonSend},
    {PANEL_GET, InfoButtonGet},
    {PANEL_GO, InfoButtonGo},
    {PANEL_STOP, InfoButtonStop},
    {PANEL_GETBUFF, InfoButtonGetBuff},
    {PANEL_RAM, InfoSelectMEM},
    {PANEL_EEPROM, InfoSelectMEM},
    {PANEL_FILE, InfoSelectMEM},
    {PANEL_PARA, InfoSwitchPara},
    {PANEL_SOURCE, InfoSelectSource},
    {PANEL_THRESHOLD, InfoEditThreshold},
    {PANEL_HYSTERESIS, InfoEditHysteresis},
    {PANEL_TRIGGER, InfoEditTrigger},
    {PANEL_PMOD, InfoEditPmod},
    {PANEL_POWER, InfoEditPower},
    {PANEL_HOLD, InfoEditHold},
    {PANEL_DAT0, InfoDispDat0},
    {PANEL_DAT1, InfoDispDat1},
    {PANEL_NORM, InfoDispNORM},
    {PANEL_STATUS, InfoStatus},
    {PANEL_STRIPCHART, InfoGraph},
    // Shown after switching the group, the source, or reading the jump buffer.
    {PANEL_BACKLIM, InfoEditBacklim},
    {PANEL_REGCNT, InfoEditRegcnt},
    {PANEL_AVERAGE, InfoEditAverage},
    {PANEL_OUTMODE, InfoEditOutmode},
    {PANEL_DEADTIMEMODE, InfoEditDeadTimeMode},
    {PANEL_DEADTIME, InfoEditDeadTime},
    {PANEL_EDGE, InfoDispEDGE},
    {PANEL_WIN, InfoDispWIN},
    {PANEL_GRAPH_ADJ, InfoGraphData2},
    {PANEL_GRAPH_JMPBUF, InfoGraphData1},
};

const int kDecorations[] = {PANEL_DECO1, PANEL_DECO2, PANEL_DECO3,
                            PANEL_DECO4, PANEL_DECO5, PANEL_DECO6};
const char* const kDecoBasic[] = {InfoEditThreshold, InfoEditHysteresis, InfoEditTrigger,
                                  InfoEditHold,      InfoEditPmod,       InfoEditPower};
const char* const kDecoAdditional[] = {InfoEditBacklim, InfoEditRegcnt,       InfoEditAverage,
                                       InfoEditOutmode, InfoEditDeadTimeMode, InfoEditDeadTime};

bool IsIn(int control, std::initializer_list<int> set) {
    return std::find(set.begin(), set.end(), control) != set.end();
}

// Brings a hidden control into view the way the operator would.
void Reveal(int control) {
    if (IsIn(control, {PANEL_BACKLIM, PANEL_REGCNT, PANEL_AVERAGE, PANEL_OUTMODE,
                       PANEL_DEADTIMEMODE, PANEL_DEADTIME, PANEL_THRESHOLD, PANEL_HYSTERESIS,
                       PANEL_TRIGGER, PANEL_PMOD, PANEL_POWER, PANEL_HOLD})) {
        Click(PANEL_PARA);
    } else if (IsIn(control, {PANEL_EDGE, PANEL_WIN, PANEL_GRAPH_ADJ})) {
        ChooseRingItem(PANEL_SOURCE, 2);
    } else if (control == PANEL_GRAPH_JMPBUF) {
        Click(PANEL_GETBUFF);
    }
}

} // namespace

class HelpTest : public QObject {
    Q_OBJECT
    sim::SensorSim sensor{sim::Config{.answerDelay = 0.002, .wireTime = false}};
    PopupWatcher* popups = nullptr;

    std::size_t DataRequests() { return CountOrder(sensor, 5); }
    // Right click on `control`; the one popup it opened, or an empty title if none or more.
    SeenPopup HelpOf(int control) {
        const std::size_t before = popups->popups.size();
        RightClick(control);
        if (popups->popups.size() != before + 1) {
            return {QStringLiteral("(%1 popups)").arg(popups->popups.size() - before), {}, 0};
        }
        return popups->popups.back();
    }

  private slots:
    void initTestCase() { ConnectAsCom1(sensor); }
    void init() {
        popups = new PopupWatcher(this);
        ResetSensor(sensor, kRam);
        QCOMPARE(StartProgram(), 0);
        sensor.clearRequests();
    }
    void cleanup() {
        StopProgram();
        delete popups;
    }

    void everyControlShowsItsOwnTextAndChangesNothing() {
        std::set<int> covered;
        for (const Expected& e : kControls) {
            if (!Visible(e.control)) {
                Reveal(e.control);
            }
            QVERIFY2(Visible(e.control), qPrintable(QString::number(e.control)));
            const QStringList controls = ControlState();
            const QStringList program = ProgramState();
            sensor.clearRequests();

            const SeenPopup p = HelpOf(e.control);
            QCOMPARE(p.title, QString("Info"));
            QCOMPARE(p.text, QString::fromLatin1(e.text));
            QCOMPARE(ControlState(), controls);
            QCOMPARE(ProgramState(), program);
            QVERIFY(Frames(sensor).empty());
            covered.insert(e.control);
        }
        // Every control that the program gives a help text is among those checked here.
        for (const HelpEntry& h : HelpTable) {
            QVERIFY2(covered.count(h.control) == 1, h.callback);
        }
    }

    void decorationsFollowTheGroupOnShow() {
        QCOMPARE(int(para), 1);
        for (int round = 0; round < 3; ++round) {
            const bool basic = round != 1;
            QCOMPARE(Visible(PANEL_THRESHOLD), basic);
            for (std::size_t i = 0; i < std::size(kDecorations); ++i) {
                const QStringList controls = ControlState();
                const SeenPopup p = HelpOf(kDecorations[i]);
                QCOMPARE(p.title, QString("Info"));
                QCOMPARE(p.text, QString::fromLatin1(basic ? kDecoBasic[i] : kDecoAdditional[i]));
                QCOMPARE(ControlState(), controls);
            }
            Click(PANEL_PARA);
        }
        QVERIFY(Frames(sensor).empty());
    }

    void helpDuringTheDataLoopHoldsItStill() {
        popups->holdMs = 500;
        std::size_t atOpen = 0;
        std::size_t atClose = 0;
        int pollAfter = -1;
        popups->onPopup = [&](const SeenPopup&) { atOpen = DataRequests(); };
        // Once the loop runs, however long its settle delay took.
        When([&] { return DataRequests() >= 2; },
             [&] {
                 RightClick(PANEL_NORM); // returns once the popup has been dismissed
                 atClose = DataRequests();
                 pollAfter = poll;
                 ClickWhen(PANEL_STOP, [&] { return DataRequests() >= atClose + 5; });
             });
        Click(PANEL_GO);

        QCOMPARE(popups->popups.size(), std::size_t(1));
        QCOMPARE(popups->popups[0].title, QString("Info"));
        QCOMPARE(popups->popups[0].text, QString::fromLatin1(InfoDispNORM));
        QVERIFY(atOpen > 0);
        // At most the request already on its way when the popup opened.
        QVERIFY2(atClose <= atOpen + 1, qPrintable(QString("%1 %2").arg(atOpen).arg(atClose)));
        QCOMPARE(pollAfter, 1);
        QVERIFY(DataRequests() >= atClose + 5);
        QCOMPARE(poll, 0);
        QCOMPARE(TextVal(PANEL_STATUS), kLineOk);
    }

    void timeoutPopupIsTitledINFO() {
        QString statusWhenShown;
        popups->onPopup = [&](const SeenPopup&) { statusWhenShown = TextVal(PANEL_STATUS); };
        sensor.setFault(sim::Fault::Silent);
        Click(PANEL_GET);
        QCOMPARE(popups->popups.size(), std::size_t(1));
        QCOMPARE(popups->popups[0].title, QString("INFO"));
        QCOMPARE(popups->popups[0].text,
                 QString(" ATTENTION! \n \n TIMEOUT \n NO SERIAL CONNECTION TO SENSOR"));
        QCOMPARE(statusWhenShown, QString("TIMEOUT"));
    }
};

QTEST_MAIN(HelpTest)
#include "test_help.moc"
