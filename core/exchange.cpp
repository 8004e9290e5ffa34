#include "core/exchange.h"

#include <algorithm>
#include <cstdio>

namespace zurid::core {

namespace {

// Times within a microsecond count as equal: no clock the callers read is finer, and a wait
// computed as a difference of two times would otherwise leave a rounding rest of a few ulps.
constexpr double kTimeSlack = 1e-6;

std::string Seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", s);
    return text;
}

std::string Hex(std::span<const Byte> bytes) {
    std::string out;
    for (const Byte b : bytes) {
        char text[4];
        std::snprintf(text, sizeof text, "%02X", b);
        out += out.empty() ? "" : " ";
        out += text;
    }
    return out;
}

Judgement Fail(Verdict v, std::string message) {
    return {v, 0.0, std::move(message)};
}

} // namespace

ExchangePlan PlanExchange(Order order, const ParamBlock& block) {
    ExchangePlan plan;
    plan.order = order;
    plan.request = RequestFrame(order, block);
    plan.expected = ReplyLength(order);
    plan.flushFirst = plan.expected > 0;
    if (order == Order::ReadRam || order == Order::ReadEeprom) {
        plan.settleSeconds = SettleSeconds(order == Order::ReadEeprom);
    }
    plan.quietSeconds = order == Order::Data || plan.expected == 0 ? 0.0 : kQuietSeconds;
    return plan;
}

Judgement JudgeReply(const ExchangePlan& plan, std::span<const Byte> received, double elapsed,
                     double quietFor) {
    // Texts are made only for a failure: the data loop judges every reading and allocates nothing.
    const auto count = static_cast<long long>(received.size());
    const long long expected = plan.expected;
    const auto replyOf = [&] { return "reply of " + std::to_string(count) + " bytes"; };
    const auto expectedText = [&] { return ", expected " + std::to_string(expected); };
    const double limitLeft = plan.limitSeconds - elapsed;
    const bool inTime = limitLeft > kTimeSlack;
    if (count < expected) {
        if (inTime) {
            return {Verdict::Wait, limitLeft, {}};
        }
        const std::string within = " within " + Seconds(plan.limitSeconds) + " s";
        return Fail(Verdict::TooShort,
                    count == 0 ? "no reply" + within : replyOf() + within + expectedText());
    }
    const double quietLeft = plan.quietSeconds - quietFor;
    const bool talking = quietLeft > kTimeSlack;
    if (count > expected) {
        if (talking && inTime) {
            return {Verdict::Wait, std::min(quietLeft, limitLeft), {}};
        }
        return Fail(Verdict::TooLong, replyOf() + expectedText());
    }
    if (talking) {
        return {Verdict::Wait, quietLeft, {}};
    }
    if (plan.order == Order::LineCheck && !LineCheckOk(received)) {
        return Fail(Verdict::WrongAnswer, "wrong line-check answer " + Hex(received) +
                                              ", expected " + Hex(kLineCheckAnswer));
    }
    return {Verdict::Accept, 0.0, {}};
}

} // namespace zurid::core
