#include "loopbench.h"

#include "app/shell.h"
#include "gui/state.h"
#include "gui/transfer.h"
#include "platform/ui/Dovarid10.h"
#include "platform/ui/qtaccess.h"
#include "support/cputime.h"

#include <QAbstractButton>
#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

// The data loop's own calls, routed here by the linker's --wrap.

extern "C" {
void __real__ZN5zurid12SetPanelDataEv();
void __real__ZN5zurid9ShowGraphEv();
int __real__ZN5zurid8platform19ProcessSystemEventsEv();
void __wrap__ZN5zurid12SetPanelDataEv();
void __wrap__ZN5zurid9ShowGraphEv();
int __wrap__ZN5zurid8platform19ProcessSystemEventsEv();
}

namespace {

bench::CycleTimes times;
bench::CycleHook cycleHook = nullptr;
double drawStart = 0;
bool afterDraw = false;

} // namespace

void __wrap__ZN5zurid12SetPanelDataEv() {
    drawStart = bench::Now();
    __real__ZN5zurid12SetPanelDataEv();
}

void __wrap__ZN5zurid9ShowGraphEv() {
    __real__ZN5zurid9ShowGraphEv();
    const double end = bench::Now();
    const double cpu = testing_support::CpuSeconds();
    // Room is reserved up front; past it the figures are dropped rather than grown.
    if (times.drawMs.size() < times.drawMs.capacity()) {
        times.drawMs.push_back((end - drawStart) * 1000.0);
    }
    if (times.cycles++ == 0) {
        times.firstEnd = end;
        times.cpuAtFirst = cpu;
    }
    times.lastEnd = end;
    times.cpuAtLast = cpu;
    afterDraw = true;
    if (cycleHook != nullptr) {
        cycleHook(times.cycles);
    }
}

int __wrap__ZN5zurid8platform19ProcessSystemEventsEv() {
    if (!afterDraw) {
        return __real__ZN5zurid8platform19ProcessSystemEventsEv();
    }
    afterDraw = false;
    const double t0 = bench::Now();
    const int result = __real__ZN5zurid8platform19ProcessSystemEventsEv();
    if (times.eventMs.size() < times.eventMs.capacity()) {
        times.eventMs.push_back((bench::Now() - t0) * 1000.0);
    }
    return result;
}

namespace bench {

namespace {

QAbstractButton* Button(int control) {
    return qobject_cast<QAbstractButton*>(CtrlWidget(zurid::panel, control));
}

} // namespace

bool StartProgramOn(const sim::SensorSim& sensor) {
    PrepareCensus();
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::setenv("ZURID_PORTS", sensor.path().c_str(), 1);
    static int argc = 1;
    static char name[] = "tavrin-zurid-bench";
    static char* argv[] = {name, nullptr};
    if (zurid::StartUp(argc, argv) != 0) {
        return false;
    }
    return zurid::szStatus == zurid::LineOkText && Button(PANEL_GO) != nullptr;
}

void StopProgram() {
    zurid::poll = 0;
    zurid::ShutDown();
}

void SetCycleHook(CycleHook hook) {
    cycleHook = hook;
}

void RunLoop(int stopAfterMs) {
    if (stopAfterMs > 0) {
        QTimer::singleShot(stopAfterMs, [] { Button(PANEL_STOP)->click(); });
    }
    Button(PANEL_GO)->click();
}

void RequestStop() {
    QMetaObject::invokeMethod(
        Button(PANEL_STOP), [] { Button(PANEL_STOP)->click(); }, Qt::QueuedConnection);
}

void ResetCycleTimes(std::size_t expectedCycles) {
    times = CycleTimes{};
    times.drawMs.reserve(expectedCycles);
    times.eventMs.reserve(expectedCycles);
}

const CycleTimes& Times() {
    return times;
}

double Now() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

long ResidentKiB() {
    char buf[8192];
    const int fd = ::open("/proc/self/status", O_RDONLY);
    if (fd < 0) {
        return -1;
    }
    const ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0) {
        return -1;
    }
    buf[n] = '\0';
    const char* line = std::strstr(buf, "VmRSS:");
    return line != nullptr ? std::strtol(line + 6, nullptr, 10) : -1;
}

long HeapInUseKiB() {
    const struct mallinfo2 m = mallinfo2();
    return static_cast<long>((m.uordblks + m.hblkhd) / 1024);
}

double Median(std::vector<double> v) {
    if (v.empty()) {
        return 0.0;
    }
    std::sort(v.begin(), v.end());
    const std::size_t mid = v.size() / 2;
    return v.size() % 2 == 1 ? v[mid] : (v[mid - 1] + v[mid]) / 2.0;
}

double Max(const std::vector<double>& v) {
    return v.empty() ? 0.0 : *std::max_element(v.begin(), v.end());
}

} // namespace bench
