// The health options of `zurid serve`: how often the jump buffer is read, and (for tests) the
// period over which the light reference is taken.
#pragma once

#include "serve/daemon.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>

#include <optional>

namespace zurid::cli {

QList<QCommandLineOption> HealthOptions();
// After parsing: the health options into `options`; false after a message (bad usage).
bool ReadHealthOptions(const QCommandLineParser& parser, serve::ServeOptions& options);

// A period as "10s", "10m", "2h" (or plain seconds) in milliseconds, at least 1 s and at most a
// day; nullopt when the text is none.
std::optional<qint64> ParsePeriodMs(const QString& text);

} // namespace zurid::cli
