#include "cli/serve_health.h"

#include "cli/cli.h"

namespace zurid::cli {

namespace {

const QString kEvery = QStringLiteral("health-every");
const QString kReference = QStringLiteral("health-reference-period");

constexpr qint64 kLongestPeriodMs = 86'400'000;

// The option's period, or its default; nullopt after a message.
std::optional<qint64> PeriodOption(const QCommandLineParser& parser, const QString& name,
                                   qint64 fallback) {
    if (!parser.isSet(name)) {
        return fallback;
    }
    const QString text = parser.value(name);
    const auto ms = ParsePeriodMs(text);
    if (!ms) {
        Message(QStringLiteral("--%1 needs a period of 1s to 24h, such as 10s, 5m or 1h, not '%2'")
                    .arg(name, text));
    }
    return ms;
}

} // namespace

std::optional<qint64> ParsePeriodMs(const QString& text) {
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
    if (!ok || n < 1 || n > kLongestPeriodMs / unit) {
        return std::nullopt;
    }
    return n * unit;
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
    return {every, reference};
}

bool ReadHealthOptions(const QCommandLineParser& parser, serve::ServeOptions& options) {
    const auto every = PeriodOption(parser, kEvery, serve::kHealthEveryMs);
    const auto reference = PeriodOption(parser, kReference, serve::kHealthReferenceMs);
    if (!every || !reference) {
        return false;
    }
    options.health.everyMs = static_cast<int>(*every);
    options.health.referenceMs = static_cast<int>(*reference);
    return true;
}

} // namespace zurid::cli
