// The health options of `zurid serve`: how often the jump buffer is read, the percent limits of
// the states, and (for tests) the period over which the light reference is taken; and the
// periods its options take.
#pragma once

#include "serve/daemon.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>

#include <optional>

namespace zurid::cli {

inline constexpr qint64 kDayMs = 86'400'000;

QList<QCommandLineOption> HealthOptions();
// After parsing: the health options into `options`; false after a message (bad usage).
bool ReadHealthOptions(const QCommandLineParser& parser, serve::ServeOptions& options);

// A period as "10s", "10m", "2h" (or plain seconds) in milliseconds, at least 1 s and at most
// `longestMs`; nullopt when the text is none.
std::optional<qint64> ParsePeriodMs(const QString& text, qint64 longestMs = kDayMs);
// The option `name`'s period, or `fallback` when it is not given; nullopt after a message.
std::optional<qint64> PeriodOption(const QCommandLineParser& parser, const QString& name,
                                   qint64 fallback, qint64 longestMs = kDayMs);

} // namespace zurid::cli
