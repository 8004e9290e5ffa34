// The MQTT options of `zurid serve`: the broker, the topics' prefix, TLS, credentials, the live
// period and commands.
#pragma once

#include "serve/daemon.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>

namespace zurid::cli {

extern const char* const kServeMqttDetails; // for --help

QList<QCommandLineOption> MqttOptions();
// After parsing: with --mqtt, the bridge's options into `options`. False after a message for
// bad usage (an MQTT option without --mqtt, a bad URL or prefix, a CA file that cannot be read,
// a credentials file that others may read).
bool ReadMqttOptions(const QCommandLineParser& parser, serve::ServeOptions& options);

} // namespace zurid::cli
