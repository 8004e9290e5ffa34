#include "cli/serve_health.h"

#include "cli/cli.h"

namespace zurid::cli {

namespace {

const QString kEvery = QStringLiteral("health-every");
const QString kReference = QStringLiteral("health-reference-period");

const QString kLimits = QStringLiteral("health-limits");

// "100,50": the stable and the marginal limit, in percent, the first above the second.
std::optional<core::HealthLimits> ParseLimits(const QString& text) {
    const QStringList parts = text.split(QLatin1Char(','));
    bool ok = parts.size() == 2;
    core::HealthLimits limits;
    if (ok) {
        limits.stable = parts[0].trimmed().toDouble(&ok);
    }
    if (ok) {
        limits.marginal = parts[1].trimmed().toDouble(&ok);
    }
    if (!ok || !(limits.stable <= 100 && limits.stable > limits.marginal && limits.marginal > 0)) {
        return std::nullopt;
    }
    return limits;
}

} // namespace

std::optional<qint64> ParsePeriodMs(const QString& text, qint64 longestMs) {
    QString number = text.trimmed();
    qint64 unit = 1000;
    if (number.endsWith(QLatin1Char('s'))) {
        number.chop(1);
    } else if (number.endsWith(QLatin1Char('m'))) {
        number.chop(1);
        unit = 60'000;
    } else if (number.endsWith(QLatin1Char('h'))) {
        number.chop(1);
        unit = 3'600'000;
    }
    bool ok = false;
    const qint64 n = number.toLongLong(&ok);
    if (!ok || n < 1 || n > longestMs / unit) {
        return std::nullopt;
    }
    return n * unit;
}

std::optional<qint64> PeriodOption(const QCommandLineParser& parser, const QString& name,
                                   qint64 fallback, qint64 longestMs) {
    if (!parser.isSet(name)) {
        return fallback;
    }
    const QString text = parser.value(name);
    const auto ms = ParsePeriodMs(text, longestMs);
    if (!ms) {
        Message(QStringLiteral("--%1 needs a period of 1s to %2h, such as 10s, 5m or 1h, not '%3'")
                    .arg(name)
                    .arg(longestMs / 3'600'000)
                    .arg(text));
    }
    return ms;
}

QList<QCommandLineOption> HealthOptions() {
    QCommandLineOption every(kEvery,
                             QStringLiteral("Read each sensor's jump buffer this often for its "
                                            "counting margin (default 10s; s, m or h)."),
                             QStringLiteral("PERIOD"));
    // Tests make the reference period short; on a line it is the ten minutes after a start.
    QCommandLineOption reference(kReference, QStringLiteral("The light reference's period."),
                                 QStringLiteral("PERIOD"));
    reference.setFlags(QCommandLineOption::HiddenFromHelp);
    QCommandLineOption limits(kLimits,
                              QStringLiteral("The health in percent from which a sensor is stable, "
                                             "and from which it is marginal rather than failing "
                                             "(default 100,50)."),
                              QStringLiteral("STABLE,MARGINAL"));
    return {every, limits, reference};
}

bool ReadHealthOptions(const QCommandLineParser& parser, serve::ServeOptions& options) {
    const auto every = PeriodOption(parser, kEvery, serve::kHealthEveryMs);
    const auto reference = PeriodOption(parser, kReference, serve::kHealthReferenceMs);
    if (!every || !reference) {
        return false;
    }
    if (parser.isSet(kLimits)) {
        const auto limits = ParseLimits(parser.value(kLimits));
        if (!limits) {
            Message(QStringLiteral("--health-limits needs two percentages, the first above the "
                                   "second, such as 100,50, not '%1'")
                        .arg(parser.value(kLimits)));
            return false;
        }
        options.health.limits = *limits;
    }
    options.health.everyMs = static_cast<int>(*every);
    options.health.referenceMs = static_cast<int>(*reference);
    return true;
}

} // namespace zurid::cli
