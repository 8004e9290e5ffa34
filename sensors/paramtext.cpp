#include "sensors/paramtext.h"

#include <QJsonArray>

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
        QJsonObject p;
        p[QStringLiteral("name")] = Text(info.name);
        p[QStringLiteral("key")] = Text(info.key);
        p[QStringLiteral("position")] = info.pos;
        p[QStringLiteral("code")] = block[static_cast<std::size_t>(info.pos)];
        p[QStringLiteral("value")] = Text(core::FormatValue(info, block));
        p[QStringLiteral("known")] = core::IsKnownCode(info, block);
        params.append(p);
    }
    return {{QStringLiteral("bytes"), bytes}, {QStringLiteral("parameters"), params}};
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
    const auto table = core::ParamTable();
    for (const int pos : core::DifferingPositions(a, b)) {
        const auto info = std::find_if(table.begin(), table.end(),
                                       [pos](const core::ParamInfo& p) { return p.pos == pos; });
        if (info == table.end()) {
            continue;
        }
        out.append(QStringLiteral("%1  %2  ->  %3")
                       .arg(Text(info->name), -15)
                       .arg(ValueAndCode(*info, a), ValueAndCode(*info, b)));
    }
    return out;
}

std::optional<core::ParamBlock> ToBlock(const QByteArray& bytes) {
    core::ParamBlock block{};
    if (bytes.size() != static_cast<qsizetype>(block.size())) {
        return std::nullopt;
    }
    std::copy(bytes.begin(), bytes.end(), block.begin());
    return block;
}

} // namespace zurid::sensors
