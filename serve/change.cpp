// A change of a sensor's parameters, whatever it came by: the values parsed as `zurid set`
// takes them, the one write path of the sensor library run as the port's client work, and the
// before/after of each changed parameter as the answer.
#include "serve/api.h"
#include "serve/sensorjson.h"

#include "platform/serial/journal_record.h"
#include "sensors/paramtext.h"
#include "sensors/write.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>

namespace zurid::serve {

namespace {

using Items = std::vector<core::Assignment>;

// No parameter takes a number beyond this (codes are 0-255, POWER a percentage, HOLD at most
// 1000 ms): a larger one is refused before it is turned into an integer.
constexpr double kLargestValue = 1e6;

// Each changed parameter: {"name", "key", "before": {...}, "after": {...}}.
QJsonArray Changes(const core::ParamBlock& before, const core::ParamBlock& after) {
    QJsonArray out;
    for (const int pos : core::DifferingPositions(before, after)) {
        const core::ParamInfo& info = core::ParamTable()[static_cast<std::size_t>(pos)];
        out.append(QJsonObject{
            {QStringLiteral("name"), QString::fromLatin1(info.name.data(), info.name.size())},
            {QStringLiteral("key"), QString::fromLatin1(info.key.data(), info.key.size())},
            {QStringLiteral("before"), sensors::ParamJson(info, before)},
            {QStringLiteral("after"), sensors::ParamJson(info, after)}});
    }
    return out;
}

// The answer to a change as it ended.
Answer ChangeAnswer(const LinePort& p, Memory memory, const sensors::WriteResult& w) {
    if (w.ok()) {
        QJsonObject o = ParametersJson(p, memory, w.after);
        o[QStringLiteral("written")] = w.state == sensors::WriteResult::State::Written;
        o[QStringLiteral("changed")] = Changes(*w.before, w.after);
        return Answer::json(o);
    }
    const QString text = sensors::WriteFailureText(memory, w);
    switch (w.error.kind) {
    case ErrorKind::Refused:
    case ErrorKind::Unsteady:
    case ErrorKind::NotKept:
        return Answer::failure(w.error.kind, text);
    default:
        return Failure(p, w.error.kind, text);
    }
}

} // namespace

Checked<Items> ParseValues(const QJsonObject& o) {
    if (o.isEmpty()) {
        return Checked<Items>::failure(ErrorKind::Invalid,
                                       QStringLiteral("send a JSON object of parameters and "
                                                      "values, {\"THRESHOLD\": 80, \"HOLD\": "
                                                      "\"50ms\"}"));
    }
    std::vector<std::string> words;
    for (auto it = o.begin(); it != o.end(); ++it) {
        if (it.key().contains(QLatin1Char('='))) {
            return Checked<Items>::failure(
                ErrorKind::Invalid, QStringLiteral("'%1' is no parameter").arg(it.key().left(40)));
        }
        QString value;
        const double d = it.value().toDouble();
        if (it.value().isString()) {
            value = it.value().toString();
        } else if (it.value().isDouble() && !(std::abs(d) <= kLargestValue)) { // NaN too
            return Checked<Items>::failure(
                ErrorKind::Refused, QStringLiteral("%1: %2 is out of every parameter's range")
                                        .arg(it.key().left(40))
                                        .arg(d));
        } else if (it.value().isDouble() && d == std::trunc(d)) {
            value = QString::number(static_cast<qint64>(d)); // judged above: it fits
        } else {
            return Checked<Items>::failure(
                ErrorKind::Refused,
                QStringLiteral("%1: a value is a number or a text as the window shows it")
                    .arg(it.key().left(40)));
        }
        words.push_back(QStringLiteral("%1=%2").arg(it.key(), value).toStdString());
    }
    core::AssignmentsRead list = core::ParseAssignments(words);
    if (!list.ok) {
        return Checked<Items>::failure(ErrorKind::Invalid, QString::fromStdString(list.reason));
    }
    if (const core::AssignmentsChecked checked = core::CheckAssignments(list.items); !checked.ok) {
        return Checked<Items>::failure(ErrorKind::Refused, QString::fromStdString(checked.reason));
    }
    return std::move(list.items);
}

Checked<Patch> ParsePatch(const QByteArray& body) {
    const QJsonDocument doc = QJsonDocument::fromJson(body);
    QJsonObject values = doc.isObject() ? doc.object() : QJsonObject();
    const QJsonValue reason = values.take(QStringLiteral("reason"));
    if (const QString why = platform::ReasonRefusal(reason); !why.isEmpty()) {
        return Checked<Patch>::failure(ErrorKind::Invalid, why);
    }
    Checked<Items> items = ParseValues(values);
    if (!items) {
        return items.failed();
    }
    return Patch{std::move(*items), reason.toString()};
}

void ChangeParameters(Api& api, ParameterChange change, Waiter waiter) {
    const Checked<LinePort*> found = FindPort(api, change.id);
    const Checked<PortSession*> working =
        found ? WorkingSession(**found) : Checked<PortSession*>(found.failed());
    if (!working) {
        waiter.deliver(working.failed());
        return;
    }
    LinePort* p = *found;
    if (!p->writer.isEmpty()) {
        waiter.deliver(Answer::failure(
            ErrorKind::Busy, QStringLiteral("%1: %2 is under way").arg(p->ref.label, p->writer)));
        return;
    }
    // Held from now until the change has ended, however it ends, or until it is dropped unrun.
    const auto hold = HoldWriter(*p, QStringLiteral("a parameter change"));
    const Memory memory = change.memory;
    std::optional<sensors::WriteOrigin> origin;
    if (!api.journal.isEmpty()) {
        origin = sensors::WriteOrigin{api.journal,    platform::JournalEvent::Change,
                                      change.channel, change.who,
                                      change.address, p->ref.label,
                                      p->location,    change.reason};
    }
    const auto run = [&api, p, memory, items = std::move(change.items), origin,
                      hold](PortSession& s, const ClientTurn& turn) {
        sensors::WriteBlock(s, {memory, std::nullopt, items, true, true, origin, {}},
                            [&api, p, memory, turn, hold](const sensors::WriteResult& w) {
                                if (w.touched()) {
                                    ++(memory == Memory::Ram ? p->ramWrites : p->eepromWrites);
                                }
                                // What the sensor holds now, as far as the change knows it.
                                if (w.ok() || w.error.kind == ErrorKind::NotKept) {
                                    api.line.wroteBlock(*p, memory, w.before, w.after);
                                } else if (w.before && !w.touched()) {
                                    api.line.keepBlock(*p, memory, *w.before);
                                }
                                // Made, but its outcome is not in the journal: the log
                                // says so (the attempt stays there, pending).
                                if (!w.notRecorded.isEmpty() && api.note) {
                                    api.note(QStringLiteral("%1: a change's outcome is not in "
                                                            "the journal: %2")
                                                 .arg(p->ref.label, w.notRecorded));
                                }
                                turn.answer(ChangeAnswer(*p, memory, w));
                            });
    };
    api.line.submit(*p, {QString(), true, run}, std::move(waiter));
}

} // namespace zurid::serve
