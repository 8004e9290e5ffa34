#include "link/frames.h"

#include "link/state.h"
#include "platform/serial/rs232.h"
#include "platform/serial/utility.h"
#include "platform/ui/Dovarid10.h"
#include "platform/ui/userint.h"

#include <algorithm>
#include <cstring>

namespace zurid {

const char InfoTimeout[] = " ATTENTION! \n \n TIMEOUT \n NO SERIAL CONNECTION TO SENSOR";

std::array<unsigned char, kFrameBufSize> szWriteBuf{};
std::array<unsigned char, kFrameBufSize> szReadBuf{};

void FillTxBuf(unsigned char ord) {
    szWriteBuf[0] = sync;
    szWriteBuf[1] = ord;
    std::memcpy(&szWriteBuf[2], pp.data(), AnzPara);
}

void GetRxBufPara() {
    std::memcpy(pp.data(), szReadBuf.data(), AnzPara);
}

void GetRxBufData() {
    std::memcpy(databuf.data(), szReadBuf.data(), AnzData);
}

Reply RequestReply(unsigned char ord, int expected, ReplyRead how) {
    if (how.flushFirst) {
        FlushInQ(com);
        FlushOutQ(com);
    }
    FillTxBuf(ord);
    ComWrt(com, szWriteBuf.data(), kRequestLen);

    int n = 0;
    tstart = Timer();
    do {
        ProcessSystemEvents();
        n = GetInQLen(com);
        if (how.watchPoll && poll == 0) {
            return Reply::Abandoned;
        }
        tdiff = Timer() - tstart;
    } while (tdiff <= kReplyLimit && n < expected);

    // Read exactly what was counted; never more than the buffer holds.
    nBytesR = n > 0 ? ComRd(com, szReadBuf.data(), std::min(n, kFrameBufSize)) : n;
    return nBytesR == expected ? Reply::Accepted : Reply::Missing;
}

void ReportTimeout() {
    SetCtrlVal(panel, PANEL_STATUS, "TIMEOUT");
    MessagePopup(TimeoutTitle, InfoTimeout);
}

void EventDelay(double seconds) {
    tstart = Timer();
    tdiff = 0.0;
    while (seconds > tdiff) {
        ProcessSystemEvents();
        tdiff = Timer() - tstart;
    }
}

} // namespace zurid
