#include "core/livedata.h"

namespace zurid::core {

namespace {

unsigned Word(Byte low, Byte high) {
    return low + 256U * high;
}

// Share of the trigger period in percent, truncated; no period gives 0, not a division by 0.
unsigned PercentOf(unsigned part, unsigned period) {
    return period == 0 ? 0U : (100U * part) / period;
}

} // namespace

LiveValues DecodeLiveData(std::span<const Byte, kDataLen> reply) {
    LiveValues v;
    v.dat0 = reply[0];
    v.dat1 = reply[1];
    v.norm = reply[2];
    v.edge = Word(reply[3], reply[4]);
    v.in0 = Word(reply[5], reply[6]);
    v.in1 = Word(reply[7], reply[8]);
    v.edgePct = PercentOf(v.edge, v.in0);
    v.winPct = PercentOf(v.in1, v.in0);
    return v;
}

} // namespace zurid::core
