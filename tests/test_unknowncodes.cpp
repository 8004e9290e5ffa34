// A parameter set read and sent or saved untouched comes back byte for byte: every one of the
// 256 values of each of the fifteen bytes, through the real panel, from the sensor's RAM and
// EEPROM and from a file. Codes the panel has no item or percent for show as unknown, and the
// operator can still pick a known value instead.
#include "gui/paramfile.h"
#include "gui/state.h"
#include "gui/transfer.h"
#include "link/blocks.h"
#include "platform/ui/Dovarid10.h"
#include "support/files.h"
#include "support/popups.h"
#include "support/program.h"

#include <QComboBox>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

using namespace testing_support;

namespace {

// Block k of 256: byte i holds (k + 17 i) mod 256, so over the 256 blocks every byte takes
// every value once, each time beside other neighbours.
Bytes Pattern(int k) {
    Bytes b(15);
    for (std::size_t i = 0; i < b.size(); ++i) {
        b[i] = static_cast<std::uint8_t>((k + 17 * static_cast<int>(i)) & 0xFF);
    }
    return b;
}

QString Text(const Bytes& b) {
    QStringList out;
    for (std::uint8_t v : b) {
        out << QString::number(v);
    }
    return out.join(' ');
}

QComboBox* Ring(int control) {
    return qobject_cast<QComboBox*>(Ctrl(control));
}

} // namespace

class UnknownCodesTest : public QObject {
    Q_OBJECT
    sim::SensorSim sensor{sim::Config{.answerDelay = 0.001, .wireTime = false}};
    PopupWatcher* popups = nullptr;
    QTemporaryDir dir;

    // Block b read from `source` (RAM, EEPROM or DATFILE) and sent or saved straight back:
    // what arrives at the sensor or in the file.
    Bytes RoundTrip(int source, const Bytes& b) {
        sim::Block block{};
        std::copy(b.begin(), b.end(), block.begin());
        if (source == zurid::DATFILE) {
            const QString in = dir.filePath("in.dat");
            const QString out = dir.filePath("out.dat");
            Put(in, FileText(block));
            popups->fileAnswers = {in, out};
            zurid::ReadParaFromFile();
            zurid::SendParaToFile();
            Bytes saved;
            for (const QByteArray& v : Contents(out).simplified().split(' ')) {
                saved.push_back(static_cast<std::uint8_t>(v.toInt()));
            }
            return saved;
        }
        source == zurid::RAM ? sensor.setRam(block) : sensor.setEeprom(block);
        sensor.clearRequests();
        zurid::target = source;
        zurid::GetPara();
        zurid::SendPara();
        if (!sensor.waitForRequests(2, 2.0)) {
            return {};
        }
        const Bytes frame = Frames(sensor).back();
        return frame.size() == 17 && frame[1] == (source == zurid::RAM ? 1 : 2)
                   ? Bytes(frame.begin() + 2, frame.end())
                   : frame;
    }

  private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        ConnectAsCom1(sensor);
    }
    void init() {
        popups = new PopupWatcher(this);
        sensor.setRam(sim::defaultBlock());
        QCOMPARE(StartProgram(), 0);
    }
    void cleanup() {
        StopProgram();
        delete popups;
    }

    void everyValueSurvives_data() {
        QTest::addColumn<int>("source");
        QTest::newRow("RAM") << zurid::RAM;
        QTest::newRow("EEPROM") << zurid::EEPROM;
        QTest::newRow("file") << zurid::DATFILE;
    }
    void everyValueSurvives() {
        QFETCH(int, source);
        QStringList failures;
        for (int k = 0; k < 256; ++k) {
            const Bytes b = Pattern(k);
            const Bytes back = RoundTrip(source, b);
            if (back != b) {
                failures << Text(b) + "  ->  " + Text(back);
            }
        }
        QVERIFY2(failures.isEmpty(), qPrintable(QStringLiteral("%1 of 256 blocks changed, e.g.\n%2")
                                                    .arg(failures.size())
                                                    .arg(failures.mid(0, 8).join('\n'))));
        QVERIFY(popups->popups.empty());
    }

    // Unknown codes are visible, keep their meaning for the controls that depend on them, and
    // give way to a known value the operator picks; the next read starts afresh.
    void unknownCodesShowAndCanBeReplaced() {
        //                  THR  HYS POW PMOD HOLD TRIG BACK REG AVG DTM DT  OUT  spares
        const sim::Block odd = {10, 20, 60, 2, 60, 9, 30, 40, 8, 4, 17, 200, 1, 2, 3};
        sensor.setRam(odd);
        Click(PANEL_GET);
        QCOMPARE(Ring(PANEL_TRIGGER)->currentText(), QString("? 9"));
        QCOMPARE(Ring(PANEL_HOLD)->currentText(), QString("? 60"));
        QCOMPARE(Ring(PANEL_PMOD)->currentText(), QString("? 2"));
        QCOMPARE(Ring(PANEL_AVERAGE)->currentText(), QString("? 8"));
        QCOMPARE(Ring(PANEL_DEADTIMEMODE)->currentText(), QString("? 4"));
        QCOMPARE(Ring(PANEL_DEADTIME)->currentText(), QString("? 17"));
        QCOMPARE(Ring(PANEL_OUTMODE)->currentText(), QString("? 200"));
        // POWER code 60 has no percent: the box says so instead of a number.
        auto* power = qobject_cast<QSpinBox*>(Ctrl(PANEL_POWER));
        QCOMPARE(power->text(), QString("? code 60"));
        // Any nonzero PMOD dims POWER like DYN; any nonzero mode labels DEAD TIME in ms.
        QVERIFY(Dimmed(PANEL_POWER) && !Dimmed(PANEL_REGCNT));
        QCOMPARE(Label(PANEL_DEADTIME), QString("DEAD TIME[ms]"));
        QCOMPARE(RingTexts(PANEL_DEADTIME).at(7), QString("14"));

        // The operator picks known values for TRIGGER and POWER; the rest goes back as read.
        ChooseRingItem(PANEL_TRIGGER, 1);
        power->stepBy(1); // up from the unknown code: the first percent, 0 %
        QCOMPARE(power->value(), 0);
        sensor.clearRequests();
        Click(PANEL_SEND);
        QVERIFY(sensor.waitForRequests(1, 2.0));
        sim::Block expect = odd;
        expect[5] = 1;  // EXT
        expect[2] = 46; // 0 %: no intensity
        QCOMPARE(Frames(sensor).back(), Request(1, Bytes(expect.begin(), expect.end())));
        // The unknown entries stay to be picked again until the next read.
        power->stepBy(-1);
        QCOMPARE(power->text(), QString("? code 60"));
        ChooseRingItem(PANEL_TRIGGER, Ring(PANEL_TRIGGER)->count() - 1);
        sensor.clearRequests();
        Click(PANEL_SEND);
        QVERIFY(sensor.waitForRequests(1, 2.0));
        QCOMPARE(Frames(sensor).back(), Request(1, Bytes(odd.begin(), odd.end())));

        // A known set read next: no unknown items left, POWER a plain percent again.
        sensor.setRam(sim::defaultBlock());
        Click(PANEL_GET);
        QCOMPARE(RingTexts(PANEL_TRIGGER), QStringList({"CONT", "EXT", "ADJ EXT"}));
        QCOMPARE(RingTexts(PANEL_DEADTIME).size(), 16);
        QCOMPARE(RingTexts(PANEL_PMOD), QStringList({"STAT", "DYN"}));
        QCOMPARE(power->text(), QString("100"));
        power->stepBy(-200);
        QCOMPARE(power->value(), 0); // the unknown entry went with the set it belonged to
        QVERIFY(popups->popups.empty());
    }
};

QTEST_MAIN(UnknownCodesTest)
#include "test_unknowncodes.moc"
