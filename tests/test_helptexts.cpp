// The help texts keep the exact shape the operator documentation gives them: line count, the
// run of spaces before each line break, the leading and trailing spaces and the odd spellings.
// The expected figures are written out here from that documentation, not taken from the header.
#include "app/helptexts.h"

#include <QList>
#include <QTest>

#include <set>
#include <string>
#include <string_view>

using namespace zurid;

namespace {

QList<int> runs(int count, int spaces) {
    return QList<int>(count, spaces);
}

// The lines of a text, split at each line feed.
QList<QByteArray> linesOf(const char* text) {
    return QByteArray(text).split('\n');
}

int trailingSpaces(const QByteArray& line) {
    int n = 0;
    while (n < line.size() && line[line.size() - 1 - n] == ' ') {
        ++n;
    }
    return n;
}

} // namespace

class TestHelpTexts : public QObject {
    Q_OBJECT
  private slots:
    void shape_data();
    void shape();
    void oddWordingKept();
    void likeWordedTextsDifferOnlyInSpacing();
    void everyTextIsShownAndTablesAgree();
    void decorationFollowsGroup();
};

void TestHelpTexts::shape_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("lines");
    // Spaces before each line break, in order.
    QTest::addColumn<QList<int>>("breakRuns");
    // Spaces at the very end of the text.
    QTest::addColumn<int>("endRun");
    QTest::addColumn<bool>("leadingSpace");

    auto row = [](const char* name, const char* text, int lines, QList<int> breakRuns, int endRun,
                  bool leading = true) {
        QTest::newRow(name) << QByteArray(text) << lines << breakRuns << endRun << leading;
    };
    row("EditConnect", InfoEditConnect, 1, {}, 0);
    row("ButtonSend", InfoButtonSend, 3, runs(2, 27), 1);
    row("ButtonGet", InfoButtonGet, 3, runs(2, 26), 1);
    row("ButtonGo", InfoButtonGo, 3, {25, 24}, 1);
    row("ButtonStop", InfoButtonStop, 2, runs(1, 24), 1);
    row("ButtonGetBuff", InfoButtonGetBuff, 5, runs(4, 30), 1);
    row("SelectMEM", InfoSelectMEM, 1, {}, 0);
    row("SwitchPara", InfoSwitchPara, 1, {}, 0);
    row("SelectSource", InfoSelectSource, 1, {}, 0);
    row("EditThreshold", InfoEditThreshold, 5, runs(4, 29), 1);
    row("EditHysteresis", InfoEditHysteresis, 7, runs(6, 31), 0);
    row("EditTrigger", InfoEditTrigger, 5, runs(4, 28), 0);
    row("EditPmod", InfoEditPmod, 5, runs(4, 25), 0);
    row("EditPower", InfoEditPower, 2, runs(1, 26), 0);
    row("EditHold", InfoEditHold, 3, runs(2, 25), 0);
    row("EditBacklim", InfoEditBacklim, 3, runs(2, 28), 1);
    row("EditRegcnt", InfoEditRegcnt, 2, runs(1, 26), 1, false);
    row("EditAverage", InfoEditAverage, 1, {}, 0);
    row("EditOutmode", InfoEditOutmode, 5, runs(4, 28), 1);
    row("EditDeadTimeMode", InfoEditDeadTimeMode, 3, runs(2, 33), 0);
    row("EditDeadTime", InfoEditDeadTime, 2, runs(1, 29), 0);
    row("DispDat0", InfoDispDat0, 1, {}, 1);
    row("DispDat1", InfoDispDat1, 1, {}, 1);
    row("DispNORM", InfoDispNORM, 2, runs(1, 25), 1);
    row("DispEDGE", InfoDispEDGE, 2, runs(1, 25), 1);
    row("DispWIN", InfoDispWIN, 2, runs(1, 24), 1);
    row("Status", InfoStatus, 1, {}, 0);
    row("Graph", InfoGraph, 1, {}, 0);
    row("GraphData1", InfoGraphData1, 5, runs(4, 27), 1);
    row("GraphData2", InfoGraphData2, 7, runs(6, 27), 0);
    row("Timeout", InfoTimeout, 4, runs(3, 1), 0);
}

void TestHelpTexts::shape() {
    QFETCH(QByteArray, text);
    QFETCH(int, lines);
    QFETCH(QList<int>, breakRuns);
    QFETCH(int, endRun);
    QFETCH(bool, leadingSpace);

    for (char c : text) {
        QVERIFY2(c == '\n' || (c >= 0x20 && c <= 0x7E), "only printable ASCII and line feeds");
    }
    const QList<QByteArray> parts = text.split('\n');
    QCOMPARE(parts.size(), lines);
    QList<int> got;
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        QVERIFY2(!parts[i].trimmed().isEmpty() || parts[i] == " ", "no blank lines but a space");
        got << trailingSpaces(parts[i]);
    }
    QCOMPARE(got, breakRuns);
    QCOMPARE(trailingSpaces(parts.last()), endRun);
    QCOMPARE(text.startsWith(' '), leadingSpace);
    // A text begins with one space at most.
    QVERIFY(!text.startsWith("  "));
}

void TestHelpTexts::oddWordingKept() {
    QCOMPARE(std::string_view(InfoEditAverage).size(), std::size_t{98});
    QVERIFY(std::string_view(InfoEditThreshold).find("higher TRESHOLD.") != std::string_view::npos);
    QVERIFY(std::string_view(InfoEditThreshold).ends_with("set the THRESHOLD "));
    QVERIFY(std::string_view(InfoEditHysteresis).ends_with("counting arround the THRESHOLD."));
    QVERIFY(std::string_view(InfoEditDeadTimeMode).starts_with(" Indicator field for theDEAD "));
    QVERIFY(
        std::string_view(InfoEditPower).ends_with(" 0% = no intensity,  100% = full intensity."));
    QCOMPARE(std::string_view(InfoDispDat0), " Displays the RAW value of the the receiver DAT0. ");
    QCOMPARE(std::string_view(InfoDispDat1), " Displays the RAW value of the the receiver DAT1. ");
    const QList<QByteArray> adj = linesOf(InfoGraphData2);
    QVERIFY(adj[0].contains("from one positiv edge"));
    QVERIFY(adj[2].contains("corresponds wiht 100%"));
    QCOMPARE(adj.last(), QByteArray(" middle of the active window (30%)."));
    QVERIFY(std::string_view(InfoEditRegcnt).starts_with("This EDIT-BOX"));
    QVERIFY(linesOf(InfoEditPmod)[3].startsWith("       is diffusely reflected"));
    QCOMPARE(std::string_view(InfoTimeout),
             " ATTENTION! \n \n TIMEOUT \n NO SERIAL CONNECTION TO SENSOR");
    QCOMPARE(std::string_view(InfoTitle), "Info");
    QCOMPARE(std::string_view(TimeoutTitle), "INFO");
}

void TestHelpTexts::likeWordedTextsDifferOnlyInSpacing() {
    const QList<QByteArray> buff = linesOf(InfoButtonGetBuff);
    const QList<QByteArray> graph = linesOf(InfoGraphData1);
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(buff[i].trimmed(), graph[i].trimmed());
    }
    QCOMPARE(buff[4], QByteArray(" Shortcut Key: F8. "));
    QCOMPARE(graph[4], QByteArray(" The 16-value JUMP BUFFER is shown in this graph. "));

    const QList<QByteArray> edge = linesOf(InfoDispEDGE);
    const QList<QByteArray> win = linesOf(InfoDispWIN);
    QCOMPARE(edge.size(), win.size());
    for (qsizetype i = 0; i < edge.size(); ++i) {
        QCOMPARE(edge[i].trimmed(), win[i].trimmed());
    }
    QVERIFY(std::string_view(InfoDispEDGE) != std::string_view(InfoDispWIN));
}

void TestHelpTexts::everyTextIsShownAndTablesAgree() {
    const std::set<std::string_view> all{
        InfoEditConnect,  InfoButtonSend,    InfoButtonGet,      InfoButtonGo,
        InfoButtonStop,   InfoButtonGetBuff, InfoSelectMEM,      InfoSwitchPara,
        InfoSelectSource, InfoEditThreshold, InfoEditHysteresis, InfoEditTrigger,
        InfoEditPmod,     InfoEditPower,     InfoEditHold,       InfoEditBacklim,
        InfoEditRegcnt,   InfoEditAverage,   InfoEditOutmode,    InfoEditDeadTimeMode,
        InfoEditDeadTime, InfoDispDat0,      InfoDispDat1,       InfoDispNORM,
        InfoDispEDGE,     InfoDispWIN,       InfoStatus,         InfoGraph,
        InfoGraphData1,   InfoGraphData2};
    QCOMPARE(all.size(), std::size_t{30}); // thirty distinct texts

    std::set<std::string_view> shown;
    std::set<std::string_view> callbacks;
    std::set<int> controls;
    int memSelectors = 0;
    for (const HelpEntry& e : HelpTable) {
        QVERIFY2(all.count(e.text) == 1, e.callback);
        shown.insert(e.text);
        callbacks.insert(e.callback);
        controls.insert(e.control);
        memSelectors += std::string_view(e.text) == InfoSelectMEM;
        QVERIFY(HelpTextOf(e.control) == e.text);
    }
    QCOMPARE(callbacks.size(), HelpTable.size());
    QCOMPARE(controls.size(), HelpTable.size());
    QCOMPARE(memSelectors, 3);
    QVERIFY(HelpTextOf(PANEL_DECO1) == nullptr);
    QVERIFY(HelpTextOf(PANEL_LOGO) == nullptr);

    // Each decoration text is one parameter editor's text, and twelve editors are covered.
    std::set<std::string_view> decoTexts;
    for (const DecoHelpEntry& d : DecoHelpTable) {
        for (const char* t : {d.basic, d.additional}) {
            decoTexts.insert(t);
            bool editor = false;
            for (const HelpEntry& e : HelpTable) {
                editor = editor || (std::string_view(e.text) == t &&
                                    std::string_view(e.callback).starts_with("CBF_Edit"));
            }
            QVERIFY2(editor, d.callback);
        }
    }
    QCOMPARE(decoTexts.size(), std::size_t{12});
    shown.insert(decoTexts.begin(), decoTexts.end());
    QCOMPARE(shown, all);
}

void TestHelpTexts::decorationFollowsGroup() {
    // para 1 is the basic group; 0 (and anything else) the additional one.
    QVERIFY(DecoHelpTextOf(PANEL_DECO1, 1) == InfoEditThreshold);
    QVERIFY(DecoHelpTextOf(PANEL_DECO1, 0) == InfoEditBacklim);
    QVERIFY(DecoHelpTextOf(PANEL_DECO3, 1) == InfoEditTrigger);
    QVERIFY(DecoHelpTextOf(PANEL_DECO3, 0) == InfoEditAverage);
    QVERIFY(DecoHelpTextOf(PANEL_DECO6, 1) == InfoEditPower);
    QVERIFY(DecoHelpTextOf(PANEL_DECO6, 2) == InfoEditDeadTime);
    QVERIFY(DecoHelpTextOf(PANEL_THRESHOLD, 1) == nullptr);
    QVERIFY(DecoHelpTextOf(PANEL_GO, 0) == nullptr);
}

QTEST_APPLESS_MAIN(TestHelpTexts)
#include "test_helptexts.moc"
