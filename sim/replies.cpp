#include "sim/replies.h"

#include <algorithm>
#include <charconv>

namespace sim {

namespace {

constexpr std::array<std::string_view, 10> kFaultNames = {
    "none", "silent",  "short",        "long",       "wrong-line-check",
    "late", "garbage", "stray-prefix", "split-long", "ignore-write"};

using zurid::core::Order;
constexpr int kWriteRam = static_cast<int>(Order::WriteRam);
constexpr int kWriteEeprom = static_cast<int>(Order::WriteEeprom);
constexpr int kReadRam = static_cast<int>(Order::ReadRam);
constexpr int kReadEeprom = static_cast<int>(Order::ReadEeprom);
constexpr int kLiveData = static_cast<int>(Order::Data);
constexpr int kJumpBuffer = static_cast<int>(Order::JumpBuf);
constexpr int kLineCheck = static_cast<int>(Order::LineCheck);

bool knownOrder(int order) {
    return order >= 0 && order <= 255 && zurid::core::IsOrder(static_cast<std::uint8_t>(order));
}

} // namespace

std::optional<Fault> faultFromName(std::string_view name) {
    for (std::size_t i = 0; i < kFaultNames.size(); ++i)
        if (kFaultNames[i] == name)
            return static_cast<Fault>(i);
    return std::nullopt;
}

std::string_view faultName(Fault f) {
    return kFaultNames.at(static_cast<std::size_t>(f));
}

std::optional<Aging> agingFromName(std::string_view name) {
    if (name == "shallow")
        return Aging{0, true};
    constexpr std::string_view fouling = "fouling=";
    if (!name.starts_with(fouling))
        return std::nullopt;
    const std::string_view number = name.substr(fouling.size());
    double percent = -1;
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), percent);
    if (ec != std::errc{} || end != number.data() + number.size() || number.empty() ||
        !(percent >= 0))
        return std::nullopt;
    return Aging{percent, false};
}

Block defaultBlock() {
    return {100, 120, 0, 0, 1, 0, 20, 50, 2, 0, 2, 0, 0, 0, 0};
}

SensorState::SensorState(const Config& cfg)
    : ram(cfg.ram), eeprom(cfg.eeprom), answerDelay(cfg.answerDelay), model_(cfg.seed),
      rng_(cfg.seed ^ 0x5eed5eedU) {
    model_.setAging(cfg.aging);
}

void SensorState::setReply(int order, std::optional<std::vector<std::uint8_t>> raw) {
    if (knownOrder(order))
        overrides[static_cast<std::size_t>(order)] = std::move(raw);
}

std::vector<std::uint8_t> SensorState::normalReply(int order, double t) {
    switch (order) {
    case kReadRam:
        return {ram.begin(), ram.end()};
    case kReadEeprom:
        return {eeprom.begin(), eeprom.end()};
    case kLiveData: {
        model_.advanceTo(t, ram);
        const DataBlock b = liveData ? *liveData : model_.sample(ram);
        return {b.begin(), b.end()};
    }
    case kJumpBuffer: {
        model_.advanceTo(t, ram);
        const JumpBuffer& b = jumpBuffer ? *jumpBuffer : model_.jumpBuffer();
        return {b.begin(), b.end()};
    }
    case kLineCheck:
        return {zurid::core::kLineCheckAnswer.begin(), zurid::core::kLineCheckAnswer.end()};
    default: // the writes answer nothing
        return {};
    }
}

// The set fault if the order is in the mask; otherwise, by chance, a random one.
Fault SensorState::faultFor(int order) {
    if (orderMask != 0 && (orderMask & (1U << order)) == 0)
        return Fault::None;
    if (fault != Fault::None)
        return fault;
    if (randomChance <= 0 || std::uniform_real_distribution<double>(0, 1)(rng_) >= randomChance)
        return Fault::None;
    static constexpr std::array kinds = {Fault::Silent, Fault::Short,   Fault::Long,
                                         Fault::Late,   Fault::Garbage, Fault::WrongLineCheck};
    const std::size_t n = order == kLineCheck ? kinds.size() : kinds.size() - 1;
    return kinds[std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_)];
}

void SensorState::applyFault(Fault f, int order, Answer& a) {
    std::uniform_int_distribution<int> byte(0, 255);
    switch (f) {
    case Fault::None:
        break;
    case Fault::Silent:
        a.reply.clear();
        break;
    case Fault::Short:
        a.reply.pop_back();
        break;
    case Fault::Long:
        a.reply.push_back(static_cast<std::uint8_t>(byte(rng_)));
        break;
    case Fault::WrongLineCheck:
        if (order == kLineCheck)
            a.reply = {0xAA, 0x01, 0x01};
        break;
    case Fault::Late:
        a.delay = lateSeconds;
        break;
    case Fault::StrayPrefix:
        if (!strayDone) {
            const auto& stray = zurid::core::kLineCheckAnswer;
            a.reply.insert(a.reply.begin(), stray.begin(), stray.end());
            strayDone = true;
        }
        break;
    case Fault::SplitLong:
        a.tail = {0x00};
        a.tailGap = splitSeconds;
        break;
    case Fault::Garbage:
        a.reply.resize(static_cast<std::size_t>(std::uniform_int_distribution<int>(1, 20)(rng_)));
        for (auto& b : a.reply)
            b = static_cast<std::uint8_t>(byte(rng_));
        break;
    case Fault::IgnoreWrite: // only for writes, which answer nothing
        break;
    }
}

Answer SensorState::handle(const std::vector<std::uint8_t>& frame, double t) {
    Answer a;
    if (frame.size() != kFrameLength || frame[0] != kSync || !knownOrder(frame[1]))
        return a;
    a.valid = true;
    a.delay = answerDelay;
    const int order = frame[1];
    // Not through faultFor: the random faults stay as they were, seed for seed.
    const bool ignored =
        fault == Fault::IgnoreWrite && (orderMask == 0 || (orderMask & (1U << order)) != 0);
    if ((order == kWriteRam || order == kWriteEeprom) && !ignored) {
        Block& target = order == kWriteRam ? ram : eeprom;
        std::copy(frame.begin() + 2, frame.end(), target.begin());
    }
    const auto& raw = overrides[static_cast<std::size_t>(order)];
    a.reply = raw ? *raw : normalReply(order, t);
    if (!a.reply.empty())
        applyFault(faultFor(order), order, a);
    return a;
}

} // namespace sim
