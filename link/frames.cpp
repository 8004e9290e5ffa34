#include "link/frames.h"

#include "core/exchange.h"
#include "link/state.h"
#include "platform/serial/eventpump.h"
#include "platform/serial/journal_send.h"
#include "platform/serial/rs232.h"
#include "platform/serial/utility.h"

#include <algorithm>
#include <cstring>

using namespace zurid::platform;

namespace zurid {

std::array<unsigned char, kFrameBufSize> szWriteBuf{};
std::array<unsigned char, kFrameBufSize> szReadBuf{};

namespace {

double tstart = 0.0; // start of the current event wait, seconds
double tdiff = 0.0;  // time elapsed in the current event wait, seconds
int nBytesR = 0;     // bytes read so far for the current reply, at most the buffer's size

// Moves what the input queue holds into szReadBuf after the `have` bytes there; once the buffer
// is full, further bytes are read and dropped (the reply is too long by then anyway). Returns
// the bytes in szReadBuf; a port error reads nothing.
int TakeInput(int have) {
    const int queued = GetInQLen(com);
    if (queued <= 0) {
        return have;
    }
    if (have < kFrameBufSize) {
        const int got = ComRd(com, szReadBuf.data() + have, std::min(queued, kFrameBufSize - have));
        return got > 0 ? have + got : have;
    }
    std::array<unsigned char, kFrameBufSize> spill{};
    ComRd(com, spill.data(), std::min(queued, kFrameBufSize));
    return have;
}

} // namespace

void FillTxBuf(unsigned char ord) {
    const core::Request frame = core::RequestFrame(static_cast<core::Order>(ord), pp);
    std::copy(frame.begin(), frame.end(), szWriteBuf.begin());
}

ParaWrite WriteParaFrame(unsigned char ord) {
    FillTxBuf(ord);
    JournalSend journal(com, static_cast<core::Order>(ord), pp);
    ParaWrite done;
    done.refused = journal.begin();
    if (!done.refused.empty()) {
        return done;
    }
    done.written = ComWrt(com, szWriteBuf.data(), kRequestLen);
    done.unrecorded = journal.finish(done.written);
    return done;
}

void GetRxBufPara() {
    std::memcpy(pp.data(), szReadBuf.data(), AnzPara);
}

void GetRxBufData() {
    std::memcpy(databuf.data(), szReadBuf.data(), AnzData);
}

ReplyOutcome RequestReply(unsigned char ord, ReplyRead how) {
    const core::ExchangePlan plan = core::PlanExchange(static_cast<core::Order>(ord), pp);
    if (plan.flushFirst) {
        FlushInQ(com);
        FlushOutQ(com);
    }
    std::copy(plan.request.begin(), plan.request.end(), szWriteBuf.begin());
    ComWrt(com, szWriteBuf.data(), kRequestLen);

    nBytesR = 0;
    double lastByte = 0.0; // when the last byte was noticed, seconds after the request
    tstart = Timer();
    for (;;) {
        ProcessSystemEvents();
        const int before = nBytesR;
        nBytesR = TakeInput(nBytesR);
        if (how.watchPoll && poll == 0) {
            return ReplyOutcome::Abandoned;
        }
        tdiff = Timer() - tstart;
        if (nBytesR != before) {
            lastByte = tdiff;
        }
        const core::Judgement judged = core::JudgeReply(
            plan, std::span<const core::Byte>(szReadBuf.data(), static_cast<std::size_t>(nBytesR)),
            tdiff, tdiff - lastByte);
        if (judged.verdict != core::Verdict::Wait) {
            return judged.verdict == core::Verdict::Accept ? ReplyOutcome::Accepted
                                                           : ReplyOutcome::Missing;
        }
    }
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
