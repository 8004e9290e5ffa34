// Parameter files through the real panel with FILE selected: what a save writes, what a load
// shows, that cancel, a failed save and a refused file change nothing but say so, and that a
// file operation leaves the data loop running.
#include "gui/state.h"
#include "link/blocks.h"
#include "platform/ui/Dovarid10.h"
#include "support/files.h"
#include "support/panelstate.h"
#include "support/popups.h"
#include "support/program.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <sys/resource.h>

using namespace testing_support;

namespace {

const sim::Block kOther = {5, 6, 40, 0, 3, 1, 9, 8, 4, 1, 3, 0, 200, 201, 202};

QByteArray Lines(int count, const char* value) {
    QByteArray text;
    for (int i = 0; i < count; ++i) {
        text += QByteArray(value) + '\n';
    }
    return text;
}

// Fifteen values 7 with line 3 replaced.
QByteArray WithLine3(const char* line3) {
    return Lines(2, "7") + line3 + '\n' + Lines(12, "7");
}

QString DeadTimeShown() {
    return qobject_cast<QComboBox*>(Ctrl(PANEL_DEADTIME))->currentText();
}

std::array<unsigned char, 15> PP() {
    return zurid::pp;
}

std::array<unsigned char, 15> AsPP(const sim::Block& b) {
    std::array<unsigned char, 15> out{};
    std::copy(b.begin(), b.end(), out.begin());
    return out;
}

} // namespace

class ParamFileTest : public QObject {
    Q_OBJECT
    sim::SensorSim sensor{sim::Config{.answerDelay = 0.002, .wireTime = false}};
    PopupWatcher* popups = nullptr;
    // A directory name beyond ASCII, as in a user's home: paths must come through intact.
    QTemporaryDir dir{QDir::tempPath() + QString::fromUtf8("/paramfile-\u00e4\u00f6\u00fc-XXXXXX")};

    QString Path(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }

    // Save or load with FILE selected; `answer` is what the operator picks, nullopt cancels.
    void Save(std::optional<QString> answer) {
        popups->fileAnswers.push_back(std::move(answer));
        Click(PANEL_SEND);
    }
    void Load(std::optional<QString> answer) {
        popups->fileAnswers.push_back(std::move(answer));
        Click(PANEL_GET);
    }
    // Reads a block from the sensor's RAM onto the panel, then selects FILE again.
    void GetFromSensor(const sim::Block& b) {
        sensor.setRam(b);
        Click(PANEL_RAM);
        Click(PANEL_GET);
        Click(PANEL_FILE);
        QCOMPARE(PP(), AsPP(b));
    }
    std::size_t DataRequests() { return CountOrder(sensor, 5); }

  private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        ConnectAsCom1(sensor);
    }
    void init() {
        popups = new PopupWatcher(this);
        sensor.setRam(kRam);
        QCOMPARE(StartProgram(), 0);
        Click(PANEL_FILE);
        QCOMPARE(zurid::target, zurid::DATFILE);
        sensor.clearRequests();
    }
    void cleanup() {
        StopProgram();
        delete popups;
    }

    void saveThenLoadRoundTripsEveryByte() {
        GetFromSensor(kRam);
        const QString file = Path("roundtrip.dat");
        Put(file, QByteArray(300, 'x')); // an existing, longer file is replaced whole
        Save(file);
        QCOMPARE(Contents(file), FileText(kRam));
        QCOMPARE(Contents(file),
                 QByteArray(" 100\n 120\n  23\n   1\n   1\n   0\n  20\n  50\n   2\n   0\n   7\n"
                            "   1\n  12\n  13\n  14\n"));

        // Another set from the sensor, other spares included; loading brings the saved one back.
        GetFromSensor(kOther);
        Load(file);
        QCOMPARE(PP(), AsPP(kRam));
        QCOMPARE(int(zurid::frei13), 12);
        QCOMPARE(int(zurid::frei15), 14);
        QCOMPARE(IntVal(PANEL_THRESHOLD), 100);
        QCOMPARE(IntVal(PANEL_HYSTERESIS), 120);
        QCOMPARE(IntVal(PANEL_POWER), 50);
        QCOMPARE(IntVal(PANEL_DEADTIME), 7);
        QCOMPARE(IntVal(PANEL_OUTMODE), 1);
        QVERIFY(Dimmed(PANEL_POWER) && !Dimmed(PANEL_REGCNT)); // PMOD 1 from the file

        // A name without the extension gets it.
        Save(Path("noext"));
        QCOMPARE(Contents(Path("noext.dat")), FileText(kRam));
        QVERIFY(!QFile::exists(Path("noext")));

        // Every dialog: the program's directory, "init.dat" proposed, title "init", only *.dat,
        // however often another file was chosen.
        QCOMPARE(popups->dialogs.size(), std::size_t(3));
        for (const PopupWatcher::SeenDialog& d : popups->dialogs) {
            QCOMPARE(d.title, QString("init"));
            QCOMPARE(d.directory, QCoreApplication::applicationDirPath());
            QCOMPARE(d.proposedName, QString("init.dat"));
            QCOMPARE(d.nameFilters, QStringList{"*.dat"});
        }
        QVERIFY(popups->popups.empty());
        QCOMPARE(DataRequests(), std::size_t(0));
        QCOMPARE(zurid::target, zurid::DATFILE);
    }

    void powerDoesNotDriftOverCycles() {
        const QString file = Path("power.dat");
        for (int code : {1, 17, 45}) {
            sim::Block b = kRam;
            b[2] = static_cast<std::uint8_t>(code);
            Put(file, FileText(b));
            for (int cycle = 0; cycle < 3; ++cycle) {
                Load(file);
                Save(file);
                QVERIFY2(Contents(file) == FileText(b),
                         qPrintable(QString("code %1 cycle %2: %3")
                                        .arg(code)
                                        .arg(cycle)
                                        .arg(QString::fromLatin1(Contents(file)))));
            }
        }
        QVERIFY(popups->popups.empty());
    }

    void loadedSetDrivesPowerAndDeadTimeLabels() {
        const QString file = Path("labels.dat");
        sim::Block b = kRam;
        b[2] = 0;  // POWER code 0: full intensity
        b[3] = 0;  // PMOD STAT: POWER active
        b[9] = 1;  // DEAD TIME MODE ms
        b[10] = 7; // DEAD TIME index 7
        Put(file, FileText(b));
        Load(file);
        QCOMPARE(IntVal(PANEL_POWER), 100);
        QCOMPARE(Label(PANEL_DEADTIME), QString("DEAD TIME[ms]"));
        QCOMPARE(DeadTimeShown(), QString("14"));
        QVERIFY(!Dimmed(PANEL_POWER) && Dimmed(PANEL_REGCNT));

        b[2] = 46; // no intensity
        b[9] = 0;  // DEAD TIME MODE %
        Put(file, FileText(b));
        Load(file);
        QCOMPARE(IntVal(PANEL_POWER), 0);
        QCOMPARE(Label(PANEL_DEADTIME), QString("DEAD TIME[%]"));
        QCOMPARE(DeadTimeShown(), QString("42"));
        QVERIFY(popups->popups.empty());
    }

    void cancelChangesNothing() {
        const QString file = Path("cancel.dat");
        Put(file, FileText(kOther));
        SetCtrlVal(zurid::panel, PANEL_THRESHOLD, 5); // edited, not yet taken
        const QStringList controls = ControlState();
        const QStringList program = ProgramState();
        Save(std::nullopt);
        Load(std::nullopt);
        QCOMPARE(popups->dialogs.size(), std::size_t(2));
        QCOMPARE(ControlState(), controls);
        QCOMPARE(ProgramState(), program);
        QCOMPARE(Contents(file), FileText(kOther));
        QVERIFY(popups->popups.empty());
        QVERIFY(Frames(sensor).empty());
    }

    void failedSaveKeepsTheOldFileAndSaysWhy_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("sizeLimit");
        QTest::newRow("under a regular file") << "plain/init.dat" << SystemText(ENOTDIR) << false;
        QTest::newRow("write fails (size limit)") << "keep.dat" << SystemText(EFBIG) << true;
    }
    void failedSaveKeepsTheOldFileAndSaysWhy() {
        QFETCH(QString, name);
        QFETCH(QString, reason);
        QFETCH(bool, sizeLimit);
        QTemporaryDir here{dir.filePath("failXXXXXX")};
        const QString file = here.filePath(name);
        const QString plain = here.filePath("plain");
        Put(plain, "not a directory\n");
        const QString keep = here.filePath("keep.dat");
        Put(keep, FileText(kOther));
        SetCtrlVal(zurid::panel, PANEL_THRESHOLD, 55);

        rlimit saved{};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        if (sizeLimit) {
            rlimit small = saved;
            small.rlim_cur = 16; // the new content needs 60 bytes
            QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        }
        Save(file);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);

        QCOMPARE(popups->popups.size(), std::size_t(1));
        const SeenPopup& p = popups->popups[0];
        QCOMPARE(p.title, QString("INFO"));
        QVERIFY2(p.text.contains(file) && p.text.contains(reason) && p.text.contains("written"),
                 qPrintable(p.text));
        QCOMPARE(Contents(plain), QByteArray("not a directory\n"));
        QCOMPARE(Contents(keep), FileText(kOther));
        QCOMPARE(QDir(here.path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList({"keep.dat", "plain"})); // no half-written leftovers
        // The set that was to be saved is the program's set all the same.
        QCOMPARE(int(zurid::pp[0]), 55);
        QCOMPARE(int(zurid::threshold), 55);
        QCOMPARE(int(zurid::frei14), 13);
    }

    void badFileIsRefusedWhole_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("exists");
        QTest::addColumn<QString>("problem");
        QTest::newRow("empty") << QByteArray() << true << "empty";
        QTest::newRow("14 values") << Lines(14, "7") << true << "only 14 values";
        QTest::newRow("16 values") << Lines(16, "7") << true << "more than 15 values";
        QTest::newRow("256") << WithLine3("256") << true << "line 3: 256 is above 255";
        QTest::newRow("-1") << WithLine3("-1") << true << "line 3: -1 is below 0";
        QTest::newRow("3.5") << WithLine3("3.5") << true << "line 3: \"3.5\" is not a whole number";
        QTest::newRow("text") << QByteArray("THRESHOLD=100\n") + Lines(14, "7") << true
                              << "line 1: \"THRESHOLD=100\" is not a whole number";
        QTest::newRow("binary") << QByteArray("\x7f\x00\x01\xfe\xff\x80\n", 7) + Lines(15, "7")
                                << true << "line 1: \"\\x7f\\x00\\x01\\xfe\\xff\\x80\" is not";
        QTest::newRow("10 MB") << Lines(15, "7") + QByteArray(10 * 1024 * 1024, ' ') << true
                               << "too large";
        QTest::newRow("missing") << QByteArray() << false << SystemText(ENOENT);
    }
    void badFileIsRefusedWhole() {
        QFETCH(QByteArray, content);
        QFETCH(bool, exists);
        QFETCH(QString, problem);
        const QString file = Path("bad.dat");
        QFile::remove(file);
        if (exists) {
            Put(file, content);
        }
        // The operator's unsaved edits on the panel, differing from the variables, must stay too.
        SetCtrlVal(zurid::panel, PANEL_THRESHOLD, 9);
        SetCtrlVal(zurid::panel, PANEL_DEADTIMEMODE, 1);
        const QStringList controls = ControlState();
        const QStringList program = ProgramState();
        Load(file);
        QCOMPARE(popups->popups.size(), std::size_t(1));
        const SeenPopup& p = popups->popups[0];
        QCOMPARE(p.title, QString("INFO"));
        QVERIFY2(p.text.contains(file) && p.text.contains(problem), qPrintable(p.text));
        QCOMPARE(ControlState(), controls);
        QCOMPARE(ProgramState(), program);
        QVERIFY(Frames(sensor).empty());
        QFile::remove(file);
    }

    void fileOperationsLeaveTheDataLoopRunning() {
        const QString file = Path("loop.dat");
        QFile::remove(file);
        struct Seen {
            std::size_t requests = 0;
            int poll = -1;
        };
        Seen afterSave;
        Seen afterLoad;
        // Each once the loop has polled since the step before, however slowly the machine runs.
        When([&] { return DataRequests() >= 2; },
             [&] {
                 Save(file);
                 afterSave = {DataRequests(), zurid::poll};
                 SetCtrlVal(zurid::panel, PANEL_THRESHOLD, 3);
                 When([&] { return DataRequests() >= afterSave.requests + 2; },
                      [&] {
                          Load(file);
                          afterLoad = {DataRequests(), zurid::poll};
                          ClickWhen(PANEL_STOP,
                                    [&] { return DataRequests() >= afterLoad.requests + 5; });
                      });
             });
        Click(PANEL_GO); // returns when the loop has ended

        QCOMPARE(afterSave.poll, 1);
        QCOMPARE(afterLoad.poll, 1);
        QVERIFY(afterSave.requests > 0);
        QVERIFY2(afterLoad.requests > afterSave.requests,
                 qPrintable(QString("%1 %2").arg(afterSave.requests).arg(afterLoad.requests)));
        QVERIFY(DataRequests() >= afterLoad.requests + 5);
        QCOMPARE(zurid::poll, 0);
        QCOMPARE(Contents(file), FileText(kRam));
        QCOMPARE(IntVal(PANEL_THRESHOLD), 100); // the load put the saved set back
        QCOMPARE(zurid::target, zurid::DATFILE);
        QCOMPARE(TextVal(PANEL_STATUS), kLineOk);
        QVERIFY(popups->popups.empty());
        // Only live-data requests went out: files never touch the serial link.
        for (const Bytes& f : Frames(sensor)) {
            QCOMPARE(int(f.at(1)), 5);
        }
    }
};

QTEST_MAIN(ParamFileTest)
#include "test_paramfile.moc"
