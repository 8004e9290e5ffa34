#include "gui/livedata.h"

#include "gui/report.h"
#include "gui/state.h"
#include "link/blocks.h"
#include "link/frames.h"
#include "platform/serial/eventpump.h"
#include "platform/serial/utility.h"
#include "platform/ui/Dovarid10.h"
#include "platform/ui/userint.h"

using namespace zurid::platform;

namespace zurid {

std::array<unsigned char, kJumpBufLen> jumpbuf{};

namespace {

// Draws the jump buffer just read (in szReadBuf) against THRESHOLD and brings its graph up.
void PlotJumpBuffer() {
    std::array<unsigned char, kJumpBufLen> line{};
    GetCtrlVal(panel, PANEL_THRESHOLD, &threshold);
    for (int i = 0; i < kJumpBufLen; ++i) {
        jumpbuf[i] = szReadBuf[i];
        line[i] = threshold;
    }
    DeleteGraphPlot(panel, PANEL_GRAPH_JMPBUF, -1, 1);
    SetCtrlAttribute(panel, PANEL_GRAPH_ADJ, ATTR_VISIBLE, 0);
    SetCtrlAttribute(panel, PANEL_STRIPCHART, ATTR_VISIBLE, 0);
    SetCtrlAttribute(panel, PANEL_GRAPH_JMPBUF, ATTR_VISIBLE, 1);
    PlotY(panel, PANEL_GRAPH_JMPBUF, jumpbuf.data(), kJumpBufLen, VAL_UNSIGNED_CHAR, VAL_THICK_LINE,
          VAL_EMPTY_SQUARE, VAL_SOLID, 1, 0x0000FF);
    PlotY(panel, PANEL_GRAPH_JMPBUF, line.data(), kJumpBufLen, VAL_UNSIGNED_CHAR, VAL_THICK_LINE,
          VAL_EMPTY_SQUARE, VAL_SOLID, 1, 0x000000);
}

} // namespace

void GetData() {
    order = kOrderData;
    poll = 1;
    DispVis();
    while (poll == 1) {
        const ReplyOutcome reply = RequestReply(order, {.watchPoll = true});
        if (reply == ReplyOutcome::Abandoned) {
            return;
        }
        if (reply == ReplyOutcome::Accepted) {
            GetRxBufData();
            CopyDatatoVars();
            SetPanelData();
            ShowGraph();
        } else {
            ReportTimeout();
            poll = 0;
        }
        ProcessSystemEvents();
        Sleep(core::kDataPauseMs);
    }
}

void GetJmpBuf() {
    poll = 0;
    order = kOrderJumpBuf;
    if (RequestReply(order, {}) == ReplyOutcome::Accepted) {
        PlotJumpBuffer();
    } else {
        ReportTimeout();
    }
}

} // namespace zurid
