// zurid watch: live data of one or more sensors as CSV, in the window's cycle (the request, the
// reply, a pause) on each port independently.
#include "cli/cli.h"
#include "cli/commands.h"
#include "core/livedata.h"
#include "platform/serial/files.h"
#include "platform/serial/interrupt.h"
#include "sensors/paramtext.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <memory>
#include <optional>
#include <vector>

namespace zurid::cli {

namespace {

// "FILE: cannot write: why".
QString CannotWrite(const QString& name, const std::string& why) {
    return QStringLiteral("%1: cannot write: %2").arg(name, QString::fromLocal8Bit(why.c_str()));
}

struct Watcher {
    PortRef port;
    std::unique_ptr<PortSession> session;
    qint64 rows = 0;
    bool done = false;
    bool failed = false;
};

class Watch {
  public:
    Watch(std::vector<Watcher> watchers, platform::OutputStream* csv, QString csvName, qint64 count,
          int pauseMs)
        : watchers_(std::move(watchers)), csv_(csv), csvName_(std::move(csvName)), count_(count),
          pauseMs_(pauseMs) {
        clock_.start();
    }

    void start() {
        writeLine(QStringLiteral("%1seconds,time,DAT0,DAT1,NORM,IN0,IN1,EDGE,EDGE%,WIN%")
                      .arg(multi() ? QStringLiteral("port,") : QString()));
        const int settle = PortSession::SettleMs(Memory::Ram);
        for (Watcher& w : watchers_) {
            cycle(w, settle);
        }
    }

    // Ends every port's watch after its last complete line.
    void stop(const QString& why) {
        for (Watcher& w : watchers_) {
            w.session->cancel();
            w.done = true;
        }
        if (!why.isEmpty()) {
            Message(QStringLiteral("watch %1 after %2").arg(why, rowsText()));
        }
        Finish(anyFailed() ? kExitFailed : kExitOk);
    }

  private:
    bool multi() const { return watchers_.size() > 1; }
    bool anyFailed() const {
        return std::any_of(watchers_.begin(), watchers_.end(),
                           [](const Watcher& w) { return w.failed; });
    }
    QString rowsText() const {
        qint64 rows = 0;
        for (const Watcher& w : watchers_) {
            rows += w.rows;
        }
        return QStringLiteral("%1 row%2").arg(rows).arg(rows == 1 ? "" : "s");
    }

    void cycle(Watcher& w, int settleMs) {
        if (w.done) {
            return;
        }
        w.session->readData(settleMs, [this, &w](const TransactionResult& r) { onReply(w, r); });
    }

    void onReply(Watcher& w, const TransactionResult& r) {
        if (!r.ok() || r.bytes.size() != core::kDataLen) {
            w.failed = true;
            w.done = true;
            Message(QStringLiteral("%1: %2; its watch ended after %3 row%4")
                        .arg(w.port.label, r.error)
                        .arg(w.rows)
                        .arg(w.rows == 1 ? "" : "s"));
            finishIfDone();
            return;
        }
        writeRow(w, r.bytes);
        ++w.rows;
        if (count_ > 0 && w.rows >= count_) {
            w.done = true;
            finishIfDone();
            return;
        }
        if (pauseMs_ == 0) {
            cycle(w, 0);
        } else {
            QTimer::singleShot(pauseMs_, Qt::PreciseTimer, w.session.get(),
                               [this, &w] { cycle(w, 0); });
        }
    }

    void writeRow(const Watcher& w, const QByteArray& bytes) {
        const core::LiveValues v = sensors::ToLiveValues(bytes).value_or(core::LiveValues{});
        const QString line =
            QStringLiteral("%1%2,%3,%4,%5,%6,%7,%8,%9,%10,%11")
                .arg(multi() ? CsvField(w.port.label) + QLatin1Char(',') : QString())
                .arg(static_cast<double>(clock_.nsecsElapsed()) / 1e9, 0, 'f', 3)
                .arg(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs))
                .arg(v.dat0)
                .arg(v.dat1)
                .arg(v.norm)
                .arg(v.in0)
                .arg(v.in1)
                .arg(v.edge)
                .arg(v.edgePct)
                .arg(v.winPct);
        writeLine(line);
    }

    // Whole lines only: one write each, straight to the file or stdout.
    void writeLine(const QString& line) {
        const QByteArray bytes = (line + QLatin1Char('\n')).toUtf8();
        bool written = true;
        if (csv_ == nullptr) {
            written = Out(line + QLatin1Char('\n'));
        } else if (const std::string why = csv_->write(
                       std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
                   !why.empty()) {
            Message(CannotWrite(csvName_, why));
            written = false;
        }
        if (!written) {
            for (Watcher& w : watchers_) {
                w.failed = true;
            }
            stop({});
        }
    }

    void finishIfDone() {
        if (std::all_of(watchers_.begin(), watchers_.end(),
                        [](const Watcher& w) { return w.done; })) {
            Finish(anyFailed() ? kExitFailed : kExitOk);
        }
    }

    std::vector<Watcher> watchers_;
    platform::OutputStream* csv_;
    QString csvName_;
    qint64 count_;
    int pauseMs_;
    QElapsedTimer clock_;
};

const char* const kWatchDetails =
    "Polls live data (order 5) after the 0.1 s settle delay, in the window's cycle: the\n"
    "request, the 9-byte reply, a pause. One CSV line per reply: seconds since the start\n"
    "(monotonic), UTC time (ISO 8601), DAT0, DAT1, NORM, IN0 (trigger period), IN1 (active\n"
    "window), EDGE (edge time), EDGE% and WIN% (of the IN0 period, 0 when it is 0), as the\n"
    "window shows them. With several PORTs all are polled at once, each in its own cycle,\n"
    "into one CSV whose first column names the port. Runs until --seconds or --count, or\n"
    "Ctrl-C, which ends after a complete line (exit 0). A time-out or a pulled plug ends a\n"
    "port's watch with a message; every line already written stays, and the exit status\n"
    "is 1.";

void AddWatchOptions(QCommandLineParser& parser) {
    parser.addOption(
        {QStringLiteral("seconds"), QStringLiteral("Stop after S seconds."), QStringLiteral("S")});
    parser.addOption({QStringLiteral("count"), QStringLiteral("Stop after N rows (per port)."),
                      QStringLiteral("N")});
    parser.addOption({QStringLiteral("csv"),
                      QStringLiteral("Write the CSV to FILE, not stdout (a device or FIFO is "
                                     "written into, - is stdout)."),
                      QStringLiteral("FILE")});
    parser.addOption({QStringLiteral("pause"),
                      QStringLiteral("Pause after each reply, in ms (default 50, the window's)."),
                      QStringLiteral("MS")});
}

struct WatchLimits {
    double seconds = 0; // 0: no time limit
    qint64 count = 0;   // rows per port; 0: no limit
    int pauseMs = 0;
};

// --seconds, --count and --pause; nullopt after a message (bad usage).
std::optional<WatchLimits> ReadWatchLimits(const QCommandLineParser& parser) {
    if (parser.isSet(QStringLiteral("seconds")) && parser.isSet(QStringLiteral("count"))) {
        Message(QStringLiteral("watch: --seconds and --count exclude each other"));
        return std::nullopt;
    }
    WatchLimits limits;
    if (parser.isSet(QStringLiteral("seconds"))) {
        bool ok = false;
        limits.seconds = parser.value(QStringLiteral("seconds")).toDouble(&ok);
        if (!ok || !(limits.seconds > 0) || limits.seconds > 2e6) {
            Message(QStringLiteral("--seconds needs a number of seconds above 0, not '%1'")
                        .arg(parser.value(QStringLiteral("seconds"))));
            return std::nullopt;
        }
    }
    const auto count = IntOption(parser, QStringLiteral("count"), 0, 1, 1'000'000'000);
    const auto pause = IntOption(parser, QStringLiteral("pause"), core::kDataPauseMs, 0, 60'000);
    if (!count || !pause) {
        return std::nullopt;
    }
    limits.count = *count;
    limits.pauseMs = static_cast<int>(*pause);
    return limits;
}

// Each named port looked up and opened; an exit status after a message when one cannot be had.
std::optional<int> OpenWatchers(const QStringList& names, std::vector<Watcher>& watchers) {
    std::vector<OpenedPort> opened;
    if (const auto status = OpenPorts(QStringLiteral("watch"), names, opened)) {
        return status;
    }
    for (OpenedPort& port : opened) {
        Watcher w;
        w.port = port.ref;
        w.session = std::move(port.session);
        watchers.push_back(std::move(w));
    }
    return std::nullopt;
}

} // namespace

int RunWatch(const QStringList& args) {
    QCommandLineParser parser;
    AddWatchOptions(parser);
    if (const auto done = ParseCommand(parser, args, QLatin1String(kWatchDetails), 1, -1)) {
        return *done;
    }
    const std::optional<WatchLimits> limits = ReadWatchLimits(parser);
    if (!limits) {
        return kExitUsage;
    }
    std::vector<Watcher> watchers;
    if (const auto status = OpenWatchers(parser.positionalArguments(), watchers)) {
        return *status;
    }
    const bool toFile = parser.isSet(QStringLiteral("csv"));
    const QString csvName = parser.value(QStringLiteral("csv"));
    if (toFile && csvName.isEmpty()) {
        Message(QStringLiteral("watch: --csv needs a file name ('-' for stdout)"));
        return kExitUsage;
    }
    platform::OutputStream csv;
    if (toFile) {
        if (const std::string why = csv.open(QFile::encodeName(csvName).toStdString());
            !why.empty()) {
            Message(CannotWrite(csvName, why));
            return kExitUsage;
        }
    }
    Watch watch(std::move(watchers), toFile ? &csv : nullptr, csvName, limits->count,
                limits->pauseMs);
    platform::OnInterrupt([&watch] { watch.stop(QStringLiteral("stopped")); });
    if (limits->seconds > 0) {
        QTimer::singleShot(static_cast<int>(limits->seconds * 1000), Qt::PreciseTimer,
                           [&watch] { watch.stop({}); });
    }
    watch.start();
    int status = RunLoop();
    platform::OnInterrupt({});
    if (const std::string why = csv.close(); !why.empty()) {
        Message(CannotWrite(csvName, why));
        status = kExitFailed;
    }
    return status;
}

} // namespace zurid::cli
