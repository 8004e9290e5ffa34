// Fuzzes the backup reader that `zurid restore` and `zurid verify` trust: any bytes as
// manifest.json, optionally followed by NUL-separated texts for the parameter files it names
// (files without a text of their own hold the manifest's block, so good manifests get through).
// A refused backup must leave nothing half-read, name the reason, and make the real restore
// command stop with exit 2 before a single byte reaches the simulated sensor on its port. An
// accepted one must hold exactly what its files hold and survive a write and a second read.
#include "cli/commands.h"
#include "core/paramfile.h"
#include "fuzz/check.h"
#include "sensors/manifest.h"
#include "sim/sensorsim.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

using namespace zurid;

QString dir;
std::unique_ptr<sim::SensorSim> sensor;

void Put(const QString& name, const QByteArray& bytes) {
    QFile f(QDir(dir).filePath(name));
    FUZZ_CHECK(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size(),
               "cannot write %s", qPrintable(name));
}

// The restore command itself, its messages kept off the fuzzer's output.
int RunRestoreQuietly() {
    std::fflush(stderr);
    const int saved = ::dup(2);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 2);
    const int status = cli::RunRestore({QStringLiteral("restore"), dir, QStringLiteral("--ram")});
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    ::close(null);
    return status;
}

bool SameEntries(const sensors::Manifest& a, const sensors::Manifest& b) {
    if (a.created != b.created || a.complete != b.complete ||
        a.entries.size() != b.entries.size()) {
        return false;
    }
    for (qsizetype i = 0; i < a.entries.size(); ++i) {
        const sensors::ManifestEntry &x = a.entries[i], &y = b.entries[i];
        if (x.port != y.port || x.device != y.device || x.location != y.location ||
            x.time != y.time || x.result != y.result || x.error != y.error || x.ram != y.ram ||
            x.eeprom != y.eeprom || x.ramFile != y.ramFile || x.eepromFile != y.eepromFile ||
            x.kept != y.kept) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    char tmpl[] = "/tmp/fuzz_manifest.XXXXXX";
    FUZZ_CHECK(::mkdtemp(tmpl) != nullptr, "no temporary directory");
    dir = QString::fromLocal8Bit(tmpl);
    sim::Config cfg;
    cfg.wireTime = false;
    sensor = std::make_unique<sim::SensorSim>(cfg);
    FUZZ_CHECK(sensor->start(), "no pseudo-terminal for the sensor");
    // The sensor is COM1, and its location is its device path.
    ::setenv("ZURID_PORTS", sensor->path().c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QList<QByteArray> parts = input.split('\0');
    const QByteArray json = parts.takeFirst();

    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    Put(QLatin1String(sensors::kManifestName), json);
    const sensors::Result<sensors::Manifest> top = sensors::ReadManifest(json);
    if (top) {
        for (const sensors::ManifestEntry& e : top->entries) {
            if (e.result != sensors::BackupResult::Ok) {
                continue;
            }
            for (const auto& [name, block] :
                 {std::pair{e.ramFile, e.ram}, {e.eepromFile, e.eeprom}}) {
                Put(name, parts.isEmpty() ? QByteArray::fromStdString(core::WriteParamFile(block))
                                          : parts.takeFirst());
            }
        }
    }

    const sensors::Result<sensors::Manifest> loaded =
        sensors::LoadBackup(sensors::FolderReader(dir));
    if (!top) {
        FUZZ_CHECK(!loaded, "a manifest refused alone was accepted with its files");
    }
    if (!loaded) {
        FUZZ_CHECK(!loaded.error().isEmpty(), "refused without a reason");
        sensor->clearRequests();
        const int status = RunRestoreQuietly();
        FUZZ_CHECK(status == 2, "restore of a refused backup ended with %d, not 2", status);
        FUZZ_CHECK(sensor->requests().empty(), "restore of a refused backup sent %zu requests",
                   sensor->requests().size());
        return 0;
    }
    FUZZ_CHECK(loaded.error().isEmpty(), "accepted with an error text");
    const sensors::Manifest& m = *loaded;
    for (const sensors::ManifestEntry& e : m.entries) {
        if (e.result != sensors::BackupResult::Ok) {
            continue;
        }
        for (const auto& [name, block] : {std::pair{e.ramFile, e.ram}, {e.eepromFile, e.eeprom}}) {
            FUZZ_CHECK(!name.contains(QLatin1Char('/')), "file name leads elsewhere");
            QFile f(QDir(dir).filePath(name));
            FUZZ_CHECK(f.open(QIODevice::ReadOnly), "accepted a missing file");
            const QByteArray text = f.readAll();
            const core::ParamFileRead read = core::ReadParamFile(
                std::string_view(text.constData(), static_cast<std::size_t>(text.size())));
            FUZZ_CHECK(read.ok && read.block == block, "file %s does not hold the entry's block",
                       qPrintable(name));
        }
    }
    const sensors::Result<sensors::Manifest> again =
        sensors::ReadManifest(sensors::WriteManifest(m));
    FUZZ_CHECK(again && SameEntries(m, *again),
               "accepted manifest does not survive a write and a read: %s",
               qPrintable(again.error()));
    return 0;
}
