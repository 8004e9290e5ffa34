#include "sensors/paramtext.h"

#include <algorithm>

namespace zurid::sensors {

namespace {

QString Text(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

QString Note(const core::ParamInfo& info, const core::ParamBlock& block) {
    if (info.kind == core::ParamKind::Spare) {
        return QStringLiteral("spare byte");
    }
    return core::IsKnownCode(info, block) ? QString() : QStringLiteral("unknown code");
}

const core::ParamInfo* InfoAt(int pos) {
    const auto table = core::ParamTable();
    const auto it = std::find_if(table.begin(), table.end(),
                                 [pos](const core::ParamInfo& p) { return p.pos == pos; });
    return it == table.end() ? nullptr : &*it;
}

// A parameter's value on one side of a difference.
QJsonObject Side(const core::ParamInfo& info, const core::ParamBlock& block) {
    QJsonObject o = ParamJson(info, block);
    for (const char* name : {"name", "key", "position"}) {
        o.remove(QLatin1String(name));
    }
    return o;
}

} // namespace

QString BlockTable(const core::ParamBlock& block) {
    QString out = QStringLiteral("%1  %2  %3\n")
                      .arg(QStringLiteral("NAME"), -15)
                      .arg(QStringLiteral("VALUE"), -10)
                      .arg(QStringLiteral("CODE"), 4);
    for (const core::ParamInfo& info : core::ParamTable()) {
        const QString note = Note(info, block);
        QString line = QStringLiteral("%1  %2  %3")
                           .arg(Text(info.name), -15)
                           .arg(Text(core::FormatValue(info, block)), -10)
                           .arg(block[static_cast<std::size_t>(info.pos)], 4);
        if (!note.isEmpty()) {
            line += QStringLiteral("  (%1)").arg(note);
        }
        out += line + QLatin1Char('\n');
    }
    return out;
}

QJsonObject BlockJson(const core::ParamBlock& block) {
    QJsonArray bytes;
    QJsonArray params;
    for (const core::Byte b : block) {
        bytes.append(b);
    }
    for (const core::ParamInfo& info : core::ParamTable()) {
        params.append(ParamJson(info, block));
    }
    return {{QStringLiteral("bytes"), bytes}, {QStringLiteral("parameters"), params}};
}

QJsonObject ParamJson(const core::ParamInfo& info, const core::ParamBlock& block) {
    const QString text = Text(core::FormatValue(info, block));
    const QString unit = Text(core::UnitOf(info, block));
    const bool known = core::IsKnownCode(info, block);
    QJsonValue value = QJsonValue::Null; // an unknown code has no value
    if (known) {
        QString bare = text;
        if (!unit.isEmpty() && bare.endsWith(QLatin1Char(' ') + unit)) {
            bare.chop(unit.size() + 1);
        }
        bool number = false;
        const int n = bare.toInt(&number);
        value = number ? QJsonValue(n) : QJsonValue(bare);
    }
    return {{QStringLiteral("name"), Text(info.name)},
            {QStringLiteral("key"), Text(info.key)},
            {QStringLiteral("position"), info.pos},
            {QStringLiteral("code"), block[static_cast<std::size_t>(info.pos)]},
            {QStringLiteral("value"), value},
            {QStringLiteral("unit"), unit},
            {QStringLiteral("text"), text},
            {QStringLiteral("known"), known}};
}

QJsonObject AllowedJson(const core::ParamInfo& info, const core::ParamBlock& block) {
    switch (info.kind) {
    case core::ParamKind::Number:
    case core::ParamKind::Spare:
        return {{QStringLiteral("min"), 0}, {QStringLiteral("max"), 255}};
    case core::ParamKind::Power:
        return {{QStringLiteral("min"), 0}, {QStringLiteral("max"), 100}};
    case core::ParamKind::Ring:
    case core::ParamKind::DeadTime:
        break;
    }
    // Each label as FormatValue shows it, so that a choice reads like the value it becomes.
    QJsonArray choices;
    core::ParamBlock with = block;
    for (int code = 0; code <= info.maxCode; ++code) {
        with[static_cast<std::size_t>(info.pos)] = static_cast<core::Byte>(code);
        choices.append(QJsonObject{{QStringLiteral("code"), code},
                                   {QStringLiteral("text"), Text(core::FormatValue(info, with))}});
    }
    return {{QStringLiteral("choices"), choices}};
}

QJsonObject EditableBlockJson(const core::ParamBlock& block) {
    QJsonObject o = BlockJson(block);
    QJsonArray params;
    for (const core::ParamInfo& info : core::ParamTable()) {
        QJsonObject p = ParamJson(info, block);
        const QJsonObject allowed = AllowedJson(info, block);
        for (auto it = allowed.begin(); it != allowed.end(); ++it) {
            p.insert(it.key(), it.value());
        }
        params.append(p);
    }
    o[QStringLiteral("parameters")] = params;
    return o;
}

QJsonArray DiffJson(const core::ParamBlock& a, const core::ParamBlock& b, const QString& aName,
                    const QString& bName) {
    QJsonArray out;
    for (const int pos : core::DifferingPositions(a, b)) {
        const core::ParamInfo* info = InfoAt(pos);
        if (info == nullptr) {
            continue;
        }
        out.append(QJsonObject{{QStringLiteral("name"), Text(info->name)},
                               {QStringLiteral("key"), Text(info->key)},
                               {QStringLiteral("position"), pos},
                               {aName, Side(*info, a)},
                               {bName, Side(*info, b)}});
    }
    return out;
}

QString ValueAndCode(const core::ParamInfo& info, const core::ParamBlock& block) {
    const QString note = Note(info, block);
    return QStringLiteral("%1 (%2)").arg(
        Text(core::FormatValue(info, block)),
        note == QLatin1String("unknown code")
            ? note
            : QStringLiteral("code %1").arg(block[static_cast<std::size_t>(info.pos)]));
}

QStringList DiffLines(const core::ParamBlock& a, const core::ParamBlock& b) {
    QStringList out;
    for (const int pos : core::DifferingPositions(a, b)) {
        const core::ParamInfo* info = InfoAt(pos);
        if (info == nullptr) {
            continue;
        }
        out.append(QStringLiteral("%1  %2  ->  %3")
                       .arg(Text(info->name), -15)
                       .arg(ValueAndCode(*info, a), ValueAndCode(*info, b)));
    }
    return out;
}

namespace {

template <std::size_t N> std::optional<std::array<core::Byte, N>> ToArray(const QByteArray& bytes) {
    std::array<core::Byte, N> out{};
    if (bytes.size() != static_cast<qsizetype>(N)) {
        return std::nullopt;
    }
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return out;
}

} // namespace

std::optional<core::ParamBlock> ToBlock(const QByteArray& bytes) {
    return ToArray<core::kParamLen>(bytes);
}

std::optional<core::LiveValues> ToLiveValues(const QByteArray& bytes) {
    const auto data = ToArray<core::kDataLen>(bytes);
    if (!data) {
        return std::nullopt;
    }
    return core::DecodeLiveData(*data);
}

std::optional<JumpBuffer> ToJumpBuffer(const QByteArray& bytes) {
    return ToArray<core::kJumpBufLen>(bytes);
}

} // namespace zurid::sensors
