#include "gui/transfer.h"

#include "gui/params.h"
#include "link/frames.h"
#include "link/state.h"
#include "platform/serial/rs232.h"
#include "platform/ui/Dovarid10.h"
#include "platform/ui/userint.h"

namespace zurid {

const char LineOkText[] = "LINE OK                              V1.0";

void SendPara() {
    poll = 0;
    order = target == RAM ? kOrderWriteRam : kOrderWriteEeprom;
    GetPanelValues();
    CopyVarsToPP();
    FillTxBuf(order);
    nBytesW = ComWrt(com, szWriteBuf.data(), kRequestLen);
    if (nBytesW != kRequestLen) {
        ReportTimeout();
    }
}

void GetPara() {
    poll = 0;
    if (target == RAM) {
        order = kOrderReadRam;
    } else if (target == EEPROM) {
        order = kOrderReadEeprom;
    }
    if (RequestReply(order, AnzPara, {.flushFirst = true, .watchPoll = false}) == Reply::Accepted) {
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
    ret = OpenComConfig(port, "", 4800, 0, 8, 1, 1024, 1024);
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
    const Reply reply = RequestReply(order, 3, {.flushFirst = false, .watchPoll = false});
    const bool good = reply == Reply::Accepted && szReadBuf[0] == 0xAA && szReadBuf[1] == 0x01 &&
                      szReadBuf[2] == 0x00;
    if (!good) {
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
