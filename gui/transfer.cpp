#include "gui/transfer.h"

#include "core/protocol.h"
#include "gui/params.h"
#include "gui/report.h"
#include "gui/state.h"
#include "link/frames.h"
#include "platform/serial/rs232.h"
#include "platform/ui/Dovarid10.h"
#include "platform/ui/userint.h"

using namespace zurid::platform;

namespace zurid {

namespace {

int ret = 0;     // result of the last port opening
int nBytesW = 0; // count of the last parameter-write request

} // namespace

void SendPara() {
    poll = 0;
    order = static_cast<unsigned char>(core::WriteOrder(target == RAM));
    GetPanelValues();
    CopyVarsToPP();
    const ParaWrite done = WriteParaFrame(order);
    if (!done.refused.empty()) {
        ReportUnjournaled(done.refused + "; nothing sent");
        return;
    }
    nBytesW = done.written;
    if (nBytesW != kRequestLen) {
        ReportTimeout();
    }
    if (!done.unrecorded.empty()) {
        szStatus = (nBytesW == kRequestLen ? "sent" : "TIMEOUT") +
                   std::string(", but its outcome is not in the journal: ") + done.unrecorded;
        SetCtrlVal(panel, PANEL_STATUS, szStatus);
    }
}

void GetPara() {
    poll = 0;
    if (target == RAM) {
        order = kOrderReadRam;
    } else if (target == EEPROM) {
        order = kOrderReadEeprom;
    }
    if (RequestReply(order, {}) == ReplyOutcome::Accepted) {
        GetRxBufPara();
        CopyPPtoVars();
        SetPanelValues();
        InitPanelValues();
    } else {
        ReportTimeout();
    }
}

const char* ComErrorText(int code) {
    switch (code) {
    case -1:
        return "Unknown system error";
    case -2:
        return "Invalid port number";
    case -3:
        return "Port is not open";
    case -4:
        return "Unknown I/0 error";
    case -6:
        return "No serial port found";
    case -7:
        return "Cannot open port";
    case -99:
        return "Timeout";
    default:
        return "RS-232 error!";
    }
}

void InitRS232(int port) {
    poll = 0;
    ret = OpenComConfig(port, "", core::kBaudRate, 0, 8, 1, kFrameBufSize, kFrameBufSize);
    if (ret < 0) {
        szStatus = ComErrorText(ret);
        SetCtrlVal(panel, PANEL_STATUS, szStatus);
        return;
    }
    SetComTime(port, 2.0);
    FlushInQ(port);
    FlushOutQ(port);
    SetCTSMode(port, 0);
    CheckComLine();
}

void CheckComLine() {
    order = kOrderLineCheck;
    if (RequestReply(order, {}) != ReplyOutcome::Accepted) {
        ReportTimeout();
        return;
    }
    szStatus = LineOkText;
    SetCtrlVal(panel, PANEL_STATUS, szStatus);
    // With FILE selected the panel may hold a loaded set that is not sent yet: keep it.
    if (target != DATFILE) {
        GetPara();
    }
}

} // namespace zurid
