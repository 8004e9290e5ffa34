// The application shell: start-up state, the whole program run ending on the close request,
// and the exit code when the panel resource is missing.
#include "app/shell.h"
#include "gui/params.h"
#include "gui/state.h"
#include "link/blocks.h"
#include "platform/serial/rs232.h"
#include "platform/ui/Dovarid10.h"
#include "platform/ui/qtaccess.h"
#include "support/popups.h"
#include "support/program.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

using zurid::platform::GetInQLen;

using namespace testing_support;

class ShellTest : public QObject {
    Q_OBJECT
    sim::SensorSim sensor{sim::Config{.answerDelay = 0.002, .wireTime = false}};

    static int Run() {
        static int argc = 1;
        static char name[] = "tavrin-zurid-test";
        static char* argv[] = {name, nullptr};
        return zurid::RunProgram(argc, argv);
    }

  private slots:
    void initTestCase() { ConnectAsCom1(sensor); }

    void missingPanelResourceExitsMinusOne() {
        QTemporaryDir dir;
        const QString copy = dir.filePath("tavrin-zurid");
        QVERIFY(QFile::copy(QCoreApplication::applicationDirPath() + "/tavrin-zurid", copy));
        QFile::setPermissions(copy, QFile::permissions(copy) | QFileDevice::ExeOwner);
        QProcess p;
        p.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
        p.start(copy, {});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 255);                     // -1 as a process exit code
        QCOMPARE(Frames(sensor).size(), std::size_t(0)); // never got as far as the port
    }

    void initVarsSetsTheStartState() {
        RegisterCallbacks(zurid::CallbackTable());
        zurid::panel = LoadPanel(0, "Dovarid10.uir", PANEL);
        QVERIFY(zurid::panel > 0);
        zurid::target = zurid::EEPROM;
        zurid::poll = 1;
        SetCtrlVal(zurid::panel, PANEL_PARA, 0);
        zurid::InitVars();
        QCOMPARE(zurid::com, 1);
        QCOMPARE(zurid::target, zurid::RAM);
        QCOMPARE(zurid::poll, 0);
        QCOMPARE(TextVal(PANEL_STATUS), QString("InitVars"));
        QCOMPARE(int(zurid::para), 1);
        QVERIFY(Visible(PANEL_THRESHOLD) && Visible(PANEL_POWER) && !Visible(PANEL_BACKLIM));
        QVERIFY(Visible(PANEL_STRIPCHART) && !Visible(PANEL_GRAPH_ADJ));
        // The variables hold the panel's initial values; POWER as its code.
        QCOMPARE(int(zurid::threshold), IntVal(PANEL_THRESHOLD));
        QCOMPARE(int(zurid::deadtime), IntVal(PANEL_DEADTIME));
        QCOMPARE(zurid::power,
                 zurid::PowerPercentToCode(static_cast<unsigned char>(IntVal(PANEL_POWER))));
        DiscardPanel(zurid::panel);
    }

    void closeRequestEndsTheProgram() {
        PopupWatcher popups;
        When(PanelShown, CloseWindow);
        QCOMPARE(Run(), 0);
        QVERIFY(popups.popups.empty());
        QVERIFY(GetInQLen(1) < 0); // the port is closed
    }

    void closeDuringTheDataLoopEndsTheProgram() {
        PopupWatcher popups;
        const std::size_t before = Frames(sensor).size();
        // GO once the window is up, the close request once the loop has polled a few times.
        ClickWhen(PANEL_GO, PanelShown);
        When([&] { return Frames(sensor).size() > before + 7; }, CloseWindow);
        QCOMPARE(Run(), 0);
        QVERIFY(Frames(sensor).size() > before + 7); // it did poll
        QVERIFY(GetInQLen(1) < 0);
        QVERIFY2(popups.popups.empty(),
                 popups.popups.empty() ? "" : qPrintable(popups.popups.front().text));
    }
};

QTEST_MAIN(ShellTest)
#include "test_shell.moc"
