// zurid health: each sensor's counting margin and light level as zurid serve computes them,
// from the RAM block, live data over a few seconds (in the window's cycle, as `zurid watch`
// polls it) and the jump buffer read at the end. All ports at once, each in its own cycle.
#include "cli/cli.h"
#include "cli/commands.h"
#include "core/health.h"
#include "core/livedata.h"
#include "platform/serial/interrupt.h"
#include "sensors/healthtext.h"
#include "sensors/paramtext.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QTimer>

#include <array>
#include <memory>
#include <optional>
#include <vector>

namespace zurid::cli {

namespace {

constexpr int kDefaultSeconds = 10;

struct Probe {
    PortRef port;
    std::unique_ptr<PortSession> session;
    std::optional<core::ParamBlock> ram;
    std::vector<int> dat0, dat1, norm;
    std::optional<sensors::JumpBuffer> jump;
    bool done = false;
    bool failed = false;

    core::HealthFigures figures() const {
        core::HealthInput in;
        in.norms = norm;
        in.dat0 = dat0;
        in.dat1 = dat1;
        if (jump) {
            in.jumpBuffer = std::span<const core::Byte>(*jump);
        }
        if (ram) {
            core::TakeLevels(in, *ram);
        }
        return core::ComputeHealth(in);
    }
};

class HealthRun {
  public:
    HealthRun(std::vector<Probe> probes, int seconds, bool json)
        : probes_(std::move(probes)), deadline_(seconds * 1000, Qt::PreciseTimer), json_(json) {}

    void start() {
        for (Probe& p : probes_) {
            p.session->readParams(Memory::Ram, [this, &p](const TransactionResult& r) {
                p.ram = sensors::ToBlock(r.bytes);
                if (!r.ok() || !p.ram) {
                    fail(p, QStringLiteral("RAM read failed: %1").arg(r.error));
                    return;
                }
                cycle(p);
            });
        }
    }

    // Ctrl-C: what was read so far is what there is.
    void stop() { deadline_ = QDeadlineTimer(0); }

  private:
    void cycle(Probe& p) {
        if (deadline_.hasExpired()) {
            p.session->readJumpBuffer(0, [this, &p](const TransactionResult& r) {
                p.jump = sensors::ToJumpBuffer(r.bytes);
                if (!r.ok() || !p.jump) {
                    fail(p, QStringLiteral("jump buffer read failed: %1").arg(r.error));
                    return;
                }
                p.done = true;
                finishIfDone();
            });
            return;
        }
        p.session->readData(0, [this, &p](const TransactionResult& r) {
            const auto v = sensors::ToLiveValues(r.bytes);
            if (!r.ok() || !v) {
                fail(p, QStringLiteral("live data: %1").arg(r.error));
                return;
            }
            p.dat0.push_back(v->dat0);
            p.dat1.push_back(v->dat1);
            p.norm.push_back(v->norm);
            QTimer::singleShot(core::kDataPauseMs, Qt::PreciseTimer, p.session.get(),
                               [this, &p] { cycle(p); });
        });
    }

    void fail(Probe& p, const QString& why) {
        Message(QStringLiteral("%1: %2").arg(p.port.label, why));
        p.failed = true;
        p.done = true;
        finishIfDone();
    }

    void finishIfDone() {
        if (!std::all_of(probes_.begin(), probes_.end(), [](const Probe& p) { return p.done; })) {
            return;
        }
        bool failed = false;
        QJsonArray list;
        for (const Probe& p : probes_) {
            failed = failed || p.failed;
            if (p.failed) {
                continue;
            }
            const core::HealthFigures h = p.figures();
            if (json_) {
                list.append(QJsonObject{{QStringLiteral("port"), p.port.label},
                                        {QStringLiteral("device"), p.port.device},
                                        {QStringLiteral("readings"), qint64(p.norm.size())},
                                        {QStringLiteral("health"), sensors::HealthJson(h)}});
            } else {
                Out(QStringLiteral("%1: %2\n").arg(p.port.label, sensors::HealthText(h)));
            }
        }
        if (json_) {
            OutJson(QJsonObject{{QStringLiteral("sensors"), list}});
        }
        Finish(failed ? kExitFailed : kExitOk);
    }

    std::vector<Probe> probes_;
    QDeadlineTimer deadline_;
    bool json_;
};

const char* const kHealthDetails =
    "Reads the RAM block (THRESHOLD, HYSTERESIS), polls live data for --seconds (default 10)\n"
    "in the window's cycle, then reads the jump buffer, and prints for each sensor what\n"
    "zurid serve shows as its health: the light margin (the steady NORM between the marks\n"
    "above HYSTERESIS), the dark margin (THRESHOLD above the median of the jump buffer's\n"
    "minima), the smaller of the two as a share of the band HYSTERESIS - THRESHOLD (at\n"
    "least 10), capped at 100 % (stable at 100 %, marginal from 50 %, failing below), and\n"
    "the light level (DAT0 + DAT1 between the marks). A figure that the readings cannot\n"
    "give (no edge in the jump buffer yet) is 'not known', null in JSON. Has no reference for\n"
    "the light level: zurid serve keeps one. Ctrl-C ends the polling early. A port that\n"
    "fails is named; the others are printed, and the exit status is 1.";

} // namespace

int RunHealth(const QStringList& args) {
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("seconds"),
                      QStringLiteral("Poll live data for S seconds (default 10)."),
                      QStringLiteral("S")});
    parser.addOption({QStringLiteral("json"), QStringLiteral("Print JSON instead of text.")});
    if (const auto done = ParseCommand(parser, args, QLatin1String(kHealthDetails), 1, -1)) {
        return *done;
    }
    const auto seconds = IntOption(parser, QStringLiteral("seconds"), kDefaultSeconds, 1, 86'400);
    if (!seconds) {
        return kExitUsage;
    }
    std::vector<OpenedPort> opened;
    if (const auto status =
            OpenPorts(QStringLiteral("health"), parser.positionalArguments(), opened)) {
        return *status;
    }
    std::vector<Probe> probes;
    for (OpenedPort& port : opened) {
        Probe p;
        p.port = port.ref;
        p.session = std::move(port.session);
        probes.push_back(std::move(p));
    }
    HealthRun run(std::move(probes), static_cast<int>(*seconds),
                  parser.isSet(QStringLiteral("json")));
    platform::OnInterrupt([&run] { run.stop(); });
    run.start();
    const int status = RunLoop();
    platform::OnInterrupt({});
    return status;
}

} // namespace zurid::cli
