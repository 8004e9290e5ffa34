#include "gui/livedata.h"

#include "core/livedata.h"
#include "gui/state.h"
#include "link/blocks.h"
#include "link/frames.h"
#include "platform/ui/Dovarid10.h"
#include "platform/ui/userint.h"

#include <initializer_list>

using namespace zurid::platform;

namespace zurid {

std::array<double, kHistoryLen> alldata{};

namespace {

constexpr int kSampleLen = 5;
constexpr int kPointsPerScreen = 101;
constexpr int kAdjPoints = 101; // percent 0 to 100, all drawn so a marker at 100 shows
constexpr unsigned char kMarker = 150;
constexpr double kAdjDelay = 1.0;

void ShowStripChart() {
    SetCtrlAttribute(panel, PANEL_STRIPCHART, ATTR_POINTS_PER_SCREEN, kPointsPerScreen);
    PlotStripChart(panel, PANEL_STRIPCHART, alldata.data(), kHistoryLen, 0, 0, VAL_DOUBLE);
}

void ShowAdjustment() {
    EventDelay(kAdjDelay);
    unsigned char e = 0;
    unsigned char w = 0;
    GetCtrlVal(panel, PANEL_EDGE, &e);
    GetCtrlVal(panel, PANEL_WIN, &w);
    std::array<unsigned char, kAdjPoints> edge{};
    std::array<unsigned char, kAdjPoints> window{};
    if (e < kAdjPoints) {
        edge[e] = kMarker;
    }
    if (w < kAdjPoints) {
        window[w] = kMarker;
    }
    DeleteGraphPlot(panel, PANEL_GRAPH_ADJ, -1, 1);
    PlotY(panel, PANEL_GRAPH_ADJ, edge.data(), kAdjPoints, VAL_UNSIGNED_CHAR, VAL_THICK_LINE,
          VAL_EMPTY_SQUARE, VAL_SOLID, 1, 0x0000FF);
    PlotY(panel, PANEL_GRAPH_ADJ, window.data(), kAdjPoints, VAL_UNSIGNED_CHAR, VAL_THICK_LINE,
          VAL_EMPTY_SQUARE, VAL_SOLID, 1, 0xFF0000);
}

void SetVisible(std::initializer_list<int> controls, int visible) {
    for (int control : controls) {
        SetCtrlAttribute(panel, control, ATTR_VISIBLE, visible);
    }
}

} // namespace

int Copy1D(const double* input, int n, double* output) {
    if (n < 1) {
        return -20003;
    }
    for (int i = 0; i < n; ++i) {
        output[i] = input[i];
    }
    return 0;
}

int Shift(const double* input, int n, int shifts, double* output) {
    if (n < 1) {
        return -20003;
    }
    if (shifts >= n || -shifts >= n) {
        return -20102;
    }
    if (shifts == 0) {
        return Copy1D(input, n, output);
    }
    if (shifts > 0) {
        for (int i = n - 1; i >= shifts; --i) {
            output[i] = input[i - shifts];
        }
        for (int i = 0; i < shifts; ++i) {
            output[i] = 0.0;
        }
        return 0;
    }
    const int s = -shifts;
    for (int i = 0; i <= n - s - 1; ++i) {
        output[i] = input[i + s];
    }
    for (int i = n - s; i < n; ++i) {
        output[i] = 0.0;
    }
    return 0;
}

void SetPanelData() {
    // No period, no percentage: both show 0 rather than dividing by zero.
    const core::LiveValues live = core::DecodeLiveData(
        std::array<core::Byte, AnzData>{dataDat0, dataDat1, dataNorm, dataAdjedgeL, dataAdjedgeH,
                                        dataAdjin0L, dataAdjin0H, dataAdjin1L, dataAdjin1H});
    SetCtrlVal(panel, PANEL_WIN, static_cast<int>(live.winPct));
    SetCtrlVal(panel, PANEL_EDGE, static_cast<int>(live.edgePct));
    SetCtrlVal(panel, PANEL_DAT0, static_cast<int>(dataDat0));
    SetCtrlVal(panel, PANEL_DAT1, static_cast<int>(dataDat1));
    SetCtrlVal(panel, PANEL_NORM, static_cast<int>(dataNorm));
    GetCtrlVal(panel, PANEL_THRESHOLD, &threshold);
    GetCtrlVal(panel, PANEL_HYSTERESIS, &hysteresis);

    Shift(alldata.data(), kHistoryLen, -kSampleLen, alldata.data());
    alldata[495] = dataDat0;
    alldata[496] = dataDat1;
    alldata[497] = dataNorm;
    alldata[498] = threshold;
    alldata[499] = hysteresis;
}

void ShowGraph() {
    if (source == 2) {
        ShowAdjustment();
    } else {
        ShowStripChart();
    }
}

void DispVis() {
    GetCtrlVal(panel, PANEL_SOURCE, &source);
    if (source == 0 || source == 1) {
        SetVisible({PANEL_GRAPH_JMPBUF, PANEL_GRAPH_ADJ, PANEL_EDGE, PANEL_WIN}, 0);
        SetVisible({PANEL_DAT0, PANEL_DAT1, PANEL_NORM, PANEL_NORM_DECO, PANEL_STRIPCHART}, 1);
        const int raw = source == 0 ? 1 : 0;
        for (int trace = 1; trace <= kSampleLen; ++trace) {
            SetTraceAttribute(panel, PANEL_STRIPCHART, trace, ATTR_TRACE_VISIBLE,
                              trace <= 2 ? raw : 1 - raw);
        }
    } else if (source == 2) {
        SetVisible({PANEL_GRAPH_JMPBUF, PANEL_STRIPCHART, PANEL_DAT0, PANEL_DAT1, PANEL_NORM,
                    PANEL_NORM_DECO},
                   0);
        SetVisible({PANEL_EDGE, PANEL_WIN, PANEL_GRAPH_ADJ}, 1);
    }
}

} // namespace zurid
