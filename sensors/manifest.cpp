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
Error Refusal(QString why) {
    return Error{ErrorKind::Refused, std::move(why)};
}

Result<QJsonValue> Need(const QJsonObject& o, const QString& key) {
    if (!o.contains(key)) {
        return Refusal(QStringLiteral("'%1' is missing").arg(key));
    }
    return o.value(key);
}

Result<QString> NeedText(const QJsonObject& o, const QString& key) {
    const Result<QJsonValue> v = Need(o, key);
    if (!v) {
        return v.failed();
    }
    if (!v->isString()) {
        return Refusal(QStringLiteral("'%1' is not a text").arg(key));
    }
    if (v->toString().isEmpty()) {
        return Refusal(QStringLiteral("'%1' is empty").arg(key));
    }
    return v->toString();
}

Status OnlyKeys(const QJsonObject& o, const QStringList& allowed) {
    for (auto it = o.begin(); it != o.end(); ++it) {
        if (!allowed.contains(it.key())) {
            return Refusal(QStringLiteral("unknown key '%1'").arg(it.key()));
        }
    }
    return {};
}

Result<core::ParamBlock> NeedBlock(const QJsonObject& o, const QString& key) {
    const Result<QJsonValue> v = Need(o, key);
    if (!v) {
        return v.failed();
    }
    if (!v->isArray()) {
        return Refusal(QStringLiteral("'%1' is not a list of values").arg(key));
    }
    const QJsonArray a = v->toArray();
    if (a.size() != core::kParamLen) {
        return Refusal(QStringLiteral("'%1' has %2 values, not %3")
                           .arg(key)
                           .arg(a.size())
                           .arg(core::kParamLen));
    }
    core::ParamBlock b{};
    for (int i = 0; i < core::kParamLen; ++i) {
        const QJsonValue x = a.at(i);
        if (!x.isDouble()) {
            return Refusal(QStringLiteral("'%1' value %2 is not a number").arg(key).arg(i + 1));
        }
        const double d = x.toDouble();
        if (d < 0 || d > 255 || d != std::floor(d)) {
            return Refusal(QStringLiteral("'%1' value %2 is %3, not a whole number 0-255")
                               .arg(key)
                               .arg(i + 1)
                               .arg(d));
        }
        b[static_cast<std::size_t>(i)] = static_cast<core::Byte>(d);
    }
    return b;
}

// A file of the backup lies beside the manifest: a plain name, nothing that leads elsewhere.
Result<QString> NeedFileName(const QJsonObject& o, const QString& key) {
    const Result<QString> name = NeedText(o, key);
    if (!name) {
        return name;
    }
    if (name->contains(QLatin1Char('/')) || name->contains(QLatin1Char('\\')) ||
        name->startsWith(QLatin1Char('.')) || !name->endsWith(QLatin1String(".dat")) ||
        name->contains(QChar(0))) {
        return Refusal(QStringLiteral("'%1' is '%2', not a file name ending in .dat in the "
                                      "backup's folder")
                           .arg(key, *name));
    }
    return name;
}

Result<BackupResult> NeedResult(const QJsonObject& o) {
    const Result<QString> r = NeedText(o, QStringLiteral("result"));
    if (!r) {
        return r.failed();
    }
    for (BackupResult k : {BackupResult::Ok, BackupResult::Failed, BackupResult::Interrupted}) {
        if (*r == ResultName(k)) {
            return k;
        }
    }
    return Refusal(QStringLiteral("'result' is '%1', not ok, failed or interrupted").arg(*r));
}

// The blocks and files of an Ok entry, read into `e`.
Status ReadSet(const QJsonObject& o, ManifestEntry& e) {
    if (o.contains(QStringLiteral("kept"))) {
        const Result<QString> kept = NeedText(o, QStringLiteral("kept"));
        if (!kept) {
            return kept.failed();
        }
        e.kept = *kept;
    }
    for (const auto& [key, block] :
         {std::pair{QStringLiteral("ram"), &e.ram}, {QStringLiteral("eeprom"), &e.eeprom}}) {
        const Result<core::ParamBlock> b = NeedBlock(o, key);
        if (!b) {
            return b.failed();
        }
        *block = *b;
    }
    for (const auto& [key, file] : {std::pair{QStringLiteral("ramFile"), &e.ramFile},
                                    {QStringLiteral("eepromFile"), &e.eepromFile}}) {
        const Result<QString> name = NeedFileName(o, key);
        if (!name) {
            return name.failed();
        }
        *file = *name;
    }
    if (e.ramFile == e.eepromFile) {
        return Refusal(QStringLiteral("'ramFile' and 'eepromFile' are the same file"));
    }
    return {};
}

Result<ManifestEntry> ReadEntry(const QJsonObject& o, int version) {
    ManifestEntry e;
    for (const auto& [key, field] : {std::pair{QStringLiteral("port"), &e.port},
                                     {QStringLiteral("device"), &e.device},
                                     {QStringLiteral("location"), &e.location},
                                     {QStringLiteral("time"), &e.time}}) {
        const Result<QString> text = NeedText(o, key);
        if (!text) {
            return text.failed();
        }
        *field = *text;
    }
    const Result<BackupResult> result = NeedResult(o);
    if (!result) {
        return result.failed();
    }
    e.result = *result;
    if (e.result == BackupResult::Ok) {
        QStringList keys{"port", "device", "location", "time",      "result",
                         "ram",  "eeprom", "ramFile",  "eepromFile"};
        if (version >= 2) {
            keys << QStringLiteral("kept");
        }
        if (const Status only = OnlyKeys(o, keys); !only) {
            return only.failed();
        }
        if (const Status set = ReadSet(o, e); !set) {
            return set.failed();
        }
        return e;
    }
    if (const Status only = OnlyKeys(o, {"port", "device", "location", "time", "result", "error"});
        !only) {
        return only.failed();
    }
    if (e.result == BackupResult::Failed) {
        const Result<QString> error = NeedText(o, QStringLiteral("error"));
        if (!error) {
            return error.failed();
        }
        e.error = *error;
    }
    return e;
}

QString EntryName(int index, const QJsonValue& v) {
    const QString port = v.toObject().value(QStringLiteral("port")).toString();
    return port.isEmpty() ? QStringLiteral("entry %1").arg(index + 1)
                          : QStringLiteral("entry %1 (%2)").arg(index + 1).arg(port);
}

// The entries of the list "sensors": each read whole, no location and no file named twice. A
// refusal names the entry.
Result<QList<ManifestEntry>> ReadEntries(const QJsonArray& list, int version) {
    QList<ManifestEntry> entries;
    QSet<QString> locations, files;
    for (int i = 0; i < list.size(); ++i) {
        const auto refuse = [&](const QString& why) {
            return Refusal(EntryName(i, list.at(i)) + QStringLiteral(": ") + why);
        };
        if (!list.at(i).isObject()) {
            return refuse(QStringLiteral("not a JSON object"));
        }
        Result<ManifestEntry> e = ReadEntry(list.at(i).toObject(), version);
        if (!e) {
            return refuse(e.error());
        }
        if (locations.contains(e->location)) {
            return refuse(QStringLiteral("location %1 is named twice").arg(e->location));
        }
        locations.insert(e->location);
        for (const QString& f : {e->ramFile, e->eepromFile}) {
            if (!f.isEmpty() && files.contains(f)) {
                return refuse(QStringLiteral("file %1 belongs to another entry too").arg(f));
            }
            files.insert(f);
        }
        entries.append(std::move(*e));
    }
    return entries;
}

// The top object's own keys: format, version, created, complete; the version read.
Result<int> ReadHead(const QJsonObject& top, Manifest& m) {
    if (const Status only = OnlyKeys(top, {"format", "version", "created", "complete", "sensors"});
        !only) {
        return only.failed();
    }
    const Result<QString> format = NeedText(top, QStringLiteral("format"));
    if (!format) {
        return format.failed();
    }
    if (*format != QLatin1String(kManifestFormat)) {
        return Refusal(QStringLiteral("'format' is not '%1'").arg(QLatin1String(kManifestFormat)));
    }
    const Result<QJsonValue> version = Need(top, QStringLiteral("version"));
    if (!version) {
        return version.failed();
    }
    if (*version != QJsonValue(1) && *version != QJsonValue(kManifestVersion)) {
        return Refusal(QStringLiteral("'version' is not 1 or %1").arg(kManifestVersion));
    }
    const Result<QString> created = NeedText(top, QStringLiteral("created"));
    if (!created) {
        return created.failed();
    }
    m.created = *created;
    const Result<QJsonValue> complete = Need(top, QStringLiteral("complete"));
    if (!complete) {
        return complete.failed();
    }
    if (!complete->isBool()) {
        return Refusal(QStringLiteral("'complete' is not true or false"));
    }
    m.complete = complete->toBool();
    return version->toInt();
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

Result<Manifest> ReadManifest(const QByteArray& json) {
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &err);
    if (err.error != QJsonParseError::NoError) {
        return Refusal(
            QStringLiteral("not JSON: %1 at byte %2").arg(err.errorString()).arg(err.offset));
    }
    if (!doc.isObject()) {
        return Refusal(QStringLiteral("not a JSON object"));
    }
    const QJsonObject top = doc.object();
    Manifest m;
    const Result<int> version = ReadHead(top, m);
    if (!version) {
        return version.failed();
    }
    const Result<QJsonValue> sensors = Need(top, QStringLiteral("sensors"));
    if (!sensors) {
        return sensors.failed();
    }
    if (!sensors->isArray()) {
        return Refusal(QStringLiteral("'sensors' is not a list"));
    }
    Result<QList<ManifestEntry>> entries = ReadEntries(sensors->toArray(), *version);
    if (!entries) {
        return entries.failed();
    }
    m.entries = std::move(*entries);
    return m;
}

FileReader FolderReader(const QString& dir) {
    return [dir](const QString& name) -> Result<QByteArray> {
        // Regular files only: a FIFO or a device in the folder is refused, not waited on, and
        // a link is not followed out of it.
        const qint64 limit =
            name == QLatin1String(kManifestName) ? kMaxManifestBytes : kMaxFileBytes;
        std::string text, failure;
        if (!platform::ReadRegularFile(QFile::encodeName(QDir(dir).filePath(name)).toStdString(),
                                       static_cast<std::size_t>(limit) + 1, &text, &failure,
                                       platform::Links::Refuse)) {
            return Error{ErrorKind::Io, QString::fromLocal8Bit(failure.c_str())};
        }
        if (static_cast<qint64>(text.size()) > limit) {
            return Refusal(QStringLiteral("larger than %1 bytes").arg(limit));
        }
        return QByteArray::fromStdString(text);
    };
}

QByteArray ParamFileBytes(const core::ParamBlock& b) {
    return QByteArray::fromStdString(core::WriteParamFile(b));
}

Status CheckEntryFiles(const FileReader& read, const ManifestEntry& e) {
    const auto check = [&](const QString& name, const core::ParamBlock& want) -> Status {
        const Result<QByteArray> text = read(name);
        if (!text) {
            return Error{text.kind(), QStringLiteral("%1: %2").arg(name, text.error())};
        }
        const core::ParamFileRead file = core::ReadParamFile(
            std::string_view(text->constData(), static_cast<std::size_t>(text->size())));
        if (!file.ok) {
            return Refusal(QStringLiteral("%1: %2").arg(name, QString::fromStdString(file.reason)));
        }
        if (file.block != want) {
            return Refusal(
                QStringLiteral("%1 does not hold the block the manifest names").arg(name));
        }
        return {};
    };
    const Status ram = check(e.ramFile, e.ram);
    return ram ? check(e.eepromFile, e.eeprom) : ram;
}

Result<Manifest> LoadBackup(const FileReader& read) {
    const QString manifestName = QLatin1String(kManifestName);
    const Result<QByteArray> json = read(manifestName);
    if (!json) {
        return Error{json.kind(), QStringLiteral("%1: %2").arg(manifestName, json.error())};
    }
    const Result<Manifest> m = ReadManifest(*json);
    if (!m) {
        return Error{m.kind(), QStringLiteral("%1: %2").arg(manifestName, m.error())};
    }
    for (const ManifestEntry& e : m->entries) {
        if (e.result != BackupResult::Ok) {
            continue;
        }
        if (const Status files = CheckEntryFiles(read, e); !files) {
            return Error{files.kind(),
                         QStringLiteral("%1 (%2): %3").arg(e.port, e.location, files.error())};
        }
    }
    return m;
}

} // namespace zurid::sensors
