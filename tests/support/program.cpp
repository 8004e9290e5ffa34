#include "program.h"

#include "app/shell.h"
#include "gui/state.h"
#include "platform/serial/rs232.h"
#include "platform/ui/Dovarid10.h"
#include "platform/ui/qtaccess.h"
#include "platform/ui/userint.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

using zurid::platform::ComPortEntry;
using zurid::platform::ComPortTable;

namespace testing_support {

int AddPort(const std::string& devicePath) {
    QByteArray list = qgetenv("ZURID_PORTS");
    if (!list.isEmpty()) {
        list += ':';
    }
    list += QByteArray::fromStdString(devicePath);
    qputenv("ZURID_PORTS", list);
    const std::vector<ComPortEntry> table = ComPortTable();
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (table[i].device == devicePath) {
            return static_cast<int>(i) + 1;
        }
    }
    return -1;
}

void ConnectAsCom1(sim::SensorSim& s) {
    QVERIFY(s.start());
    QCOMPARE(AddPort(s.path()), 1);
}

int StartProgram() {
    static int argc = 1;
    static char name[] = "tavrin-zurid-test";
    static char* argv[] = {name, nullptr};
    return zurid::StartUp(argc, argv);
}

void StopProgram() {
    zurid::poll = 0;
    zurid::ShutDown();
}

QWidget* Ctrl(int control) {
    return CtrlWidget(zurid::panel, control);
}

int IntVal(int control) {
    int v = 0;
    GetCtrlVal(zurid::panel, control, &v);
    return v;
}

QString TextVal(int control) {
    std::string s;
    GetCtrlVal(zurid::panel, control, &s);
    return QString::fromStdString(s);
}

bool Visible(int control) {
    int v = 0;
    GetCtrlAttribute(zurid::panel, control, ATTR_VISIBLE, &v);
    return v != 0;
}

bool Dimmed(int control) {
    int v = 0;
    GetCtrlAttribute(zurid::panel, control, ATTR_DIMMED, &v);
    return v != 0;
}

QString Label(int control) {
    std::string s;
    GetCtrlAttribute(zurid::panel, control, ATTR_LABEL_TEXT, &s);
    return QString::fromStdString(s);
}

QStringList RingTexts(int control) {
    QStringList out;
    if (auto* box = qobject_cast<QComboBox*>(Ctrl(control))) {
        for (int i = 0; i < box->count(); ++i) {
            out << box->itemText(i);
        }
    }
    return out;
}

void Click(int control) {
    QTest::mouseClick(Ctrl(control), Qt::LeftButton);
}

void RightClick(int control) {
    QWidget* w = Ctrl(control);
    // A spin box takes the click on its inner line edit, as an operator's mouse would.
    if (auto* spin = qobject_cast<QAbstractSpinBox*>(w)) {
        if (auto* edit = spin->findChild<QLineEdit*>()) {
            w = edit;
        }
    }
    QTest::mouseClick(w, Qt::RightButton, Qt::NoModifier, QPoint(5, 5));
}

void ChooseRingItem(int control, int index) {
    auto* box = qobject_cast<QComboBox*>(Ctrl(control));
    box->setCurrentIndex(index);
    emit box->activated(index);
}

void Key(int qtKey) {
    QWidget* p = PanelWidget(zurid::panel);
    QApplication::setActiveWindow(p);
    QTest::keyClick(p, static_cast<Qt::Key>(qtKey));
}

void CloseWindow() {
    QCloseEvent ev;
    QApplication::sendEvent(PanelWidget(zurid::panel), &ev);
}

void After(int ms, std::function<void()> action) {
    QTimer::singleShot(ms, std::move(action));
}

void When(std::function<bool()> pred, std::function<void()> action, int timeoutMs) {
    auto* timer = new QTimer;
    auto* since = new QElapsedTimer;
    since->start();
    QObject::connect(timer, &QTimer::timeout, [=] {
        if (pred() || since->elapsed() > timeoutMs) {
            timer->stop();
            timer->deleteLater();
            delete since;
            action();
        }
    });
    timer->start(5);
}

void ClickWhen(int control, std::function<bool()> pred, int timeoutMs) {
    When(
        std::move(pred), [control] { Click(control); }, timeoutMs);
}

bool PanelShown() {
    QWidget* p = zurid::panel > 0 ? PanelWidget(zurid::panel) : nullptr;
    return p != nullptr && p->isVisible();
}

bool WaitUntil(const std::function<bool()>& pred, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > timeoutMs) {
            return false;
        }
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        QTest::qWait(1);
    }
    return true;
}

void ResetSensor(sim::SensorSim& s, const sim::Block& ram) {
    s.setRam(ram);
    s.setFault(sim::Fault::None);
    s.setLiveData(std::nullopt);
    for (int order = 1; order <= 7; ++order) {
        s.setReply(order, std::nullopt);
    }
    s.clearRequests();
}

void StartOnHealthySensor(sim::SensorSim& s) {
    ResetSensor(s, kRam);
    s.setEeprom(kEeprom);
    QCOMPARE(StartProgram(), 0);
    QCOMPARE(TextVal(PANEL_STATUS), kLineOk);
    s.clearRequests();
}

std::size_t CountOrder(const sim::SensorSim& s, std::uint8_t order) {
    std::size_t n = 0;
    for (const sim::Request& r : s.requests()) {
        n += r.bytes.size() > 1 && r.bytes[1] == order ? 1 : 0;
    }
    return n;
}

std::vector<Bytes> Frames(const sim::SensorSim& s) {
    std::vector<Bytes> out;
    for (const sim::Request& r : s.requests()) {
        out.push_back(r.bytes);
    }
    return out;
}

Bytes Request(std::uint8_t order, const Bytes& block) {
    Bytes b;
    b.reserve(2 + block.size());
    b.push_back(0x55);
    b.push_back(order);
    for (std::uint8_t x : block) {
        b.push_back(x);
    }
    return b;
}

Bytes Zeros(std::size_t n) {
    return Bytes(n, 0);
}

} // namespace testing_support
