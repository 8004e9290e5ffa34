// The protocol core: its tables against the panel resource, the POWER and value conversions, the
// parameter file against the window's own reader, and live-data decoding.
#include "core/livedata.h"
#include "core/paramfile.h"
#include "core/params.h"
#include "core/protocol.h"
#include "platform/serial/utility.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

#include <array>

using zurid::platform::FileToArray;
using zurid::platform::GetProjectDir;
using zurid::platform::LastFileError;
using zurid::platform::VAL_UNSIGNED_CHAR;

using namespace zurid::core;

namespace {

// What the panel resource says about one control: its items, or its numeric range.
struct Control {
    QStringList items;
    int minimum = -1;
    int maximum = -1;
    QString label; // text of its label widget
};

QMap<QString, Control> PanelControls() {
    std::string dir;
    GetProjectDir(&dir);
    QFile file(QDir(QString::fromStdString(dir)).filePath(QStringLiteral("Dovarid10.uir")));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QMap<QString, Control> controls;
    QMap<QString, QString> labelText; // label widget name -> text
    QMap<QString, QString> labelOf;   // control -> label widget name
    QXmlStreamReader xml(&file);
    QStringList widgets;
    QString property;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement() && xml.name() == QLatin1String("widget")) {
            widgets << xml.attributes().value(QLatin1String("name")).toString();
        } else if (xml.isEndElement() && xml.name() == QLatin1String("widget")) {
            widgets.removeLast();
        } else if (xml.isStartElement() && xml.name() == QLatin1String("property")) {
            property = xml.attributes().value(QLatin1String("name")).toString();
        } else if (xml.isEndElement() && xml.name() == QLatin1String("property")) {
            property.clear();
        } else if (xml.isCharacters() && !xml.isWhitespace() && !widgets.isEmpty()) {
            const QString& w = widgets.last();
            const QString text = xml.text().toString();
            if (xml.name().isEmpty() && property == QLatin1String("text")) {
                // Items sit inside their combo box; label texts belong to the label widgets.
                if (w.startsWith(QLatin1String("PANEL_"))) {
                    controls[w].items << text;
                } else {
                    labelText[w] = text;
                }
            } else if (property == QLatin1String("minimum")) {
                controls[w].minimum = text.toInt();
            } else if (property == QLatin1String("maximum")) {
                controls[w].maximum = text.toInt();
            } else if (property == QLatin1String("labelWidget")) {
                labelOf[w] = text;
            }
        }
    }
    for (auto it = labelOf.cbegin(); it != labelOf.cend(); ++it) {
        controls[it.key()].label = labelText.value(it.value());
    }
    return controls;
}

QStringList ToList(std::span<const std::string_view> labels) {
    QStringList out;
    for (std::string_view l : labels) {
        out << QString::fromUtf8(l.data(), static_cast<qsizetype>(l.size()));
    }
    return out;
}

const ParamInfo& Param(const char* name) {
    const ParamInfo* p = FindParam(name);
    // QVERIFY's own check, which also holds in release builds; it cannot return from here, so
    // a stand-in keeps the caller going to its own comparison, which then fails as well.
    static const ParamInfo none{"?", "?", 0, ParamKind::Spare, 255, {}, ""};
    if (!QTest::qVerify(p != nullptr, "FindParam(name) != nullptr", name, __FILE__, __LINE__)) {
        return none;
    }
    return *p;
}

ParamBlock WithDeadTimeMode(Byte mode) {
    ParamBlock b{};
    b[kPosDeadTimeMode] = mode;
    return b;
}

std::string Format(const char* name, Byte code, Byte deadTimeMode = 0) {
    ParamBlock b = WithDeadTimeMode(deadTimeMode);
    const ParamInfo& p = Param(name);
    b[static_cast<std::size_t>(p.pos)] = code;
    return FormatValue(p, b);
}

int Parse(const char* name, const char* text, Byte deadTimeMode = 0) {
    const ParsedValue v = ParseValue(Param(name), text, WithDeadTimeMode(deadTimeMode));
    return v.code ? *v.code : -1;
}

QString ParseError(const char* name, const char* text, Byte deadTimeMode = 0) {
    return QString::fromStdString(
        ParseValue(Param(name), text, WithDeadTimeMode(deadTimeMode)).error);
}

} // namespace

class TestCore : public QObject {
    Q_OBJECT

  private slots:
    void tablesMatchThePanel();
    void powerCodesSurviveAReadAndASend();
    void valuesParseAsThePanelShowsThem();
    void badValuesNameWhatIsAllowed();
    void framesAndReplies();
    void fileWrittenAndReadBack();
    void fileRefusalsSayWhy_data();
    void fileRefusalsSayWhy();
    void fileReaderAgreesWithTheWindows();
    void liveDataDecodesAsTheWindowShowsIt();
};

// Every panel-bound parameter: its control carries the core's labels or range, and its label
// widget starts with the core's panel name.
void TestCore::tablesMatchThePanel() {
    const QMap<QString, Control> panel = PanelControls();
    QVERIFY(!panel.isEmpty());
    int checked = 0;
    for (const ParamInfo& p : ParamTable()) {
        if (p.kind == ParamKind::Spare) {
            continue;
        }
        const QString id = QStringLiteral("PANEL_") +
                           QString::fromUtf8(p.key.data(), static_cast<qsizetype>(p.key.size()));
        QVERIFY2(panel.contains(id), qPrintable(id));
        const Control& c = panel[id];
        QVERIFY2(c.label.startsWith(
                     QString::fromUtf8(p.name.data(), static_cast<qsizetype>(p.name.size()))),
                 qPrintable(c.label));
        switch (p.kind) {
        case ParamKind::Number:
            QCOMPARE(c.minimum, 0);
            QCOMPARE(c.maximum, p.maxCode);
            break;
        case ParamKind::Power:
            QCOMPARE(c.minimum, PowerCodeToPercent(kPowerMaxCode));
            QCOMPARE(c.maximum, PowerCodeToPercent(0));
            QVERIFY(c.label.contains(QLatin1String("[%]")));
            break;
        case ParamKind::Ring:
            QCOMPARE(c.items, ToList(p.labels));
            QCOMPARE(static_cast<int>(c.items.size()), p.maxCode + 1);
            break;
        case ParamKind::DeadTime:
            // The resource holds the percent labels, which mode 0 (its initial item) shows.
            QCOMPARE(c.items, ToList(DeadTimeLabels(0)));
            QCOMPARE(static_cast<int>(DeadTimeLabels(1).size()), p.maxCode + 1);
            QCOMPARE(panel[QStringLiteral("PANEL_DEADTIMEMODE")].items,
                     QStringList({QString::fromUtf8(DeadTimeUnit(0).data()),
                                  QString::fromUtf8(DeadTimeUnit(1).data())}));
            break;
        case ParamKind::Spare:
            break;
        }
        ++checked;
    }
    QCOMPARE(checked, 12);
}

void TestCore::powerCodesSurviveAReadAndASend() {
    for (int code = 0; code <= kPowerMaxCode; ++code) {
        const int pct = PowerCodeToPercent(static_cast<Byte>(code));
        QVERIFY(pct >= 0 && pct <= 100);
        QCOMPARE(static_cast<int>(PowerPercentToCode(pct)), code);
        QCOMPARE(Parse("POWER", Format("POWER", static_cast<Byte>(code)).c_str()), code);
    }
    QCOMPARE(PowerCodeToPercent(0), 100);
    QCOMPARE(PowerCodeToPercent(45), 3);                    // 2.17 rounded up
    QCOMPARE(static_cast<int>(PowerPercentToCode(80)), 10); // 36.8 truncated
    QCOMPARE(Format("POWER", 47), std::string("? 47"));
}

void TestCore::valuesParseAsThePanelShowsThem() {
    QCOMPARE(Parse("POWER", "80%"), 10);
    QCOMPARE(Parse("power", " 80 % "), 10);
    QCOMPARE(Parse("POWER", "80"), 10);
    QCOMPARE(Parse("HOLD", "50ms"), 3);
    QCOMPARE(Parse("HOLD", "50 MS"), 3);
    QCOMPARE(Parse("HOLD", "50"), 3);
    QCOMPARE(Parse("HOLD", "off"), 0);
    QCOMPARE(Parse("TRIGGER", "EXT"), 1);
    QCOMPARE(Parse("TRIGGER", "ADJEXT"), 2);
    QCOMPARE(Parse("trigger", "adj ext"), 2);
    QCOMPARE(Parse("AVERAGE", "4"), 2);
    QCOMPARE(Parse("DEAD TIME MODE", "ms"), 1);
    QCOMPARE(Parse("DEADTIME", "12"), 2);      // percent mode
    QCOMPARE(Parse("DEADTIME", "12", 1), 6);   // millisecond mode
    QCOMPARE(Parse("DEADTIME", "12ms", 7), 6); // any mode but 0 is ms
    QCOMPARE(Parse("THRESHOLD", "007"), 7);
    QCOMPARE(Parse("SPARE15", "255"), 255);

    // Raw codes for every parameter, shown marked when the panel has no value for them.
    ParamBlock block{};
    for (const ParamInfo& p : ParamTable()) {
        for (int code : {0, 9, 47, 255}) {
            const ParsedValue v = ParseValue(p, "#" + std::to_string(code), block);
            QVERIFY(v.code && *v.code == code);
            block[static_cast<std::size_t>(p.pos)] = *v.code;
            const std::string shown = FormatValue(p, block);
            QCOMPARE(IsKnownCode(p, block), code <= p.maxCode);
            if (IsKnownCode(p, block)) {
                QCOMPARE(*ParseValue(p, shown, block).code, static_cast<Byte>(code));
            } else {
                QCOMPARE(shown, "? " + std::to_string(code));
            }
        }
    }
    QCOMPARE(Format("HOLD", 7), std::string("1000 ms"));
    QCOMPARE(Format("DEADTIME", 15, 0), std::string("90 %"));
    QCOMPARE(Format("DEADTIME", 15, 1), std::string("30 ms"));
    QCOMPARE(Format("TRIGGER", 3), std::string("? 3"));
    QCOMPARE(FindParam("dead time"), FindParam("DEADTIME"));
    QVERIFY(FindParam("VOLUME") == nullptr);
}

void TestCore::badValuesNameWhatIsAllowed() {
    QVERIFY(ParseError("TRIGGER", "EXTERNAL").contains(QLatin1String("CONT, EXT, ADJ EXT")));
    QVERIFY(ParseError("POWER", "101%").contains(QLatin1String("0-100")));
    QVERIFY(ParseError("THRESHOLD", "256").contains(QLatin1String("0-255")));
    QVERIFY(ParseError("THRESHOLD", "1 2").contains(QLatin1String("0-255")));
    QVERIFY(ParseError("HOLD", "30ms").contains(QLatin1String("OFF, 10 ms")));
    // DEAD TIME in the unit of the other mode is refused, with the allowed list of this one.
    const QString deadTime = ParseError("DEADTIME", "12%", 1);
    QVERIFY(deadTime.contains(QLatin1String("0, 2, 4")) && deadTime.contains(QLatin1String("ms")));
    QVERIFY(ParseError("DEADTIME", "13", 0).contains(QLatin1String("84, 90")));
    QVERIFY(ParseError("SPARE13", "#256").contains(QLatin1String("#0-#255")));
    QVERIFY(ParseError("AVERAGE", "").contains(QLatin1String("1, 2, 4")));
    QCOMPARE(Parse("AVERAGE", "3"), -1);
}

void TestCore::framesAndReplies() {
    ParamBlock block{};
    for (int i = 0; i < kParamLen; ++i) {
        block[static_cast<std::size_t>(i)] = static_cast<Byte>(200 + i);
    }
    const Request frame = RequestFrame(Order::ReadEeprom, block);
    QCOMPARE(frame.size(), std::size_t{17});
    QCOMPARE(frame[0], Byte{0x55});
    QCOMPARE(frame[1], Byte{4});
    QCOMPARE(frame[2], Byte{200});
    QCOMPARE(frame[16], Byte{214});
    const std::array<std::pair<Order, int>, 7> lengths = {{{Order::WriteRam, 0},
                                                           {Order::WriteEeprom, 0},
                                                           {Order::ReadRam, 15},
                                                           {Order::ReadEeprom, 15},
                                                           {Order::Data, 9},
                                                           {Order::JumpBuf, 16},
                                                           {Order::LineCheck, 3}}};
    for (const auto& [order, length] : lengths) {
        QCOMPARE(ReplyLength(order), length);
        QVERIFY(IsOrder(static_cast<Byte>(order)));
    }
    QVERIFY(!IsOrder(0) && !IsOrder(8));
    QVERIFY(LineCheckOk(std::array<Byte, 3>{0xAA, 0x01, 0x00}));
    QVERIFY(!LineCheckOk(std::array<Byte, 3>{0xAA, 0x01, 0x01}));
    QVERIFY(!LineCheckOk(std::array<Byte, 4>{0xAA, 0x01, 0x00, 0x00}));
    QVERIFY(!LineCheckOk(std::array<Byte, 2>{0xAA, 0x01}));
    QVERIFY(ReadOrder(true) == Order::ReadRam && ReadOrder(false) == Order::ReadEeprom);
    QVERIFY(WriteOrder(true) == Order::WriteRam && WriteOrder(false) == Order::WriteEeprom);
}

void TestCore::fileWrittenAndReadBack() {
    const ParamBlock block = {0, 255, 1, 46, 7, 2, 20, 50, 3, 1, 12, 0, 99, 100, 254};
    const std::string text = WriteParamFile(block);
    QCOMPARE(text, std::string("   0\n 255\n   1\n  46\n   7\n   2\n  20\n  50\n   3\n   1\n  12\n"
                               "   0\n  99\n 100\n 254\n"));
    const ParamFileRead back = ReadParamFile(text);
    QVERIFY(back.ok);
    QVERIFY(back.block == block);
    const ParamFileRead loose = ReadParamFile("0 255\t1\r\n46 7 2 20 50 3 1 12 0 99 100 0254");
    QVERIFY2(loose.ok, loose.reason.c_str());
    QVERIFY(loose.block == block);
}

void TestCore::fileRefusalsSayWhy_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("reason");
    const QByteArray fourteen = QByteArray("1\n").repeated(14);
    QTest::newRow("empty") << QByteArray() << "the file is empty";
    QTest::newRow("blank") << QByteArray(" \n") << "only 0 values";
    QTest::newRow("fewer") << fourteen << "only 14 values";
    QTest::newRow("more") << fourteen + "1\n2\n"
                          << "more than 15 values";
    QTest::newRow("text") << QByteArray("1\nX1\n") << "line 2: \"X1\" is not a whole number";
    QTest::newRow("sign") << QByteArray("+1\n") << "line 1: \"+1\" is not a whole number";
    QTest::newRow("negative") << QByteArray("\n\n-3\n") << "line 3: -3 is below 0";
    QTest::newRow("above") << fourteen + "256"
                           << "line 15: 256 is above 255";
    QTest::newRow("long") << QByteArray("00000000000000001000") << "is above 255";
    QTest::newRow("binary") << QByteArray("1\x01\n", 3) << "\"1\\x01\" is not a whole number";
    QTest::newRow("huge") << QByteArray(static_cast<qsizetype>(kParamFileMaxBytes) + 1, ' ')
                          << "too large";
}

void TestCore::fileRefusalsSayWhy() {
    QFETCH(QByteArray, text);
    QFETCH(QString, reason);
    const ParamFileRead r = ReadParamFile(std::string_view(text.constData(), text.size()));
    QVERIFY(!r.ok);
    QVERIFY2(QString::fromStdString(r.reason).contains(reason), r.reason.c_str());
}

// Every committed fuzz seed of the window's file reader, through the window's file layer and
// through core: the same texts accepted with the same values, and a refusal shown as the file's
// name and core's reason (which adds the count needed to "only 14 values").
void TestCore::fileReaderAgreesWithTheWindows() {
    const QString seeds = QFINDTESTDATA("../fuzz/corpus/filearray");
    QVERIFY(!seeds.isEmpty());
    QTemporaryDir tmp;
    const QByteArray path = QFile::encodeName(tmp.filePath(QStringLiteral("p.dat")));
    int accepted = 0;
    int files = 0;
    for (const QFileInfo& seed : QDir(seeds).entryInfoList(QDir::Files)) {
        QFile in(seed.filePath());
        QVERIFY(in.open(QIODevice::ReadOnly));
        const QByteArray text = in.readAll();
        QFile out(QString::fromLocal8Bit(path));
        QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(text);
        out.close();
        std::array<unsigned char, kParamLen> window{};
        const bool windowOk = FileToArray(path.constData(), window.data(), VAL_UNSIGNED_CHAR,
                                          kParamLen, 1, 0, 0, 1) == 0;
        const ParamFileRead core = ReadParamFile(std::string_view(text.constData(), text.size()));
        QVERIFY2(core.ok == windowOk, qPrintable(seed.fileName()));
        if (windowOk) {
            QVERIFY2(core.block == window, qPrintable(seed.fileName()));
            ++accepted;
        } else {
            const std::string named = path.toStdString() + ": ";
            const std::string& shown = LastFileError();
            QVERIFY2(shown.size() > named.size() && shown.starts_with(named) &&
                         core.reason.starts_with(shown.substr(named.size())),
                     shown.c_str());
        }
        ++files;
    }
    QVERIFY(files > 20 && accepted > 0 && accepted < files);
}

void TestCore::liveDataDecodesAsTheWindowShowsIt() {
    // IN0 1000, IN1 250, EDGE 999: low byte first.
    const std::array<Byte, kDataLen> reply = {10, 20, 30, 0xE7, 0x03, 0xE8, 0x03, 0xFA, 0x00};
    const LiveValues v = DecodeLiveData(reply);
    QCOMPARE(v.dat0, 10);
    QCOMPARE(v.dat1, 20);
    QCOMPARE(v.norm, 30);
    QCOMPARE(v.edge, 999U);
    QCOMPARE(v.in0, 1000U);
    QCOMPARE(v.in1, 250U);
    QCOMPARE(v.edgePct, 99U); // 99.9 truncated
    QCOMPARE(v.winPct, 25U);
    // No period: both percentages 0. Largest values: no overflow, window beyond the period.
    const LiveValues none = DecodeLiveData(std::array<Byte, kDataLen>{0, 0, 0, 5, 0, 0, 0, 9, 0});
    QCOMPARE(none.edgePct + none.winPct, 0U);
    const LiveValues big =
        DecodeLiveData(std::array<Byte, kDataLen>{255, 255, 255, 255, 255, 1, 0, 255, 255});
    QCOMPARE(big.edgePct, 6553500U);
    QCOMPARE(big.winPct, 6553500U);
}

QTEST_MAIN(TestCore)
#include "test_core.moc"
