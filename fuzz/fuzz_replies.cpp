// Fuzzes the handling of the sensor's replies through the real program: panel (offscreen),
// transactions, serial layer and a pseudo-terminal, with fuzzed bytes as the sensor's answer.
// Input: the first byte picks the exchange and a variant, the rest is the reply.
//   byte0 % 4:        0 line check, 1 parameter read, 2 one data cycle, 3 jump-buffer read
//   (byte0 / 4) % 3:  line check: memory RAM, EEPROM, FILE; parameter read: RAM, EEPROM, RAM;
//                     data cycle: SOURCE 0, 1, 2
// A reply is taken only when its length is exactly right (and, for the line check, its bytes
// are); otherwise nothing but the status line changes and the time-out popup is shown.
#include "app/shell.h"
#include "core/params.h"
#include "fuzz/check.h"
#include "fuzz/peer.h"
#include "gui/livedata.h"
#include "gui/params.h"
#include "gui/report.h"
#include "gui/state.h"
#include "gui/transfer.h"
#include "link/blocks.h"
#include "link/frames.h"
#include "platform/serial/rs232.h"
#include "platform/ui/Dovarid10.h"
#include "platform/ui/qtaccess.h"
#include "platform/ui/userint.h"

#include <QApplication>
#include <QChartView>
#include <QComboBox>
#include <QFileDialog>
#include <QLineSeries>
#include <QMessageBox>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string>

using peer::Bytes;

namespace {

// Longer than the program's frame buffer and its input queue, so both limits are crossed.
constexpr std::size_t kMaxReply = 1100;
constexpr char kIdle[] = "fuzz";
const Bytes kBaseline = {100, 120, 23, 1, 1, 0, 20, 50, 2, 0, 7, 1, 12, 13, 14};
const Bytes kSensorBlock = {90, 110, 0, 0, 2, 2, 30, 60, 3, 1, 3, 0, 7, 8, 9};
const Bytes kLineOk = {0xAA, 0x01, 0x00};

struct Popup {
    std::string title;
    std::string text;
};
std::vector<Popup> popups;

// Dismisses every message popup as soon as it shows, and notes what it said.
class PopupAnswerer : public QObject {
  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show) {
            if (auto* box = qobject_cast<QMessageBox*>(watched)) {
                popups.push_back({box->windowTitle().toStdString(), box->text().toStdString()});
                QMetaObject::invokeMethod(
                    box, [box] { box->accept(); }, Qt::QueuedConnection);
            }
            FUZZ_CHECK(qobject_cast<QFileDialog*>(watched) == nullptr, "a file dialog opened");
        }
        return false;
    }
};

void QuietQt(QtMsgType type, const QMessageLogContext& /*context*/, const QString& message) {
    if (type == QtCriticalMsg || type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
    }
}

int IntVal(int control) {
    int v = 0;
    GetCtrlVal(zurid::panel, control, &v);
    return v;
}

std::string Status() {
    std::string s;
    GetCtrlVal(zurid::panel, PANEL_STATUS, &s);
    return s;
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

template <std::size_t N> Bytes AsBytes(const std::array<unsigned char, N>& a) {
    return Bytes(a.begin(), a.end());
}

// The controls bound to the parameter block, with their byte in it.
struct Bound {
    int control;
    int index;
};
constexpr std::array<Bound, 12> kBound = {{{PANEL_THRESHOLD, 0},
                                           {PANEL_HYSTERESIS, 1},
                                           {PANEL_POWER, 2},
                                           {PANEL_PMOD, 3},
                                           {PANEL_HOLD, 4},
                                           {PANEL_TRIGGER, 5},
                                           {PANEL_BACKLIM, 6},
                                           {PANEL_REGCNT, 7},
                                           {PANEL_AVERAGE, 8},
                                           {PANEL_DEADTIMEMODE, 9},
                                           {PANEL_DEADTIME, 10},
                                           {PANEL_OUTMODE, 11}}};
constexpr std::array<int, 5> kDataDisplays = {PANEL_DAT0, PANEL_DAT1, PANEL_NORM, PANEL_EDGE,
                                              PANEL_WIN};

// Everything a rejected reply must leave alone.
struct Snapshot {
    Bytes pp, databuf, jumpbuf;
    std::array<double, zurid::kHistoryLen> alldata;
    std::vector<int> values;
};

Snapshot Take() {
    Snapshot s{
        AsBytes(zurid::pp), AsBytes(zurid::databuf), AsBytes(zurid::jumpbuf), zurid::alldata, {}};
    for (const Bound& b : kBound) {
        s.values.push_back(IntVal(b.control));
    }
    for (int c : kDataDisplays) {
        s.values.push_back(IntVal(c));
    }
    return s;
}

void ExpectUnchanged(const Snapshot& before, const char* what) {
    const Snapshot now = Take();
    FUZZ_CHECK(now.pp == before.pp, "%s: pp changed", what);
    FUZZ_CHECK(now.databuf == before.databuf, "%s: databuf changed", what);
    FUZZ_CHECK(now.jumpbuf == before.jumpbuf, "%s: jumpbuf changed", what);
    FUZZ_CHECK(now.alldata == before.alldata, "%s: history changed", what);
    FUZZ_CHECK(now.values == before.values, "%s: a panel value changed", what);
}

void ExpectTimeoutReport(const char* what) {
    FUZZ_CHECK(popups.size() == 1, "%s: %zu popups instead of one", what, popups.size());
    FUZZ_CHECK(popups[0].title == "INFO" && popups[0].text == zurid::InfoTimeout,
               "%s: popup \"%s\": \"%s\"", what, popups[0].title.c_str(), popups[0].text.c_str());
    FUZZ_CHECK(Status() == "TIMEOUT", "%s: status \"%s\"", what, Status().c_str());
}

void ExpectNoReport(const std::string& status, const char* what) {
    FUZZ_CHECK(popups.empty(), "%s: popup \"%s\"", what, popups[0].text.c_str());
    FUZZ_CHECK(Status() == status, "%s: status \"%s\"", what, Status().c_str());
}

// The requests on the line: 0x55, the order, the baseline block each.
void ExpectRequests(std::initializer_list<unsigned char> orders, const char* what) {
    const std::vector<Bytes>& got = peer::Requests();
    FUZZ_CHECK(got.size() == orders.size(), "%s: %zu requests, %zu expected", what, got.size(),
               orders.size());
    std::size_t i = 0;
    for (unsigned char order : orders) {
        Bytes want = {0x55, order};
        want.insert(want.end(), kBaseline.begin(), kBaseline.end());
        FUZZ_CHECK(got[i] == want, "%s: request %zu is not order %d with the block", what, i,
                   order);
        ++i;
    }
}

// A parameter block taken onto the panel: every control shows its byte, a code without an item
// or percent as unknown, and the panel gives the very block back.
void ExpectParametersShown(const Bytes& block, const char* what) {
    FUZZ_CHECK(AsBytes(zurid::pp) == block, "%s: pp is not the reply", what);
    for (const Bound& b : kBound) {
        const int value = IntVal(b.control);
        const unsigned char byte = block[static_cast<std::size_t>(b.index)];
        if (b.control == PANEL_POWER) {
            const bool known = byte <= zurid::core::kPowerMaxCode;
            FUZZ_CHECK(known ? value == zurid::PowerCodeToPercent(byte) : value < 0,
                       "%s: POWER shows %d for code %d", what, value, byte);
        } else {
            FUZZ_CHECK(value == byte, "%s: control %d shows %d for %d", what, b.control, value,
                       byte);
        }
    }
    const bool stat = IntVal(PANEL_PMOD) == 0;
    FUZZ_CHECK(Dimmed(PANEL_POWER) != stat && Dimmed(PANEL_REGCNT) == stat,
               "%s: dimming does not follow PMOD", what);
    zurid::GetPanelValues();
    zurid::CopyVarsToPP();
    FUZZ_CHECK(AsBytes(zurid::pp) == block, "%s: the panel does not give the block back", what);
}

void Prepare(int target) {
    peer::Reset();
    FUZZ_CHECK(zurid::platform::FlushInQ(zurid::com) == 0 &&
                   zurid::platform::FlushOutQ(zurid::com) == 0,
               "the port was lost");
    popups.clear();
    zurid::poll = 0;
    zurid::target = target;
    std::copy(kBaseline.begin(), kBaseline.end(), zurid::pp.begin());
    zurid::CopyPPtoVars();
    zurid::SetPanelValues();
    zurid::InitPanelValues();
    SetCtrlVal(zurid::panel, PANEL_STATUS, kIdle);
}

void LineCheck(const Bytes& reply, int variant) {
    const int target = std::array{zurid::RAM, zurid::EEPROM, zurid::DATFILE}[variant];
    Prepare(target);
    peer::Plan({reply});
    peer::Plan({kSensorBlock});
    const Snapshot before = Take();
    zurid::CheckComLine();
    if (reply != kLineOk) {
        ExpectTimeoutReport("line check");
        ExpectUnchanged(before, "line check");
        ExpectRequests({7}, "line check");
        return;
    }
    ExpectNoReport(zurid::LineOkText, "line check");
    if (target == zurid::DATFILE) {
        ExpectUnchanged(before, "line check with FILE");
        ExpectRequests({7}, "line check with FILE");
        return;
    }
    ExpectRequests({7, static_cast<unsigned char>(target == zurid::RAM ? 3 : 4)}, "line check");
    ExpectParametersShown(kSensorBlock, "line check");
}

void ParameterRead(const Bytes& reply, int variant) {
    const int target = variant == 1 ? zurid::EEPROM : zurid::RAM;
    Prepare(target);
    peer::Plan({reply});
    const Snapshot before = Take();
    zurid::GetPara();
    ExpectRequests({static_cast<unsigned char>(target == zurid::RAM ? 3 : 4)}, "read");
    FUZZ_CHECK(zurid::poll == 0, "read: poll %d", zurid::poll);
    if (reply.size() != zurid::AnzPara) {
        ExpectTimeoutReport("read");
        ExpectUnchanged(before, "read");
        return;
    }
    ExpectNoReport(kIdle, "read");
    ExpectParametersShown(reply, "read");
}

// A percentage display: the value as computed, as far as the display reaches.
void ExpectPercent(int control, unsigned part, unsigned whole) {
    if (whole != 0) {
        const int want = static_cast<int>(std::min(100U * part / whole, 255U));
        FUZZ_CHECK(IntVal(control) == want, "percent display %d shows %d, not %d", control,
                   IntVal(control), want);
    }
}

void DataCycle(const Bytes& reply, int source) {
    Prepare(zurid::RAM);
    SetCtrlVal(zurid::panel, PANEL_SOURCE, source);
    peer::Plan({reply}); // the next request gets silence and STOP
    const Snapshot before = Take();
    zurid::GetData();
    FUZZ_CHECK(zurid::poll == 0, "data: loop still running");
    if (reply.size() != zurid::AnzData) {
        ExpectTimeoutReport("data");
        ExpectUnchanged(before, "data");
        ExpectRequests({5}, "data");
        return;
    }
    ExpectNoReport(kIdle, "data");
    ExpectRequests({5, 5}, "data");
    FUZZ_CHECK(AsBytes(zurid::databuf) == reply, "data: databuf is not the reply");
    for (int i = 0; i < 3; ++i) {
        FUZZ_CHECK(IntVal(kDataDisplays[i]) == reply[i], "data: display %d", kDataDisplays[i]);
    }
    const unsigned edge = reply[3] + 256U * reply[4];
    const unsigned in0 = reply[5] + 256U * reply[6];
    const unsigned in1 = reply[7] + 256U * reply[8];
    ExpectPercent(PANEL_EDGE, edge, in0);
    ExpectPercent(PANEL_WIN, in1, in0);
    const auto& h = zurid::alldata;
    FUZZ_CHECK(std::equal(h.begin(), h.end() - 5, before.alldata.begin() + 5),
               "data: history not shifted by one sample");
    const std::array<double, 5> sample = {double(reply[0]), double(reply[1]), double(reply[2]),
                                          double(IntVal(PANEL_THRESHOLD)),
                                          double(IntVal(PANEL_HYSTERESIS))};
    FUZZ_CHECK(std::equal(sample.begin(), sample.end(), h.end() - 5), "data: newest sample");
    const bool adjust = source == 2;
    FUZZ_CHECK(Visible(PANEL_GRAPH_ADJ) == adjust && Visible(PANEL_STRIPCHART) == !adjust &&
                   !Visible(PANEL_GRAPH_JMPBUF),
               "data: wrong graph for SOURCE %d", source);
}

void JumpBufferRead(const Bytes& reply) {
    Prepare(zurid::RAM);
    peer::Plan({reply});
    const Snapshot before = Take();
    zurid::GetJmpBuf();
    ExpectRequests({6}, "jump buffer");
    FUZZ_CHECK(zurid::poll == 0, "jump buffer: poll %d", zurid::poll);
    if (reply.size() != zurid::kJumpBufLen) {
        ExpectTimeoutReport("jump buffer");
        ExpectUnchanged(before, "jump buffer");
        return;
    }
    ExpectNoReport(kIdle, "jump buffer");
    FUZZ_CHECK(AsBytes(zurid::jumpbuf) == reply, "jump buffer: jumpbuf is not the reply");
    FUZZ_CHECK(Visible(PANEL_GRAPH_JMPBUF) && !Visible(PANEL_GRAPH_ADJ) &&
                   !Visible(PANEL_STRIPCHART),
               "jump buffer: graph not shown alone");
    auto* view = qobject_cast<QChartView*>(CtrlWidget(zurid::panel, PANEL_GRAPH_JMPBUF));
    FUZZ_CHECK(view != nullptr && view->chart()->series().size() == 2, "jump buffer: plots");
    const auto values = static_cast<QLineSeries*>(view->chart()->series()[0])->points();
    const auto line = static_cast<QLineSeries*>(view->chart()->series()[1])->points();
    FUZZ_CHECK(values.size() == 16 && line.size() == 16, "jump buffer: plot lengths");
    for (int i = 0; i < 16; ++i) {
        FUZZ_CHECK(values[i].y() == reply[static_cast<std::size_t>(i)] &&
                       line[i].y() == IntVal(PANEL_THRESHOLD),
                   "jump buffer: point %d", i);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    qInstallMessageHandler(QuietQt);
    FUZZ_CHECK(peer::Open(), "no pseudo-terminal");
    ::setenv("ZURID_PORTS", peer::path().c_str(), 1);
    // Start-up as the program does it: line check and parameter read on COM1.
    peer::Plan({kLineOk});
    peer::Plan({kBaseline});
    static int argc = 1;
    static char name[] = "fuzz_replies";
    static char* argv[] = {name, nullptr};
    FUZZ_CHECK(zurid::StartUp(argc, argv) == 0, "start-up failed");
    FUZZ_CHECK(Status() == zurid::LineOkText, "start-up: status \"%s\"", Status().c_str());
    qApp->installEventFilter(new PopupAnswerer);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const Bytes reply(data + 1, data + std::min(size, kMaxReply + 1));
    const int variant = (data[0] / 4) % 3;
    switch (data[0] % 4) {
    case 0:
        LineCheck(reply, variant);
        break;
    case 1:
        ParameterRead(reply, variant);
        break;
    case 2:
        DataCycle(reply, variant);
        break;
    default:
        JumpBufferRead(reply);
        break;
    }
    FUZZ_CHECK(zurid::platform::GetInQLen(zurid::com) >= 0, "the port was lost");
    // What the program's event loop does once a callback has returned; the harness runs outside
    // any loop, where objects Qt deletes later would otherwise pile up.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}
