#include "core/protocol.h"

#include <algorithm>

namespace zurid::core {

Request RequestFrame(Order order, const ParamBlock& block) {
    Request frame{};
    frame[0] = kSync;
    frame[1] = static_cast<Byte>(order);
    std::copy(block.begin(), block.end(), frame.begin() + 2);
    return frame;
}

int ReplyLength(Order order) {
    switch (order) {
    case Order::ReadRam:
    case Order::ReadEeprom:
        return kParamLen;
    case Order::Data:
        return kDataLen;
    case Order::JumpBuf:
        return kJumpBufLen;
    case Order::LineCheck:
        return kLineCheckLen;
    case Order::WriteRam:
    case Order::WriteEeprom:
        break;
    }
    return 0;
}

bool LineCheckOk(std::span<const Byte> reply) {
    return std::ranges::equal(reply, kLineCheckAnswer);
}

bool IsOrder(Byte code) {
    return code >= static_cast<Byte>(Order::WriteRam) &&
           code <= static_cast<Byte>(Order::LineCheck);
}

Order ReadOrder(bool ram) {
    return ram ? Order::ReadRam : Order::ReadEeprom;
}

Order WriteOrder(bool ram) {
    return ram ? Order::WriteRam : Order::WriteEeprom;
}

} // namespace zurid::core
