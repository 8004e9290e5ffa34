// Parameter commands over MQTT: the strict reading of a command payload, the answer payload,
// and what the bridge needs from the line to carry a command out (the API's PATCH rules).
//
// A command:  {"id": "42", "memory": "ram", "values": {"THRESHOLD": 80, "HOLD": "50ms"},
//              "token": "..."}
// Its answer: the same answer as the API's PATCH (the before/after of each changed parameter,
//              or {"error": {"code", "message"}} with the API's codes) with the command's "id"
//              added.
#pragma once

#include "sensors/session.h"
#include "serve/answer.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <functional>
#include <optional>

namespace zurid::serve::mqtt {

inline constexpr qsizetype kMaxCommandBytes = 4096;
inline constexpr int kMaxIdChars = 64;
inline constexpr int kMaxValues = 15;     // one block's worth of parameters
inline constexpr int kMaxNameChars = 32;  // a parameter name
inline constexpr int kMaxValueChars = 32; // a value as text ("50ms", "ADJ EXT", "#12")
inline constexpr int kMaxTokenChars = 4096;

struct Command {
    QString id;
    sensors::Memory memory = sensors::Memory::Ram;
    QJsonObject values; // name -> a whole number or a text, as the API's PATCH takes them
    QString token;
    QString reason; // why, for the journal; empty when not given
};

struct ParsedCommand {
    std::optional<Command> command; // set when the payload is a command
    QJsonValue id;                  // the sender's id when it could be read, else null
    QString error;                  // why it is none
};

// Refuses anything but exactly the four members with their types and limits: not UTF-8 JSON,
// larger than kMaxCommandBytes, a member missing, unknown or of the wrong type, an id that is
// empty or too long or not printable, a memory other than "ram" and "eeprom", no values or
// more than kMaxValues, a value that is neither a whole number nor a short text, no token.
ParsedCommand ParseCommand(const QByteArray& payload);

// The answer payload: `answer` as JSON with "id" set to `id` (null when the command had none).
QByteArray ResponsePayload(const QJsonValue& id, const Answer& answer);

// What a command needs from the line: the same operation as the API's PATCH of parameters
// (names and values as `zurid set` takes them, only the named bytes change, two reads agree
// before the write, a read-back after it), with no HTTP in between.
class CommandTarget {
  public:
    virtual ~CommandTarget() = default;
    // Whether there is a sensor with this id.
    virtual bool hasSensor(const QString& id) const = 0;
    // The refusal of a write of `memory` with this token (a wrong one, a role that may not
    // write there, or writes switched off); nothing when the write may go ahead.
    virtual std::optional<Answer> refuseWrite(const QString& token,
                                              sensors::Memory memory) const = 0;
    // Carries the write of sensor `id` out (the command's token already judged by
    // refuseWrite) and calls `done` once, later, from the event loop: the before/after, or
    // the error.
    virtual void writeParameters(const QString& id, const Command& command,
                                 std::function<void(const Answer&)> done) = 0;
};

} // namespace zurid::serve::mqtt
