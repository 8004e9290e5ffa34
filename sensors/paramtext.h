// A parameter block for people and for scripts: the table of `get`, its JSON, and the named
// differences of `diff` and of a failed verify.
#pragma once

#include "core/livedata.h"
#include "core/params.h"
#include "core/protocol.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <array>
#include <optional>

namespace zurid::sensors {

// NAME, VALUE as the panel shows it, CODE; unknown codes and the spare bytes marked.
QString BlockTable(const core::ParamBlock& block);
// {"bytes": [15 codes], "parameters": [ParamJson of each, in block order]}
QJsonObject BlockJson(const core::ParamBlock& block);
// {"name": "HOLD", "key": "HOLD", "position": 4, "code": 3, "value": 50, "unit": "ms",
// "text": "50 ms", "known": true}: the value a number where it is one ("OFF", "EXT" as text),
// its unit apart, the text as the window shows it; an unknown code has the value null and the
// text "? 9".
QJsonObject ParamJson(const core::ParamInfo& info, const core::ParamBlock& block);
// What a form may offer for a parameter: a ring's labels as {"choices": [{"code": 3, "text":
// "50 ms"}, ...]} (DEAD TIME's in the block's mode), a number's range as {"min": 0, "max":
// 255} (POWER in percent).
QJsonObject AllowedJson(const core::ParamInfo& info, const core::ParamBlock& block);
// BlockJson with each parameter's AllowedJson in it: for a form that edits the block.
QJsonObject EditableBlockJson(const core::ParamBlock& block);
// One object per differing parameter: {"name", "key", "position", A: {...}, B: {...}}, each
// side as ParamJson without the name, key and position.
QJsonArray DiffJson(const core::ParamBlock& a, const core::ParamBlock& b, const QString& aName,
                    const QString& bName);
// "80 % (code 9)", "EXT (code 1)", "? 9 (unknown code)".
QString ValueAndCode(const core::ParamInfo& info, const core::ParamBlock& block);
// One line per differing parameter: "POWER  80 % (code 9)  ->  100 % (code 0)".
QStringList DiffLines(const core::ParamBlock& a, const core::ParamBlock& b);
// A reply or file content of exactly 15 bytes as a block.
std::optional<core::ParamBlock> ToBlock(const QByteArray& bytes);
// A live-data reply of exactly kDataLen bytes, decoded.
std::optional<core::LiveValues> ToLiveValues(const QByteArray& bytes);
using JumpBuffer = std::array<core::Byte, core::kJumpBufLen>;
// A jump-buffer reply of exactly kJumpBufLen bytes.
std::optional<JumpBuffer> ToJumpBuffer(const QByteArray& bytes);

} // namespace zurid::sensors
