// The toolkit layer on Qt, driven through the real panel: which operator actions reach the
// callbacks and with which events, what program calls change, graphs, popups and the loop.
#include "platform/serial/eventpump.h"
#include "platform/serial/utility.h"
#include "platform/ui/Dovarid10.h"
#include "platform/ui/qtaccess.h"
#include "platform/ui/userint.h"
#include "support/popups.h"

#include <QAbstractButton>
#include <QApplication>
#include <QChartView>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <vector>

using zurid::platform::ProcessSystemEvents;

namespace {

struct Ev {
    int control;
    int event;
    bool operator==(const Ev&) const = default;
};
std::vector<Ev> g_events;
// Extra work a callback does for some test, by control id.
std::function<void(int control, int event)> g_action;

int Record(int, int control, int event, void*, int, int) {
    g_events.push_back({control, event});
    if (g_action) {
        g_action(control, event);
    }
    return 0;
}
int RecordPanel(int, int event, void*, int, int) {
    g_events.push_back({0, event});
    return 0;
}

const char* const kNames[] = {
    "CBF_EditConnect", "CBF_ButtonSend",     "CBF_ButtonGet",     "CBF_ButtonGo",
    "CBF_ButtonStop",  "CBF_ButtonGetBuff",  "CBF_SelectFILE",    "CBF_SelectEEPROM",
    "CBF_SelectRAM",   "CBF_DispStatus",     "CBF_EditOutmode",   "CBF_EditAverage",
    "CBF_EditHold",    "CBF_EditTrigger",    "CBF_EditDeadTime",  "CBF_EditDeadTimeMode",
    "CBF_GraphData2",  "CBF_GraphData1",     "CBF_SelectSource",  "CBF_EditRegcnt",
    "CBF_EditPmod",    "CBF_EditBacklim",    "CBF_DispDat0",      "CBF_DispDat1",
    "CBF_DispNORM",    "CBF_DispEdge",       "CBF_DispWin",       "CBF_ParaVisible",
    "CBF_EditPower",   "CBF_EditHysteresis", "CBF_EditThreshold", "CBF_GraphRaw1",
    "CBF_DECO1",       "CBF_DECO2",          "CBF_DECO3",         "CBF_DECO4",
    "CBF_DECO5",       "CBF_DECO6"};

std::vector<CallbackEntry> MakeTable() {
    std::vector<CallbackEntry> table{{"CBF_P", nullptr, RecordPanel}};
    for (const char* name : kNames) {
        table.push_back({name, Record, nullptr});
    }
    return table;
}

void RightPress(QWidget* w) {
    QTest::mousePress(w, Qt::RightButton, {}, QPoint(4, 4));
}

} // namespace

class ToolkitTest : public QObject {
    Q_OBJECT
    std::vector<CallbackEntry> table_ = MakeTable();
    int panel_ = 0;

    template <class T> T* W(int control) { return qobject_cast<T*>(CtrlWidget(panel_, control)); }

  private slots:
    void initTestCase() {
        RegisterCallbacks(table_);
        panel_ = LoadPanel(0, "Dovarid10.uir", PANEL);
        QVERIFY(panel_ > 0);
        DisplayPanel(panel_);
        QApplication::setActiveWindow(PanelWidget(panel_));
        QVERIFY(QTest::qWaitForWindowActive(PanelWidget(panel_)));
    }
    void init() {
        g_events.clear();
        g_action = nullptr;
    }

    void unusableResourcesAreRefused() {
        QVERIFY(LoadPanel(0, "no-such-panel.uir", PANEL) < 0);
        QTemporaryDir dir;
        const QString junk = dir.filePath(QStringLiteral("junk.uir"));
        QFile f(junk);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("this is not a panel\n");
        f.close();
        QVERIFY(LoadPanel(0, junk.toLocal8Bit().constData(), PANEL) < 0);
        // Two controls with one id would make the ids ambiguous.
        QFile twice(dir.filePath(QStringLiteral("twice.uir")));
        QVERIFY(twice.open(QIODevice::WriteOnly));
        twice.write(R"(<ui version="4.0"><widget class="QWidget" name="P">
            <widget class="QLabel" name="a"><property name="ctrlId" stdset="0"><number>3</number></property></widget>
            <widget class="QLabel" name="b"><property name="ctrlId" stdset="0"><number>3</number></property></widget>
            </widget></ui>)");
        twice.close();
        QVERIFY(LoadPanel(0, twice.fileName().toLocal8Bit().constData(), PANEL) < 0);
        QCOMPARE(SetCtrlVal(panel_ + 100, PANEL_THRESHOLD, 1) < 0, true);
        QCOMPARE(SetCtrlVal(panel_, 999, 1) < 0, true);
    }

    void programValuesRaiseNoEvent() {
        QCOMPARE(SetCtrlVal(panel_, PANEL_THRESHOLD, 77), 0);
        QCOMPARE(SetCtrlVal(panel_, PANEL_TRIGGER, 2), 0);
        QCOMPARE(SetCtrlVal(panel_, PANEL_EEPROM, 1), 0);
        QCOMPARE(SetCtrlVal(panel_, PANEL_PARA, 0), 0);
        QCOMPARE(SetCtrlVal(panel_, PANEL_STATUS, "LINE OK"), 0);
        QCOMPARE(SetCtrlVal(panel_, PANEL_DEADTIME, 3.0), 0);
        QCoreApplication::processEvents();
        QVERIFY(g_events.empty());

        unsigned char u = 0;
        int i = 0;
        double d = 0;
        std::string s;
        GetCtrlVal(panel_, PANEL_THRESHOLD, &u);
        QCOMPARE(u, 77);
        GetCtrlVal(panel_, PANEL_TRIGGER, &i);
        QCOMPARE(i, 2);
        QCOMPARE(W<QComboBox>(PANEL_TRIGGER)->currentText(), QStringLiteral("ADJ EXT"));
        GetCtrlVal(panel_, PANEL_EEPROM, &i);
        QCOMPARE(i, 1);
        GetCtrlVal(panel_, PANEL_PARA, &u);
        QCOMPARE(u, 0);
        QCOMPARE(W<QAbstractButton>(PANEL_PARA)->text(), QStringLiteral("ADDITIONAL"));
        GetCtrlVal(panel_, PANEL_STATUS, &s);
        QCOMPARE(s, std::string("LINE OK"));
        GetCtrlVal(panel_, PANEL_DEADTIME, &d);
        QCOMPARE(d, 3.0);
        // Out of range: coerced to the control's range; a value no ring item has: refused.
        SetCtrlVal(panel_, PANEL_WIN, 300);
        GetCtrlVal(panel_, PANEL_WIN, &i);
        QCOMPARE(i, 255);
        SetCtrlVal(panel_, PANEL_POWER, -5);
        GetCtrlVal(panel_, PANEL_POWER, &i);
        QCOMPARE(i, 0);
        QVERIFY(SetCtrlVal(panel_, PANEL_TRIGGER, 7) < 0);
        GetCtrlVal(panel_, PANEL_TRIGGER, &i);
        QCOMPARE(i, 2);
        QVERIFY(SetCtrlVal(panel_, PANEL_STATUS, 5) < 0);
        SetCtrlVal(panel_, PANEL_EEPROM, 0);
        SetCtrlVal(panel_, PANEL_PARA, 1);
        QVERIFY(g_events.empty());
    }

    void operatorEditsCommit() {
        // Typing into a spin box commits once, when the entry is finished.
        QSpinBox* threshold = W<QSpinBox>(PANEL_THRESHOLD);
        threshold->setFocus();
        threshold->selectAll();
        QTest::keyClicks(threshold, QStringLiteral("201"));
        QVERIFY(g_events.empty());
        QTest::keyClick(threshold, Qt::Key_Enter);
        QCOMPARE(g_events, (std::vector<Ev>{{PANEL_THRESHOLD, EVENT_COMMIT}}));
        QCOMPARE(threshold->value(), 201);
        g_events.clear();
        QTest::keyClick(threshold, Qt::Key_Up);
        QCOMPARE(g_events, (std::vector<Ev>{{PANEL_THRESHOLD, EVENT_COMMIT}}));
        g_events.clear();

        // A ring commits when the operator picks an item.
        QComboBox* hold = W<QComboBox>(PANEL_HOLD);
        const int before = hold->currentIndex();
        hold->setFocus();
        QTest::keyClick(hold, Qt::Key_Down);
        QCOMPARE(g_events, (std::vector<Ev>{{PANEL_HOLD, EVENT_COMMIT}}));
        int v = 0;
        GetCtrlVal(panel_, PANEL_HOLD, &v);
        QCOMPARE(v, before + 1);
        g_events.clear();

        // A toggle reports the change of value, then the commit; a command button commits;
        // the switch commits and shows its state.
        QTest::mouseClick(W<QWidget>(PANEL_FILE), Qt::LeftButton);
        QTest::mouseClick(W<QWidget>(PANEL_GO), Qt::LeftButton);
        QTest::mouseClick(W<QWidget>(PANEL_PARA), Qt::LeftButton);
        QCOMPARE(g_events, (std::vector<Ev>{{PANEL_FILE, EVENT_VAL_CHANGED},
                                            {PANEL_FILE, EVENT_COMMIT},
                                            {PANEL_GO, EVENT_COMMIT},
                                            {PANEL_PARA, EVENT_COMMIT}}));
        GetCtrlVal(panel_, PANEL_FILE, &v);
        QCOMPARE(v, 1);
        GetCtrlVal(panel_, PANEL_PARA, &v);
        QCOMPARE(v, 0);
        QCOMPARE(W<QAbstractButton>(PANEL_PARA)->text(), QStringLiteral("ADDITIONAL"));
        SetCtrlVal(panel_, PANEL_FILE, 0);
        SetCtrlVal(panel_, PANEL_PARA, 1);
        QCOMPARE(W<QAbstractButton>(PANEL_PARA)->text(), QStringLiteral("BASIC"));

        // A number typed but not yet entered is committed before a shortcut key acts.
        g_events.clear();
        threshold->setFocus();
        threshold->selectAll();
        QTest::keyClicks(threshold, QStringLiteral("99"));
        QTest::keyClick(threshold, Qt::Key_F9);
        QTRY_COMPARE(g_events, (std::vector<Ev>{{PANEL_THRESHOLD, EVENT_COMMIT},
                                                {PANEL_SEND, EVENT_COMMIT}}));
        GetCtrlVal(panel_, PANEL_THRESHOLD, &v);
        QCOMPARE(v, 99);
    }

    void rightClickOnlyReports() {
        SetCtrlVal(panel_, PANEL_HYSTERESIS, 140);
        QWidget* inner = W<QSpinBox>(PANEL_HYSTERESIS)->findChild<QLineEdit*>();
        QVERIFY(inner != nullptr);
        RightPress(inner);
        RightPress(W<QWidget>(PANEL_SOURCE));
        RightPress(W<QWidget>(PANEL_EEPROM));
        RightPress(W<QWidget>(PANEL_GO));
        RightPress(W<QChartView>(PANEL_STRIPCHART)->viewport());
        RightPress(W<QWidget>(PANEL_DECO3));
        RightPress(W<QWidget>(PANEL_STATUS));
        // The caption belongs to its control.
        RightPress(PanelWidget(panel_)->findChild<QLabel*>(
            W<QWidget>(PANEL_THRESHOLD)->property("labelWidget").toString()));
        QCOMPARE(g_events, (std::vector<Ev>{{PANEL_HYSTERESIS, EVENT_RIGHT_CLICK},
                                            {PANEL_SOURCE, EVENT_RIGHT_CLICK},
                                            {PANEL_EEPROM, EVENT_RIGHT_CLICK},
                                            {PANEL_GO, EVENT_RIGHT_CLICK},
                                            {PANEL_STRIPCHART, EVENT_RIGHT_CLICK},
                                            {PANEL_DECO3, EVENT_RIGHT_CLICK},
                                            {PANEL_STATUS, EVENT_RIGHT_CLICK},
                                            {PANEL_THRESHOLD, EVENT_RIGHT_CLICK}}));
        int v = 0;
        GetCtrlVal(panel_, PANEL_HYSTERESIS, &v);
        QCOMPARE(v, 140);
        GetCtrlVal(panel_, PANEL_EEPROM, &v);
        QCOMPARE(v, 0);
        QVERIFY(!W<QAbstractButton>(PANEL_EEPROM)->isDown());
        // No context menu: the request is swallowed.
        QContextMenuEvent menu(QContextMenuEvent::Mouse, QPoint(3, 3),
                               inner->mapToGlobal(QPoint(3, 3)));
        QVERIFY(QCoreApplication::sendEvent(inner, &menu));
        QCOMPARE(QApplication::activePopupWidget(), nullptr);
    }

    void closeReachesPanelAndWindowStays() {
        QWidget* top = PanelWidget(panel_);
        QVERIFY(!top->close());
        QCOMPARE(g_events, (std::vector<Ev>{{0, EVENT_CLOSE}}));
        QVERIFY(top->isVisible());
    }

    void visibilityDimmingAndCaption() {
        QLabel* caption = PanelWidget(panel_)->findChild<QLabel*>(
            W<QWidget>(PANEL_DEADTIME)->property("labelWidget").toString());
        QVERIFY(caption != nullptr);
        int v = -1;
        SetCtrlAttribute(panel_, PANEL_DEADTIME, ATTR_VISIBLE, 1);
        GetCtrlAttribute(panel_, PANEL_DEADTIME, ATTR_VISIBLE, &v);
        QCOMPARE(v, 1);
        QVERIFY(caption->isVisible());
        SetCtrlAttribute(panel_, PANEL_DEADTIME, ATTR_LABEL_TEXT, "DEAD TIME[ms]");
        QCOMPARE(caption->text(), QStringLiteral("DEAD TIME[ms]"));
        SetCtrlAttribute(panel_, PANEL_DEADTIME, ATTR_DIMMED, 1);
        GetCtrlAttribute(panel_, PANEL_DEADTIME, ATTR_DIMMED, &v);
        QCOMPARE(v, 1);
        QVERIFY(!W<QWidget>(PANEL_DEADTIME)->isEnabled() && !caption->isEnabled());
        SetCtrlAttribute(panel_, PANEL_DEADTIME, ATTR_DIMMED, 0);
        SetCtrlAttribute(panel_, PANEL_DEADTIME, ATTR_VISIBLE, 0);
        QVERIFY(caption->isHidden() && W<QWidget>(PANEL_DEADTIME)->isHidden());
        SetCtrlAttribute(panel_, PANEL_DEADTIME, ATTR_LABEL_TEXT, "DEAD TIME[%]");

        // Ring items are replaced in place, value and text, without touching the selection.
        SetCtrlVal(panel_, PANEL_DEADTIME, 7);
        for (int i = 0; i < 16; ++i) {
            QCOMPARE(ReplaceListItem(panel_, PANEL_DEADTIME, i, QByteArray::number(2 * i), i), 0);
        }
        int n = 0;
        GetNumListItems(panel_, PANEL_DEADTIME, &n);
        QCOMPARE(n, 16);
        QCOMPARE(W<QComboBox>(PANEL_DEADTIME)->currentText(), QStringLiteral("14"));
        QCOMPARE(ReplaceListItem(panel_, PANEL_DEADTIME, 3, "x", 40), 0);
        QCOMPARE(SetCtrlVal(panel_, PANEL_DEADTIME, 40), 0);
        QCOMPARE(W<QComboBox>(PANEL_DEADTIME)->currentIndex(), 3);
        QVERIFY(ReplaceListItem(panel_, PANEL_DEADTIME, 16, "y", 16) < 0);
        ReplaceListItem(panel_, PANEL_DEADTIME, 3, "6", 3);
        QVERIFY(g_events.empty());
    }

    void framesTextsAndPictures() {
        int v = 0;
        QCOMPARE(SetCtrlAttribute(panel_, PANEL_LOGO_FRAME, ATTR_FRAME_COLOR, 0x0080FF), 0);
        GetCtrlAttribute(panel_, PANEL_LOGO_FRAME, ATTR_FRAME_COLOR, &v);
        QCOMPARE(v, 0x0080FF);
        QCOMPARE(PanelWidget(panel_)->grab().toImage().pixelColor(400, 2),
                 QColor(0x00, 0x80, 0xFF));
        SetCtrlAttribute(panel_, PANEL_LOGO, ATTR_TOP, 6);
        SetCtrlAttribute(panel_, PANEL_LOGO, ATTR_LEFT, 168);
        QCOMPARE(W<QWidget>(PANEL_LOGO)->pos(), QPoint(168, 6));

        const int a = NewCtrl(panel_, CTRL_TEXT_MSG, "", 20, 300);
        const int b = NewCtrl(panel_, CTRL_TEXT_MSG, "", 35, 15);
        QVERIFY(a > 1000 && b > 1000 && a != b);
        QVERIFY(CtrlWidget(panel_, a) != CtrlWidget(panel_, b));
        auto* text = qobject_cast<QLabel*>(CtrlWidget(panel_, a));
        QVERIFY(text != nullptr && text->isVisible());
        QCOMPARE(text->pos(), QPoint(300, 20));
        SetCtrlAttribute(panel_, a, ATTR_TEXT_FONT, "NIApp");
        SetCtrlAttribute(panel_, a, ATTR_TEXT_BGCOLOR, 0x0080FF);
        SetCtrlAttribute(panel_, a, ATTR_TEXT_COLOR, 0xFFFFFF);
        SetCtrlAttribute(panel_, a, ATTR_TEXT_POINT_SIZE, 12);
        SetCtrlVal(panel_, a, "TAVRIN");
        const int shortWidth = text->width();
        SetCtrlAttribute(panel_, a, ATTR_TEXT_POINT_SIZE, 18);
        QVERIFY(text->width() > shortWidth);
        SetCtrlVal(panel_, a, "TAVRIN-Zurid V1.0");
        QVERIFY(text->width() >
                text->fontMetrics().horizontalAdvance(QStringLiteral("TAVRIN-Zurid")));
        QCOMPARE(text->font().family(), QApplication::font().family());
        GetCtrlAttribute(panel_, a, ATTR_TEXT_COLOR, &v);
        QCOMPARE(v, 0xFFFFFF);
        GetCtrlAttribute(panel_, a, ATTR_TEXT_BGCOLOR, &v);
        QCOMPARE(v, 0x0080FF);
        GetCtrlAttribute(panel_, a, ATTR_TEXT_POINT_SIZE, &v);
        QCOMPARE(v, 18);
        QVERIFY(text->autoFillBackground());
        SetCtrlAttribute(panel_, b, ATTR_TEXT_BGCOLOR, VAL_TRANSPARENT);
        QVERIFY(!CtrlWidget(panel_, b)->autoFillBackground());

        QTemporaryDir dir;
        const QString png = dir.filePath(QStringLiteral("pic.png"));
        QImage image(30, 20, QImage::Format_RGB32);
        image.fill(Qt::red);
        QVERIFY(image.save(png));
        QCOMPARE(DisplayImageFile(panel_, PANEL_LOGO, png.toLocal8Bit().constData()), 0);
        QCOMPARE(W<QLabel>(PANEL_LOGO)->pixmap().size(), QSize(30, 20));
        QVERIFY(DisplayImageFile(panel_, PANEL_LOGO, "no-such-picture.png") < 0);
    }

    void messagePopupShowsTextAsGiven() {
        const QString longLine =
            QStringLiteral(" In practice, the ACTIVE window should be open approx. 60% of IN0 to "
                           "IN0. The edge should lie in the                           ");
        const QString text = longLine + QStringLiteral("\n middle of the <b>window</b> (30%).");
        QString seenTitle;
        QString seenText;
        bool wide = false;
        int buttons = 0;
        QTimer::singleShot(50, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) {
                return;
            }
            seenTitle = box->windowTitle();
            seenText = box->text();
            buttons = static_cast<int>(box->buttons().size());
            auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
            // Each line of the text on one line of the box, nothing cut off.
            wide = label != nullptr &&
                   label->width() >= label->fontMetrics().horizontalAdvance(longLine.trimmed()) &&
                   label->height() >= label->heightForWidth(label->width()) &&
                   label->heightForWidth(label->width()) < 3 * label->fontMetrics().lineSpacing();
            box->accept();
        });
        QCOMPARE(MessagePopup("Info", text.toLatin1().constData()), 0);
        QCOMPARE(seenTitle, QStringLiteral("Info"));
        QCOMPARE(seenText, text);
        QCOMPARE(buttons, 1);
        QVERIFY(wide);
    }

    void fileSelection() {
        QTemporaryDir dir;
        QFile existing(dir.filePath(QStringLiteral("old.dat")));
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.close();
        const QByteArray d = dir.path().toLocal8Bit();
        PopupWatcher watcher;
        watcher.fileAnswers = {dir.filePath(QStringLiteral("old.dat")),
                               dir.filePath(QStringLiteral("fresh")), std::nullopt};
        std::string path;
        QCOMPARE(FileSelectPopup(d.constData(), "init.dat", "*.dat", "init", 0, 0, 1, 1, 1, &path),
                 VAL_EXISTING_FILE_SELECTED);
        QCOMPARE(QString::fromStdString(path), dir.filePath(QStringLiteral("old.dat")));
        QCOMPARE(FileSelectPopup(d.constData(), "init.dat", "*.dat", "init", 0, 0, 1, 1, 1, &path),
                 VAL_NEW_FILE_SELECTED);
        QCOMPARE(QString::fromStdString(path), dir.filePath(QStringLiteral("fresh.dat")));
        path = "unchanged";
        QCOMPARE(FileSelectPopup(d.constData(), "init.dat", "*.dat", "init", 0, 0, 1, 1, 1, &path),
                 VAL_NO_FILE_SELECTED);
        QCOMPARE(path, std::string("unchanged"));
        QCOMPARE(watcher.dialogs.size(), std::size_t{3});
        for (const auto& seen : watcher.dialogs) {
            QCOMPARE(seen.title, QStringLiteral("init"));
            QCOMPARE(QFileInfo(seen.directory), QFileInfo(dir.path()));
            QCOMPARE(seen.proposedName, QStringLiteral("init.dat"));
            QCOMPARE(seen.nameFilters, QStringList{QStringLiteral("*.dat")});
        }
    }

    // With nothing pending, a call still returns: it waits for the next event only a few
    // milliseconds (bench_eventwait measures how few), never until one comes.
    void idleWaitReturns() {
        QElapsedTimer t;
        qint64 longest = 0;
        for (int i = 0; i < 30; ++i) {
            t.start();
            ProcessSystemEvents();
            longest = qMax(longest, t.elapsed());
        }
        QVERIFY2(longest < 1000, qPrintable(QString::number(longest)));
    }

    void nestedCallbacksAndQuit() {
        // GO runs a loop that processes events until STOP; GO pressed again inside it runs to
        // its end first; STOP inside the inner loop ends both; STOP also asks to quit, which
        // ends RunUserInterface only when control is back at its level.
        bool running = false;
        int depth = 0;
        g_action = [&](int control, int event) {
            if (event != EVENT_COMMIT) {
                return;
            }
            if (control == PANEL_GO) {
                running = true;
                ++depth;
                if (depth == 1) {
                    QTimer::singleShot(30, [this] { W<QAbstractButton>(PANEL_GO)->click(); });
                } else {
                    QTimer::singleShot(30, [this] { W<QAbstractButton>(PANEL_STOP)->click(); });
                }
                while (running) {
                    ProcessSystemEvents();
                }
                g_events.push_back({PANEL_GO, -depth});
                --depth;
            } else if (control == PANEL_STOP) {
                running = false;
                QuitUserInterface(7);
            }
        };
        QTimer::singleShot(0, [this] { W<QAbstractButton>(PANEL_GO)->click(); });
        QElapsedTimer t;
        t.start();
        QCOMPARE(RunUserInterface(), 7);
        QVERIFY(t.elapsed() < 5000);
        QCOMPARE(g_events, (std::vector<Ev>{{PANEL_GO, EVENT_COMMIT},
                                            {PANEL_GO, EVENT_COMMIT},
                                            {PANEL_STOP, EVENT_COMMIT},
                                            {PANEL_GO, -2},
                                            {PANEL_GO, -1}}));
        // A quit requested before the loop runs ends it at once.
        g_action = nullptr;
        QuitUserInterface(3);
        QCOMPARE(RunUserInterface(), 3);
    }

    void discardedPanelIsGone() {
        const int other = LoadPanel(0, "Dovarid10.uir", PANEL);
        QVERIFY(other > 0 && other != panel_);
        QPointer<QWidget> w = PanelWidget(other);
        QCOMPARE(DiscardPanel(other), 0);
        QVERIFY(w.isNull());
        QCOMPARE(PanelWidget(other), nullptr);
        QVERIFY(SetCtrlVal(other, PANEL_THRESHOLD, 1) < 0);
    }

    void cleanupTestCase() { DiscardPanel(panel_); }
};

QTEST_MAIN(ToolkitTest)
#include "test_toolkit.moc"
