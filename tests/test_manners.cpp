// Desktop manners of the panel: the wheel over a ring or spin box without the keyboard focus
// changes nothing; COM PORT changes only on a choice from its opened list, never by the wheel
// or by stepping keys (each step would close one port and open the next); the window keeps
// the panel's size.
#include "gui/state.h"
#include "platform/ui/Dovarid10.h"
#include "platform/ui/qtaccess.h"
#include "support/popups.h"
#include "support/program.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QSpinBox>
#include <QTest>
#include <QWheelEvent>
#include <QWindow>

using namespace testing_support;

namespace {

// One notch of the wheel over the middle of `control`, delivered to the widget under the
// pointer there, as a mouse would, and passed on to the control if that widget ignores it
// (sent events do not propagate by themselves). Negative notches turn towards the operator.
void Wheel(int control, int notches) {
    QWidget* w = Ctrl(control);
    const QPoint at = w->rect().center();
    QWidget* under = w->childAt(at) != nullptr ? w->childAt(at) : w;
    for (QWidget* to : {under, w}) {
        const QPoint local = to->mapFrom(w, at);
        QWheelEvent ev(local, to->mapToGlobal(local), QPoint(), QPoint(0, 120 * notches),
                       Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(to, &ev);
        if (ev.isAccepted() || to == w) {
            break;
        }
    }
    QApplication::processEvents();
}

void Focus(int control) {
    QApplication::setActiveWindow(Ctrl(control)->window());
    Ctrl(control)->setFocus(Qt::OtherFocusReason);
    QVERIFY(Ctrl(control)->hasFocus());
}

QComboBox* ComRing() {
    return qobject_cast<QComboBox*>(Ctrl(PANEL_COM));
}

} // namespace

class MannersTest : public QObject {
    Q_OBJECT
    sim::SensorSim com1{sim::Config{.answerDelay = 0.001, .wireTime = false}};
    sim::SensorSim com2{sim::Config{.answerDelay = 0.001, .wireTime = false}};
    PopupWatcher* popups = nullptr;
    int com2Number = 0;

    std::size_t LineChecks() { return CountOrder(com1, 7) + CountOrder(com2, 7); }

  private slots:
    void initTestCase() {
        ConnectAsCom1(com1);
        QVERIFY(com2.start());
        com2Number = AddPort(com2.path());
        QVERIFY(com2Number > 1);
    }
    void init() {
        popups = new PopupWatcher(this);
        com1.setRam(sim::defaultBlock());
        QCOMPARE(StartProgram(), 0);
        QVERIFY(ComRing()->findData(com2Number) > 0);
        com1.clearRequests();
        com2.clearRequests();
    }
    void cleanup() {
        StopProgram();
        delete popups;
    }

    void wheelStepsOnlyAFocusedControl() {
        Focus(PANEL_THRESHOLD); // the focus elsewhere
        const int trigger = IntVal(PANEL_TRIGGER);
        const int hysteresis = IntVal(PANEL_HYSTERESIS);
        Wheel(PANEL_TRIGGER, -1);
        Wheel(PANEL_HYSTERESIS, 1);
        QCOMPARE(IntVal(PANEL_TRIGGER), trigger);
        QCOMPARE(IntVal(PANEL_HYSTERESIS), hysteresis);
        QVERIFY(Ctrl(PANEL_THRESHOLD)->hasFocus());

        // The port ring, unfocused: no port opened, no commit.
        Wheel(PANEL_COM, -1);
        Wheel(PANEL_COM, -1);
        QCOMPARE(ComRing()->currentIndex(), 0);
        QCOMPARE(zurid::com, 1);

        // With the focus, a parameter steps: that is the operator's edit.
        Focus(PANEL_TRIGGER);
        Wheel(PANEL_TRIGGER, -1);
        QCOMPARE(IntVal(PANEL_TRIGGER), trigger + 1);
        Focus(PANEL_HYSTERESIS);
        Wheel(PANEL_HYSTERESIS, 1);
        QCOMPARE(IntVal(PANEL_HYSTERESIS), hysteresis + 1);
        QTest::qWait(50);
        QCOMPARE(LineChecks(), std::size_t(0));
        QVERIFY(popups->popups.empty());
    }

    void portChangesOnlyByAChoiceFromTheList() {
        // Focused, the port ring still ignores the wheel; stepping keys open the list instead
        // of moving to the next port, and typing does not jump to one.
        Focus(PANEL_COM);
        Wheel(PANEL_COM, -1);
        QTest::keyClick(ComRing(), Qt::Key_C);
        QCOMPARE(ComRing()->currentIndex(), 0);
        QTest::keyClick(ComRing(), Qt::Key_Down);
        QVERIFY(QTest::qWaitFor([] { return ComRing()->view()->isVisible(); }, 2000));
        QCOMPARE(zurid::com, 1);
        QCOMPARE(LineChecks(), std::size_t(0));

        // In the open list: Down moves the highlight only, Return chooses the second sensor.
        QAbstractItemView* list = ComRing()->view();
        for (int i = 0; i < ComRing()->findData(com2Number); ++i) {
            QTest::keyClick(list, Qt::Key_Down);
        }
        QCOMPARE(zurid::com, 1);
        QTest::keyClick(list, Qt::Key_Return);
        QVERIFY(WaitUntil([this] { return CountOrder(com2, 7) == 1; }, 5000));
        QCOMPARE(zurid::com, com2Number);
        QCOMPARE(CountOrder(com1, 7), std::size_t(0));

        // A click on COM1 in the list goes back.
        ComRing()->showPopup();
        QVERIFY(QTest::qWaitFor([list] { return list->isVisible(); }, 2000));
        const QRect first = list->visualRect(list->model()->index(0, 0));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, first.center());
        QVERIFY(WaitUntil([this] { return CountOrder(com1, 7) == 1; }, 5000));
        QCOMPARE(zurid::com, 1);
        QCOMPARE(CountOrder(com2, 7), std::size_t(1));
        QVERIFY(popups->popups.empty());
    }

    void windowKeepsThePanelSize() {
        QWidget* window = PanelWidget(zurid::panel);
        QVERIFY(QTest::qWaitForWindowExposed(window));
        const QSize fixed(860, 620);
        QCOMPARE(window->size(), fixed);
        QCOMPARE(window->minimumSize(), fixed);
        QCOMPARE(window->maximumSize(), fixed);
        // Resized from outside (as with no window manager, which would enforce the size
        // hints): back to the panel's size.
        window->windowHandle()->setMaximumSize(QSize(4000, 4000));
        window->windowHandle()->resize(1200, 900);
        QVERIFY(QTest::qWaitFor([window] { return window->size() != QSize(860, 620); }, 2000));
        QVERIFY(QTest::qWaitFor([window, fixed] { return window->size() == fixed; }, 2000));
        // The same size imposed again is not fought over.
        window->windowHandle()->resize(1200, 900);
        QTest::qWait(100);
        QCOMPARE(window->size(), QSize(1200, 900));
    }
};

QTEST_MAIN(MannersTest)
#include "test_manners.moc"
