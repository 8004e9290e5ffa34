// The main panel resource: every control of the control map with its id, kind, value type and
// callback, read both from the XML itself and through the loaded panel; the rings, ranges,
// start state, shared places and shortcut keys; what plotting does to its graphs.
#include "platform/ui/Dovarid10.h"
#include "platform/ui/qtaccess.h"
#include "platform/ui/userint.h"

#include <QAbstractButton>
#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QSpinBox>
#include <QTest>
#include <QXmlStreamReader>

#include <map>
#include <vector>

using zurid::platform::VAL_DOUBLE;
using zurid::platform::VAL_UNSIGNED_CHAR;

namespace {

enum class Value { UChar, Int, Text, None };

struct Expect {
    const char* name; // object name in the resource = constant name in Dovarid10.h
    int id;
    const char* uiClass;     // class in the resource
    const char* loadedClass; // class once loaded (graph places become charts)
    const char* callback;    // nullptr: none
    Value value;
};

#define CTRL(n) #n, n
const Expect kControls[] = {
    {CTRL(PANEL_COM), "QComboBox", "QComboBox", "CBF_EditConnect", Value::Int},
    {CTRL(PANEL_SEND), "QPushButton", "QPushButton", "CBF_ButtonSend", Value::None},
    {CTRL(PANEL_GET), "QPushButton", "QPushButton", "CBF_ButtonGet", Value::None},
    {CTRL(PANEL_GO), "QPushButton", "QPushButton", "CBF_ButtonGo", Value::None},
    {CTRL(PANEL_STOP), "QPushButton", "QPushButton", "CBF_ButtonStop", Value::None},
    {CTRL(PANEL_GETBUFF), "QPushButton", "QPushButton", "CBF_ButtonGetBuff", Value::None},
    {CTRL(PANEL_FILE), "QPushButton", "QPushButton", "CBF_SelectFILE", Value::Int},
    {CTRL(PANEL_EEPROM), "QPushButton", "QPushButton", "CBF_SelectEEPROM", Value::Int},
    {CTRL(PANEL_RAM), "QPushButton", "QPushButton", "CBF_SelectRAM", Value::Int},
    {CTRL(PANEL_LOGO), "QLabel", "QLabel", nullptr, Value::None},
    {CTRL(PANEL_STATUS), "QLineEdit", "QLineEdit", "CBF_DispStatus", Value::Text},
    {CTRL(PANEL_OUTMODE), "QComboBox", "QComboBox", "CBF_EditOutmode", Value::UChar},
    {CTRL(PANEL_AVERAGE), "QComboBox", "QComboBox", "CBF_EditAverage", Value::UChar},
    {CTRL(PANEL_HOLD), "QComboBox", "QComboBox", "CBF_EditHold", Value::UChar},
    {CTRL(PANEL_TRIGGER), "QComboBox", "QComboBox", "CBF_EditTrigger", Value::UChar},
    {CTRL(PANEL_DEADTIME), "QComboBox", "QComboBox", "CBF_EditDeadTime", Value::UChar},
    {CTRL(PANEL_DEADTIMEMODE), "QComboBox", "QComboBox", "CBF_EditDeadTimeMode", Value::UChar},
    {CTRL(PANEL_NORM_DECO), "QFrame", "QFrame", nullptr, Value::None},
    {CTRL(PANEL_GRAPH_ADJ), "QWidget", "QChartView", "CBF_GraphData2", Value::None},
    {CTRL(PANEL_GRAPH_JMPBUF), "QWidget", "QChartView", "CBF_GraphData1", Value::None},
    {CTRL(PANEL_SOURCE), "QComboBox", "QComboBox", "CBF_SelectSource", Value::Int},
    {CTRL(PANEL_REGCNT), "QSpinBox", "QSpinBox", "CBF_EditRegcnt", Value::UChar},
    {CTRL(PANEL_PMOD), "QComboBox", "QComboBox", "CBF_EditPmod", Value::UChar},
    {CTRL(PANEL_BACKLIM), "QSpinBox", "QSpinBox", "CBF_EditBacklim", Value::UChar},
    {CTRL(PANEL_DAT0), "QSpinBox", "QSpinBox", "CBF_DispDat0", Value::UChar},
    {CTRL(PANEL_DAT1), "QSpinBox", "QSpinBox", "CBF_DispDat1", Value::UChar},
    {CTRL(PANEL_NORM), "QSpinBox", "QSpinBox", "CBF_DispNORM", Value::UChar},
    {CTRL(PANEL_EDGE), "QSpinBox", "QSpinBox", "CBF_DispEdge", Value::UChar},
    {CTRL(PANEL_WIN), "QSpinBox", "QSpinBox", "CBF_DispWin", Value::UChar},
    {CTRL(PANEL_PARA), "QPushButton", "QPushButton", "CBF_ParaVisible", Value::UChar},
    {CTRL(PANEL_POWER), "QSpinBox", "QSpinBox", "CBF_EditPower", Value::UChar},
    {CTRL(PANEL_HYSTERESIS), "QSpinBox", "QSpinBox", "CBF_EditHysteresis", Value::UChar},
    {CTRL(PANEL_THRESHOLD), "QSpinBox", "QSpinBox", "CBF_EditThreshold", Value::UChar},
    {CTRL(PANEL_LOGO_FRAME), "QFrame", "QFrame", nullptr, Value::None},
    {CTRL(PANEL_STRIPCHART), "QWidget", "QChartView", "CBF_GraphRaw1", Value::None},
    {CTRL(PANEL_DECO1), "QFrame", "QFrame", "CBF_DECO1", Value::None},
    {CTRL(PANEL_DECO2), "QFrame", "QFrame", "CBF_DECO2", Value::None},
    {CTRL(PANEL_DECO3), "QFrame", "QFrame", "CBF_DECO3", Value::None},
    {CTRL(PANEL_DECO4), "QFrame", "QFrame", "CBF_DECO4", Value::None},
    {CTRL(PANEL_DECO5), "QFrame", "QFrame", "CBF_DECO5", Value::None},
    {CTRL(PANEL_DECO6), "QFrame", "QFrame", "CBF_DECO6", Value::None},
};
#undef CTRL

struct UiControl {
    QString uiClass;
    int id = -1;
    QString callback;
};

QString ResourcePath() {
    return QCoreApplication::applicationDirPath() + QStringLiteral("/Dovarid10.uir");
}

// Reads the resource as plain XML: name -> class, ctrlId, callback of every widget that has
// a ctrlId; also the top widget's callback.
std::map<QString, UiControl> ReadResource(QString* panelCallback) {
    QFile file(ResourcePath());
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QXmlStreamReader xml(&file);
    std::map<QString, UiControl> result;
    std::vector<std::pair<QString, UiControl>> stack;
    QString property;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement()) {
            if (xml.name() == QLatin1String("widget")) {
                stack.push_back(
                    {xml.attributes().value(QLatin1String("name")).toString(),
                     {xml.attributes().value(QLatin1String("class")).toString(), -1, {}}});
            } else if (xml.name() == QLatin1String("property")) {
                property = xml.attributes().value(QLatin1String("name")).toString();
            } else if (!stack.empty() && property == QLatin1String("ctrlId") &&
                       xml.name() == QLatin1String("number")) {
                stack.back().second.id = xml.readElementText().toInt();
            } else if (!stack.empty() && property == QLatin1String("callback") &&
                       xml.name() == QLatin1String("string")) {
                stack.back().second.callback = xml.readElementText();
            }
        } else if (xml.isEndElement()) {
            if (xml.name() == QLatin1String("property")) {
                property.clear();
            } else if (xml.name() == QLatin1String("widget")) {
                auto [name, ctrl] = stack.back();
                stack.pop_back();
                if (stack.empty()) {
                    *panelCallback = ctrl.callback;
                } else if (ctrl.id >= 0) {
                    result[name] = ctrl;
                }
            }
        }
    }
    return xml.hasError() ? std::map<QString, UiControl>{} : result;
}

// Every callback name of the resource, bound to one recorder.
std::vector<std::pair<int, int>> g_events; // control, event
int Record(int, int control, int event, void*, int, int) {
    g_events.emplace_back(control, event);
    return 0;
}
int RecordPanel(int, int event, void*, int, int) {
    g_events.emplace_back(0, event);
    return 0;
}
std::vector<CallbackEntry> MakeTable() {
    std::vector<CallbackEntry> table{{"CBF_P", nullptr, RecordPanel}};
    for (const Expect& e : kControls) {
        if (e.callback != nullptr) {
            table.push_back({e.callback, Record, nullptr});
        }
    }
    return table;
}

QList<QLineSeries*> SeriesOf(int panel, int control) {
    QList<QLineSeries*> result;
    auto* view = qobject_cast<QChartView*>(CtrlWidget(panel, control));
    for (QAbstractSeries* s : view->chart()->series()) {
        result << qobject_cast<QLineSeries*>(s);
    }
    return result;
}

QList<double> Ys(const QLineSeries* s) {
    QList<double> ys;
    for (const QPointF& p : s->points()) {
        ys << p.y();
    }
    return ys;
}

QRect Geometry(int panel, int control) {
    return CtrlWidget(panel, control)->geometry();
}

bool Hidden(int panel, int control) {
    return CtrlWidget(panel, control)->isHidden();
}

} // namespace

class PanelTest : public QObject {
    Q_OBJECT
    std::vector<CallbackEntry> table_ = MakeTable();
    int panel_ = 0;

  private slots:
    void initTestCase() {
        RegisterCallbacks(table_);
        panel_ = LoadPanel(0, "Dovarid10.uir", PANEL);
        QVERIFY(panel_ > 0);
    }

    void resourceAgreesWithControlIds() {
        QString panelCallback;
        const std::map<QString, UiControl> found = ReadResource(&panelCallback);
        QVERIFY2(!found.empty(), "resource missing or not well-formed XML");
        QCOMPARE(panelCallback, QStringLiteral("CBF_P"));
        QCOMPARE(found.size(), std::size(kControls));
        std::map<int, QString> ids;
        for (const Expect& e : kControls) {
            const QString name = QString::fromLatin1(e.name);
            QVERIFY2(found.count(name) == 1, e.name);
            const UiControl& c = found.at(name);
            QCOMPARE(c.id, e.id);
            QCOMPARE(c.uiClass, QString::fromLatin1(e.uiClass));
            QCOMPARE(c.callback, QString::fromLatin1(e.callback == nullptr ? "" : e.callback));
            QVERIFY2(ids.emplace(c.id, name).second, e.name);
        }
    }

    void loadedControlsHaveKindValueAndCallback() {
        QWidget* top = PanelWidget(panel_);
        QCOMPARE(top->windowTitle(), QStringLiteral("TAVRIN-Zurid V1.0"));
        QVERIFY(top->width() >= 820 && top->width() <= 900);
        QVERIFY(top->height() >= 580 && top->height() <= 660);
        for (const Expect& e : kControls) {
            QWidget* w = CtrlWidget(panel_, e.id);
            QVERIFY2(w != nullptr, e.name);
            QCOMPARE(w->metaObject()->className(), e.loadedClass);
            QCOMPARE(w->property("ctrlId").toInt(), e.id);
            QCOMPARE(w->property("callback").toString(),
                     QString::fromLatin1(e.callback == nullptr ? "" : e.callback));
            int i = 0;
            unsigned char u = 0;
            std::string s;
            switch (e.value) {
            case Value::UChar:
                QVERIFY2(GetCtrlVal(panel_, e.id, &u) == 0, e.name);
                break;
            case Value::Int:
                if (e.id != PANEL_COM) { // the port table may be empty on this machine
                    QVERIFY2(GetCtrlVal(panel_, e.id, &i) == 0, e.name);
                }
                break;
            case Value::Text:
                QVERIFY2(GetCtrlVal(panel_, e.id, &s) == 0, e.name);
                break;
            case Value::None:
                break;
            }
        }
        QCOMPARE(CtrlWidget(panel_, PANEL_COM)->property("ctrlKind").toString(),
                 QStringLiteral("comports"));
        std::string label;
        QCOMPARE(GetCtrlAttribute(panel_, PANEL_COM, ATTR_LABEL_TEXT, &label), 0);
        QCOMPARE(label, std::string("COM PORT"));
    }

    void ringsAndRanges() {
        auto texts = [this](int control) {
            int n = 0;
            GetNumListItems(panel_, control, &n);
            QStringList list;
            for (int i = 0; i < n; ++i) {
                std::string t;
                GetLabelFromIndex(panel_, control, i, &t);
                list << QString::fromStdString(t);
                // Every ring of the resource delivers its item index as its value.
                const auto* ring = qobject_cast<QComboBox*>(CtrlWidget(panel_, control));
                if (ring->itemData(i).toInt() != i) {
                    list << QStringLiteral("<bad value>");
                }
            }
            return list;
        };
        QCOMPARE(texts(PANEL_TRIGGER), (QStringList{"CONT", "EXT", "ADJ EXT"}));
        QCOMPARE(texts(PANEL_OUTMODE), (QStringList{"DIRECT", "INVERSE"}));
        QCOMPARE(texts(PANEL_PMOD), (QStringList{"STAT", "DYN"}));
        QCOMPARE(texts(PANEL_DEADTIMEMODE), (QStringList{"%", "ms"}));
        QCOMPARE(texts(PANEL_SOURCE), (QStringList{"DAT0/DAT1", "NORM", "ADJUST"}));
        QCOMPARE(texts(PANEL_HOLD).size(), 8);
        QCOMPARE(texts(PANEL_HOLD).first(), QStringLiteral("OFF"));
        QCOMPARE(texts(PANEL_AVERAGE), (QStringList{"1", "2", "4", "8", "16", "32", "64", "128"}));
        QStringList percent;
        for (int i = 0; i < 16; ++i) {
            percent << QString::number(6 * i);
        }
        QCOMPARE(texts(PANEL_DEADTIME), percent);
        std::string label;
        GetCtrlAttribute(panel_, PANEL_DEADTIME, ATTR_LABEL_TEXT, &label);
        QCOMPARE(label, std::string("DEAD TIME[%]"));
        GetCtrlAttribute(panel_, PANEL_POWER, ATTR_LABEL_TEXT, &label);
        QVERIFY(label.find('%') != std::string::npos);

        for (int c : {PANEL_THRESHOLD, PANEL_HYSTERESIS, PANEL_BACKLIM, PANEL_REGCNT, PANEL_POWER,
                      PANEL_DAT0, PANEL_DAT1, PANEL_NORM, PANEL_EDGE, PANEL_WIN}) {
            const auto* spin = qobject_cast<QSpinBox*>(CtrlWidget(panel_, c));
            QCOMPARE(spin->minimum(), 0);
            QCOMPARE(spin->maximum(), c == PANEL_POWER ? 100 : 255);
            const bool display = c == PANEL_DAT0 || c == PANEL_DAT1 || c == PANEL_NORM ||
                                 c == PANEL_EDGE || c == PANEL_WIN;
            QCOMPARE(spin->isReadOnly(), display);
            QCOMPARE(spin->buttonSymbols() == QAbstractSpinBox::NoButtons, display);
            QVERIFY(!spin->keyboardTracking());
        }
        QVERIFY(qobject_cast<QLineEdit*>(CtrlWidget(panel_, PANEL_STATUS))->isReadOnly());
    }

    void startState() {
        for (int c :
             {PANEL_THRESHOLD, PANEL_HYSTERESIS, PANEL_TRIGGER, PANEL_HOLD, PANEL_PMOD, PANEL_POWER,
              PANEL_STRIPCHART, PANEL_DAT0, PANEL_DAT1, PANEL_NORM, PANEL_NORM_DECO}) {
            QVERIFY(!Hidden(panel_, c));
        }
        for (int c : {PANEL_BACKLIM, PANEL_REGCNT, PANEL_AVERAGE, PANEL_OUTMODE, PANEL_DEADTIMEMODE,
                      PANEL_DEADTIME, PANEL_GRAPH_ADJ, PANEL_GRAPH_JMPBUF, PANEL_EDGE, PANEL_WIN}) {
            QVERIFY(Hidden(panel_, c));
        }
        // A caption starts in the state of its control.
        auto* caption = PanelWidget(panel_)->findChild<QLabel*>(
            CtrlWidget(panel_, PANEL_BACKLIM)->property("labelWidget").toString());
        QVERIFY(caption != nullptr && caption->isHidden());
        int v = -1;
        GetCtrlVal(panel_, PANEL_RAM, &v);
        QCOMPARE(v, 1);
        GetCtrlVal(panel_, PANEL_EEPROM, &v);
        QCOMPARE(v, 0);
        GetCtrlVal(panel_, PANEL_FILE, &v);
        QCOMPARE(v, 0);
        GetCtrlVal(panel_, PANEL_PARA, &v);
        QCOMPARE(v, 1);
        GetCtrlVal(panel_, PANEL_SOURCE, &v);
        QCOMPARE(v, 0);
        // PMOD starts DYN, so POWER starts dimmed and REGCNT not.
        GetCtrlVal(panel_, PANEL_PMOD, &v);
        QCOMPARE(v, 1);
        GetCtrlAttribute(panel_, PANEL_POWER, ATTR_DIMMED, &v);
        QCOMPARE(v, 1);
        GetCtrlAttribute(panel_, PANEL_REGCNT, ATTR_DIMMED, &v);
        QCOMPARE(v, 0);
        GetCtrlVal(panel_, PANEL_DEADTIME, &v);
        QVERIFY(v >= 0 && v <= 15);
    }

    void sharedPlaces() {
        const int basic[] = {PANEL_THRESHOLD, PANEL_HYSTERESIS, PANEL_TRIGGER,
                             PANEL_HOLD,      PANEL_PMOD,       PANEL_POWER};
        const int extra[] = {PANEL_BACKLIM, PANEL_REGCNT,       PANEL_AVERAGE,
                             PANEL_OUTMODE, PANEL_DEADTIMEMODE, PANEL_DEADTIME};
        for (int n = 0; n < 6; ++n) {
            const QRect place = Geometry(panel_, PANEL_DECO1 + n);
            QCOMPARE(Geometry(panel_, basic[n]), Geometry(panel_, extra[n]));
            QVERIFY(place.contains(Geometry(panel_, basic[n])));
            for (int m = 0; m < n; ++m) {
                QVERIFY(!place.intersects(Geometry(panel_, PANEL_DECO1 + m)));
            }
        }
        const QRect graph = Geometry(panel_, PANEL_STRIPCHART);
        QCOMPARE(Geometry(panel_, PANEL_GRAPH_ADJ), graph);
        QCOMPARE(Geometry(panel_, PANEL_GRAPH_JMPBUF), graph);
        const QRect values = Geometry(panel_, PANEL_NORM_DECO);
        for (int c : {PANEL_DAT0, PANEL_DAT1, PANEL_NORM, PANEL_EDGE, PANEL_WIN}) {
            QVERIFY(values.contains(Geometry(panel_, c)));
        }
        // The banner band is free: the logo frame spans it and nothing else reaches into it.
        const QRect band = Geometry(panel_, PANEL_LOGO_FRAME);
        QCOMPARE(band.width(), PanelWidget(panel_)->width());
        QVERIFY(band.contains(Geometry(panel_, PANEL_LOGO)));
        for (const Expect& e : kControls) {
            if (e.id != PANEL_LOGO_FRAME && e.id != PANEL_LOGO) {
                QVERIFY2(!band.intersects(Geometry(panel_, e.id)), e.name);
            }
        }
    }

    void shortcutKeysCommit() {
        QWidget* top = PanelWidget(panel_);
        DisplayPanel(panel_);
        QApplication::setActiveWindow(top);
        QVERIFY(QTest::qWaitForWindowActive(top));
        const std::pair<int, Qt::Key> keys[] = {{PANEL_GETBUFF, Qt::Key_F8},
                                                {PANEL_SEND, Qt::Key_F9},
                                                {PANEL_GET, Qt::Key_F10},
                                                {PANEL_GO, Qt::Key_F11},
                                                {PANEL_STOP, Qt::Key_F12}};
        for (auto [control, key] : keys) {
            auto* button = qobject_cast<QAbstractButton*>(CtrlWidget(panel_, control));
            QCOMPARE(button->shortcut(), QKeySequence(key));
            QVERIFY(button->text().contains(button->shortcut().toString()));
            g_events.clear();
            QTest::keyClick(top, key);
            // At once, not after a pressed-look animation.
            QCOMPARE(g_events.size(), std::size_t{1});
            QCOMPARE(g_events[0], std::make_pair(control, EVENT_COMMIT));
        }
    }

    void graphPlots() {
        unsigned char edge[101] = {};
        unsigned char window[101] = {};
        edge[30] = 150;
        window[60] = 150;
        const int h1 = PlotY(panel_, PANEL_GRAPH_ADJ, edge, 100, VAL_UNSIGNED_CHAR, VAL_THICK_LINE,
                             VAL_EMPTY_SQUARE, VAL_SOLID, 1, 0x0000FF);
        const int h2 = PlotY(panel_, PANEL_GRAPH_ADJ, window, 100, VAL_UNSIGNED_CHAR,
                             VAL_THICK_LINE, VAL_EMPTY_SQUARE, VAL_SOLID, 1, 0xFF0000);
        QVERIFY(h1 > 0 && h2 > 0 && h1 != h2);
        QList<QLineSeries*> plots = SeriesOf(panel_, PANEL_GRAPH_ADJ);
        QCOMPARE(plots.size(), 2);
        QCOMPARE(plots[0]->count(), 100);
        QCOMPARE(plots[0]->at(30), QPointF(30, 150));
        QCOMPARE(plots[0]->at(31), QPointF(31, 0));
        QCOMPARE(plots[1]->at(60), QPointF(60, 150));
        QCOMPARE(plots[0]->pen().color(), QColor(0, 0, 255));
        QCOMPARE(plots[1]->pen().color(), QColor(255, 0, 0));
        QVERIFY(plots[0]->pen().width() >= 2);
        QCOMPARE(DeleteGraphPlot(panel_, PANEL_GRAPH_ADJ, -1, 1), 0);
        QCOMPARE(SeriesOf(panel_, PANEL_GRAPH_ADJ).size(), 0);
        const double doubles[3] = {1.5, 2.5, 3.5};
        PlotY(panel_, PANEL_GRAPH_JMPBUF, doubles, 3, VAL_DOUBLE, VAL_THICK_LINE, 0, 0, 1, 0);
        QCOMPARE(Ys(SeriesOf(panel_, PANEL_GRAPH_JMPBUF).at(0)), (QList<double>{1.5, 2.5, 3.5}));
        DeleteGraphPlot(panel_, PANEL_GRAPH_JMPBUF, -1, 1);
    }

    void stripChartTraces() {
        QList<QLineSeries*> traces = SeriesOf(panel_, PANEL_STRIPCHART);
        QCOMPARE(traces.size(), 5);
        QStringList names;
        for (QLineSeries* t : traces) {
            names << t->name();
        }
        QCOMPARE(names, (QStringList{"DAT0", "DAT1", "NORM", "THRESHOLD", "HYSTERESIS"}));
        for (int i = 0; i < 5; ++i) {
            for (int j = 0; j < i; ++j) {
                QVERIFY(traces[i]->pen().color() != traces[j]->pen().color());
            }
        }
        QCOMPARE(SetCtrlAttribute(panel_, PANEL_STRIPCHART, ATTR_POINTS_PER_SCREEN, 101), 0);
        // Two calls of 100 samples each: every trace keeps its last 101 values.
        double all[500];
        for (int round = 0; round < 2; ++round) {
            for (int k = 0; k < 500; ++k) {
                all[k] = round * 1000 + k;
            }
            QCOMPARE(PlotStripChart(panel_, PANEL_STRIPCHART, all, 500, 0, 0, VAL_DOUBLE), 0);
        }
        for (int t = 0; t < 5; ++t) {
            const QList<double> ys = Ys(traces[t]);
            QCOMPARE(ys.size(), 101);
            QCOMPARE(ys.first(), 495.0 + t); // newest of the first call
            QCOMPARE(ys.at(1), 1000.0 + t);  // then the whole second call
            QCOMPARE(ys.last(), 1495.0 + t);
        }
        int points = 0;
        SetCtrlAttribute(panel_, PANEL_STRIPCHART, ATTR_POINTS_PER_SCREEN, 20);
        GetCtrlAttribute(panel_, PANEL_STRIPCHART, ATTR_POINTS_PER_SCREEN, &points);
        QCOMPARE(points, 20);
        QCOMPARE(traces[2]->count(), 20);
        QCOMPARE(Ys(traces[2]).last(), 1497.0);
        SetCtrlAttribute(panel_, PANEL_STRIPCHART, ATTR_POINTS_PER_SCREEN, 101);

        QCOMPARE(SetTraceAttribute(panel_, PANEL_STRIPCHART, 2, ATTR_TRACE_VISIBLE, 0), 0);
        QVERIFY(traces[0]->isVisible() && !traces[1]->isVisible());
        SetTraceAttribute(panel_, PANEL_STRIPCHART, 2, ATTR_TRACE_VISIBLE, 1);
        QVERIFY(traces[1]->isVisible());
        QVERIFY(SetTraceAttribute(panel_, PANEL_STRIPCHART, 6, ATTR_TRACE_VISIBLE, 0) < 0);
    }

    void cleanupTestCase() { DiscardPanel(panel_); }
};

QTEST_MAIN(PanelTest)
#include "test_panel.moc"
