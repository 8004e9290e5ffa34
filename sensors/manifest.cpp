#include "sensors/manifest.h"

#include "core/paramfile.h"
#include "platform/serial/files.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <cmath>

namespace zurid::sensors {

namespace {

constexpr qint64 kMaxManifestBytes = 4 * 1024 * 1024;
constexpr qint64 kMaxFileBytes = 64 * 1024; // far beyond any spelling of fifteen values

QJsonArray BlockArray(const core::ParamBlock& b) {
    QJsonArray a;
    for (core::Byte v : b) {
        a.append(static_cast<int>(v));
    }
    return a;
}

// Every check of the reader ends in the same way: a reason, and the rest is not read.
struct Refusal {
    QString why;
};

QJsonValue Need(const QJsonObject& o, const QString& key) {
    if (!o.contains(key)) {
        throw Refusal{QStringLiteral("'%1' is missing").arg(key)};
    }
    return o.value(key);
}

QString NeedText(const QJsonObject& o, const QString& key, bool mayBeEmpty = false) {
    const QJsonValue v = Need(o, key);
    if (!v.isString()) {
        throw Refusal{QStringLiteral("'%1' is not a text").arg(key)};
    }
    if (!mayBeEmpty && v.toString().isEmpty()) {
        throw Refusal{QStringLiteral("'%1' is empty").arg(key)};
    }
    return v.toString();
}

void OnlyKeys(const QJsonObject& o, const QStringList& allowed) {
    for (auto it = o.begin(); it != o.end(); ++it) {
        if (!allowed.contains(it.key())) {
            throw Refusal{QStringLiteral("unknown key '%1'").arg(it.key())};
        }
    }
}

core::ParamBlock NeedBlock(const QJsonObject& o, const QString& key) {
    const QJsonValue v = Need(o, key);
    if (!v.isArray()) {
        throw Refusal{QStringLiteral("'%1' is not a list of values").arg(key)};
    }
    const QJsonArray a = v.toArray();
    if (a.size() != core::kParamLen) {
        throw Refusal{QStringLiteral("'%1' has %2 values, not %3")
                          .arg(key)
                          .arg(a.size())
                          .arg(core::kParamLen)};
    }
    core::ParamBlock b{};
    for (int i = 0; i < core::kParamLen; ++i) {
        const QJsonValue x = a.at(i);
        if (!x.isDouble()) {
            throw Refusal{QStringLiteral("'%1' value %2 is not a number").arg(key).arg(i + 1)};
        }
        const double d = x.toDouble();
        if (d < 0 || d > 255 || d != std::floor(d)) {
            throw Refusal{QStringLiteral("'%1' value %2 is %3, not a whole number 0-255")
                              .arg(key)
                              .arg(i + 1)
                              .arg(d)};
        }
        b[static_cast<std::size_t>(i)] = static_cast<core::Byte>(d);
    }
    return b;
}

// A file of the backup lies beside the manifest: a plain name, nothing that leads elsewhere.
QString NeedFileName(const QJsonObject& o, const QString& key) {
    const QString name = NeedText(o, key);
    if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')) ||
        name.startsWith(QLatin1Char('.')) || !name.endsWith(QLatin1String(".dat")) ||
        name.contains(QChar(0))) {
        throw Refusal{QStringLiteral("'%1' is '%2', not a file name ending in .dat in the "
                                     "backup's folder")
                          .arg(key, name)};
    }
    return name;
}

BackupResult NeedResult(const QJsonObject& o) {
    const QString r = NeedText(o, QStringLiteral("result"));
    for (BackupResult k : {BackupResult::Ok, BackupResult::Failed, BackupResult::Interrupted}) {
        if (r == ResultName(k)) {
            return k;
        }
    }
    throw Refusal{QStringLiteral("'result' is '%1', not ok, failed or interrupted").arg(r)};
}

ManifestEntry ReadEntry(const QJsonObject& o, int version) {
    ManifestEntry e;
    e.port = NeedText(o, QStringLiteral("port"));
    e.device = NeedText(o, QStringLiteral("device"));
    e.location = NeedText(o, QStringLiteral("location"));
    e.time = NeedText(o, QStringLiteral("time"));
    e.result = NeedResult(o);
    if (e.result == BackupResult::Ok) {
        QStringList keys{"port", "device", "location", "time",      "result",
                         "ram",  "eeprom", "ramFile",  "eepromFile"};
        if (version >= 2) {
            keys << QStringLiteral("kept");
        }
        OnlyKeys(o, keys);
        if (o.contains(QStringLiteral("kept"))) {
            e.kept = NeedText(o, QStringLiteral("kept"));
        }
        e.ram = NeedBlock(o, QStringLiteral("ram"));
        e.eeprom = NeedBlock(o, QStringLiteral("eeprom"));
        e.ramFile = NeedFileName(o, QStringLiteral("ramFile"));
        e.eepromFile = NeedFileName(o, QStringLiteral("eepromFile"));
        if (e.ramFile == e.eepromFile) {
            throw Refusal{QStringLiteral("'ramFile' and 'eepromFile' are the same file")};
        }
    } else {
        OnlyKeys(o, {"port", "device", "location", "time", "result", "error"});
        if (e.result == BackupResult::Failed) {
            e.error = NeedText(o, QStringLiteral("error"));
        }
    }
    return e;
}

QString EntryName(int index, const QJsonValue& v) {
    const QString port = v.toObject().value(QStringLiteral("port")).toString();
    return port.isEmpty() ? QStringLiteral("entry %1").arg(index + 1)
                          : QStringLiteral("entry %1 (%2)").arg(index + 1).arg(port);
}

Manifest ReadTop(const QByteArray& json, QString& where) {
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &err);
    if (err.error != QJsonParseError::NoError) {
        throw Refusal{
            QStringLiteral("not JSON: %1 at byte %2").arg(err.errorString()).arg(err.offset)};
    }
    if (!doc.isObject()) {
        throw Refusal{QStringLiteral("not a JSON object")};
    }
    const QJsonObject top = doc.object();
    OnlyKeys(top, {"format", "version", "created", "complete", "sensors"});
    if (NeedText(top, QStringLiteral("format")) != QLatin1String(kManifestFormat)) {
        throw Refusal{QStringLiteral("'format' is not '%1'").arg(QLatin1String(kManifestFormat))};
    }
    const QJsonValue version = Need(top, QStringLiteral("version"));
    if (version != QJsonValue(1) && version != QJsonValue(kManifestVersion)) {
        throw Refusal{QStringLiteral("'version' is not 1 or %1").arg(kManifestVersion)};
    }
    Manifest m;
    m.created = NeedText(top, QStringLiteral("created"));
    const QJsonValue complete = Need(top, QStringLiteral("complete"));
    if (!complete.isBool()) {
        throw Refusal{QStringLiteral("'complete' is not true or false")};
    }
    m.complete = complete.toBool();
    const QJsonValue sensors = Need(top, QStringLiteral("sensors"));
    if (!sensors.isArray()) {
        throw Refusal{QStringLiteral("'sensors' is not a list")};
    }
    const QJsonArray list = sensors.toArray();
    QSet<QString> locations, files;
    for (int i = 0; i < list.size(); ++i) {
        where = EntryName(i, list.at(i));
        if (!list.at(i).isObject()) {
            throw Refusal{QStringLiteral("not a JSON object")};
        }
        ManifestEntry e = ReadEntry(list.at(i).toObject(), version.toInt());
        if (locations.contains(e.location)) {
            throw Refusal{QStringLiteral("location %1 is named twice").arg(e.location)};
        }
        locations.insert(e.location);
        for (const QString& f : {e.ramFile, e.eepromFile}) {
            if (!f.isEmpty() && files.contains(f)) {
                throw Refusal{QStringLiteral("file %1 belongs to another entry too").arg(f)};
            }
            files.insert(f);
        }
        m.entries.append(std::move(e));
    }
    return m;
}

} // namespace

QString ResultName(BackupResult r) {
    switch (r) {
    case BackupResult::Ok:
        return QStringLiteral("ok");
    case BackupResult::Failed:
        return QStringLiteral("failed");
    case BackupResult::Interrupted:
        break;
    }
    return QStringLiteral("interrupted");
}

QString BackupFileName(const QString& port, bool ram, int variant) {
    QString base = port;
    if (base.startsWith(QLatin1String("/dev/"))) {
        base = base.mid(5);
    }
    base.replace(QLatin1Char('/'), QLatin1Char('-'));
    while (base.startsWith(QLatin1Char('.')) || base.startsWith(QLatin1Char('-'))) {
        base.remove(0, 1);
    }
    base += ram ? QLatin1String("-ram") : QLatin1String("-eeprom");
    if (variant > 1) {
        base += QStringLiteral("-%1").arg(variant);
    }
    return base + QLatin1String(".dat");
}

QByteArray WriteManifest(const Manifest& m) {
    QJsonArray sensors;
    for (const ManifestEntry& e : m.entries) {
        QJsonObject o{{"port", e.port},
                      {"device", e.device},
                      {"location", e.location},
                      {"time", e.time},
                      {"result", ResultName(e.result)}};
        if (e.result == BackupResult::Ok) {
            o.insert(QStringLiteral("ram"), BlockArray(e.ram));
            o.insert(QStringLiteral("eeprom"), BlockArray(e.eeprom));
            o.insert(QStringLiteral("ramFile"), e.ramFile);
            o.insert(QStringLiteral("eepromFile"), e.eepromFile);
            if (!e.kept.isEmpty()) {
                o.insert(QStringLiteral("kept"), e.kept);
            }
        } else if (e.result == BackupResult::Failed) {
            o.insert(QStringLiteral("error"), e.error);
        }
        sensors.append(o);
    }
    const QJsonObject top{{"format", QLatin1String(kManifestFormat)},
                          {"version", kManifestVersion},
                          {"created", m.created},
                          {"complete", m.complete},
                          {"sensors", sensors}};
    return QJsonDocument(top).toJson(QJsonDocument::Indented);
}

ManifestRead ReadManifest(const QByteArray& json) {
    QString where;
    try {
        return {ReadTop(json, where), {}};
    } catch (const Refusal& r) {
        return {std::nullopt, where.isEmpty() ? r.why : where + QStringLiteral(": ") + r.why};
    }
}

FileReader FolderReader(const QString& dir) {
    return [dir](const QString& name, QString* why) -> std::optional<QByteArray> {
        // Regular files only: a FIFO or a device in the folder is refused, not waited on, and
        // a link is not followed out of it.
        const qint64 limit =
            name == QLatin1String(kManifestName) ? kMaxManifestBytes : kMaxFileBytes;
        std::string text, failure;
        if (!platform::ReadRegularFile(QFile::encodeName(QDir(dir).filePath(name)).toStdString(),
                                       static_cast<std::size_t>(limit) + 1, &text, &failure,
                                       platform::Links::Refuse)) {
            *why = QString::fromLocal8Bit(failure.c_str());
            return std::nullopt;
        }
        if (static_cast<qint64>(text.size()) > limit) {
            *why = QStringLiteral("larger than %1 bytes").arg(limit);
            return std::nullopt;
        }
        return QByteArray::fromStdString(text);
    };
}

QByteArray ParamFileBytes(const core::ParamBlock& b) {
    return QByteArray::fromStdString(core::WriteParamFile(b));
}

QString CheckEntryFiles(const FileReader& read, const ManifestEntry& e) {
    const auto check = [&](const QString& name, const core::ParamBlock& want) -> QString {
        QString failure;
        const std::optional<QByteArray> text = read(name, &failure);
        if (!text) {
            return QStringLiteral("%1: %2").arg(name, failure);
        }
        const core::ParamFileRead file = core::ReadParamFile(
            std::string_view(text->constData(), static_cast<std::size_t>(text->size())));
        if (!file.ok) {
            return QStringLiteral("%1: %2").arg(name, QString::fromStdString(file.reason));
        }
        if (file.block != want) {
            return QStringLiteral("%1 does not hold the block the manifest names").arg(name);
        }
        return {};
    };
    const QString failure = check(e.ramFile, e.ram);
    return failure.isEmpty() ? check(e.eepromFile, e.eeprom) : failure;
}

ManifestRead LoadBackup(const FileReader& read) {
    QString why;
    const std::optional<QByteArray> json = read(QLatin1String(kManifestName), &why);
    if (!json) {
        return {std::nullopt, QStringLiteral("%1: %2").arg(QLatin1String(kManifestName), why)};
    }
    ManifestRead m = ReadManifest(*json);
    if (!m.manifest) {
        m.error = QStringLiteral("%1: %2").arg(QLatin1String(kManifestName), m.error);
        return m;
    }
    for (const ManifestEntry& e : m.manifest->entries) {
        if (e.result != BackupResult::Ok) {
            continue;
        }
        if (const QString failure = CheckEntryFiles(read, e); !failure.isEmpty()) {
            return {std::nullopt, QStringLiteral("%1 (%2): %3").arg(e.port, e.location, failure)};
        }
    }
    return m;
}

} // namespace zurid::sensors
