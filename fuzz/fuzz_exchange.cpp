// Fuzzes the exchange judge with replies as a line may deliver them: any bytes, in pieces, at any
// times, played through the judge as a reader does (tests/support/replyplay.h). The verdict is
// checked against the arrivals themselves, not against the judge's own arithmetic.
// Input: the first byte picks the order (1..7); then pieces, each two bytes of gap before it
// (little endian, in 50 us steps: up to 3.3 s), a byte of length (1..32) and that many bytes.
#include "core/exchange.h"
#include "fuzz/check.h"
#include "tests/support/replyplay.h"

#include <algorithm>
#include <cstdint>

using testing_support::Arrival;
using zurid::core::Verdict;

namespace {

// Times the judge treats as equal, and the margin kept from every boundary when asking whether
// a reply must be accepted.
constexpr double kSlack = 1e-6;
constexpr double kMargin = 1e-5;

std::vector<Arrival> Pieces(const std::uint8_t* data, std::size_t size) {
    std::vector<Arrival> out;
    double at = 0;
    std::size_t i = 0;
    while (i + 3 <= size) {
        at += (data[i] | (data[i + 1] << 8)) * 50e-6;
        const std::size_t len = std::min<std::size_t>(data[i + 2] % 32 + 1, size - i - 3);
        i += 3;
        if (len == 0) {
            break;
        }
        out.push_back({at, {data + i, data + i + len}});
        i += len;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const auto order = static_cast<zurid::core::Order>(data[0] % 7 + 1);
    const auto plan = zurid::core::PlanExchange(order, {});
    const std::vector<Arrival> arrivals = Pieces(data + 1, size - 1);
    const testing_support::Played p = testing_support::PlayReply(plan, arrivals);
    const Verdict v = p.judged.verdict;
    const auto count = static_cast<int>(p.taken.size());
    const int expected = plan.expected;
    const bool lineCheck = order == zurid::core::Order::LineCheck;
    const std::vector<std::uint8_t> lineOk(zurid::core::kLineCheckAnswer.begin(),
                                           zurid::core::kLineCheckAnswer.end());

    FUZZ_CHECK(v != Verdict::Wait, "no verdict after %zu arrivals", arrivals.size());
    FUZZ_CHECK(p.judged.message.empty() == (v == Verdict::Accept), "message \"%s\" for verdict %d",
               p.judged.message.c_str(), static_cast<int>(v));
    FUZZ_CHECK(p.at <= plan.limitSeconds + plan.quietSeconds + kSlack, "decided only at %f s",
               p.at);
    switch (v) {
    case Verdict::Accept:
        FUZZ_CHECK(count == expected, "accepted %d bytes, expected %d", count, expected);
        FUZZ_CHECK(!lineCheck || p.taken == lineOk, "accepted a wrong line-check answer");
        FUZZ_CHECK(count == 0 || p.lastByteAt <= plan.limitSeconds + kSlack,
                   "accepted a reply complete only at %f s", p.lastByteAt);
        FUZZ_CHECK(p.at >= p.lastByteAt + plan.quietSeconds - kSlack,
                   "accepted %f s after the last byte", p.at - p.lastByteAt);
        for (const Arrival& a : arrivals) {
            FUZZ_CHECK(a.at <= p.lastByteAt || a.at >= p.lastByteAt + plan.quietSeconds - kSlack,
                       "accepted though a byte came %f s after the reply", a.at - p.lastByteAt);
        }
        break;
    case Verdict::TooShort:
        FUZZ_CHECK(count < expected && p.at >= plan.limitSeconds - kSlack,
                   "too short with %d bytes at %f s", count, p.at);
        break;
    case Verdict::TooLong:
        FUZZ_CHECK(count > expected, "too long with %d bytes", count);
        break;
    case Verdict::WrongAnswer:
        FUZZ_CHECK(lineCheck && count == expected && p.taken != lineOk, "wrong answer judged");
        break;
    case Verdict::Wait:
        break;
    }

    // The other way round: exactly the expected bytes by the limit, then a quiet line, is a good
    // reply and must be taken.
    int total = 0;
    std::vector<std::uint8_t> first;
    for (std::size_t i = 0; expected > 0 && i < arrivals.size(); ++i) {
        total += static_cast<int>(arrivals[i].bytes.size());
        first.insert(first.end(), arrivals[i].bytes.begin(), arrivals[i].bytes.end());
        if (total < expected) {
            continue;
        }
        const bool exact = total == expected && arrivals[i].at <= plan.limitSeconds - kMargin;
        const bool quietAfter = i + 1 == arrivals.size() ||
                                arrivals[i + 1].at > arrivals[i].at + plan.quietSeconds + kMargin;
        if (exact && quietAfter && (!lineCheck || first == lineOk)) {
            FUZZ_CHECK(v == Verdict::Accept, "a good reply judged %d: %s", static_cast<int>(v),
                       p.judged.message.c_str());
        }
        break;
    }
    return 0;
}
