#include "cli/serve_mqtt.h"

#include "cli/cli.h"

namespace zurid::cli {

const char* const kServeMqttDetails =
    "With --mqtt URL it also publishes the line to an MQTT broker (mqtt://HOST[:PORT], or\n"
    "mqtts://HOST[:PORT] with --mqtt-ca), plain JSON under the prefix (default zurid/HOST):\n"
    "\n"
    "  PREFIX/status                      online | offline (retained; offline is the Last Will)\n"
    "  PREFIX/sensors/ID/status           status, device, location, version (retained)\n"
    "  PREFIX/sensors/ID/live             each reading as the stream sends it (QoS 0)\n"
    "  PREFIX/sensors/ID/parameters/ram   the parameter set as the API has it (retained);\n"
    "  PREFIX/sensors/ID/parameters/eeprom   published at start and after every change\n"
    "  PREFIX/sensors/ID/set              with --mqtt-commands: {\"id\": \"1\", \"memory\":\n"
    "                                     \"ram\", \"values\": {\"THRESHOLD\": 80}, \"token\":\n"
    "                                     \"...\"}, answered on .../set/response\n"
    "\n"
    "With --mqtt-discovery PREFIX (usually homeassistant) each sensor is also a device of Home\n"
    "Assistant: PREFIX/sensor/.../config and PREFIX/binary_sensor/.../config (retained) for its\n"
    "NORM, DAT0, DAT1, health, status and drift, available while the line's status topic says\n"
    "online; published again whenever PREFIX/status says online.\n"
    "\n"
    "A broker that is absent or goes away is tried again with back-off while the rest goes\n"
    "on; meanwhile readings are dropped and counted (/metrics), and the retained topics are\n"
    "published anew on every connect. A credentials file that group or others may read is\n"
    "refused (exit 2).\n"
    "\n"
    "The bridge speaks MQTT 5 and takes nothing larger than 64 KiB from the broker. Commands\n"
    "need MQTT 5, which tells a retained message from a new one: a retained command is refused,\n"
    "and with a broker that speaks only MQTT 3.1.1 the bridge publishes but takes no commands.";

namespace {

const QString kUrl = QStringLiteral("mqtt");
const QString kPrefix = QStringLiteral("mqtt-prefix");
const QString kCa = QStringLiteral("mqtt-ca");
const QString kCredentials = QStringLiteral("mqtt-credentials");
const QString kLiveMs = QStringLiteral("mqtt-live-ms");
const QString kCommands = QStringLiteral("mqtt-commands");
const QString kDiscovery = QStringLiteral("mqtt-discovery");

} // namespace

QList<QCommandLineOption> MqttOptions() {
    return {
        {kUrl, QStringLiteral("Publish the line to this MQTT broker."), QStringLiteral("URL")},
        {kPrefix, QStringLiteral("The MQTT topics' prefix (default zurid/HOSTNAME)."),
         QStringLiteral("PREFIX")},
        {kCa, QStringLiteral("mqtts: the CA certificates to trust (default the system's)."),
         QStringLiteral("FILE")},
        {kCredentials,
         QStringLiteral("The broker's user name (first line) and password (second line); mode "
                        "0600."),
         QStringLiteral("FILE")},
        {kLiveMs,
         QStringLiteral("At most one reading per sensor in N ms on the live topics, the newest "
                        "(default: every reading)."),
         QStringLiteral("N")},
        {kCommands, QStringLiteral("Take parameter commands on PREFIX/sensors/ID/set.")},
        {kDiscovery,
         QStringLiteral("Announce the sensors to Home Assistant under this discovery prefix."),
         QStringLiteral("PREFIX")},
    };
}

bool ReadMqttOptions(const QCommandLineParser& parser, serve::ServeOptions& options) {
    if (!parser.isSet(kUrl)) {
        for (const QString& name : {kPrefix, kCa, kCredentials, kLiveMs, kCommands, kDiscovery}) {
            if (parser.isSet(name)) {
                Message(QStringLiteral("--%1 needs --mqtt URL").arg(name));
                return false;
            }
        }
        return true;
    }
    const auto broker = serve::mqtt::ParseBrokerUrl(parser.value(kUrl));
    if (!broker) {
        Message(broker.error());
        return false;
    }
    serve::mqtt::BridgeOptions o;
    o.broker = *broker;
    o.prefix = parser.isSet(kPrefix) ? parser.value(kPrefix) : serve::mqtt::DefaultPrefix();
    if (const sensors::Status prefix = serve::mqtt::CheckPrefix(o.prefix); !prefix) {
        Message(QStringLiteral("--mqtt-prefix %1: %2").arg(o.prefix, prefix.error()));
        return false;
    }
    if (parser.isSet(kCa)) {
        if (!o.broker.tls) {
            Message(QStringLiteral("--mqtt-ca is for mqtts:// brokers"));
            return false;
        }
        o.caFile = parser.value(kCa);
        if (const sensors::Status ca = serve::mqtt::CheckCaFile(o.caFile); !ca) {
            Message(ca.error());
            return false;
        }
    }
    if (parser.isSet(kCredentials)) {
        const auto credentials = serve::mqtt::LoadCredentials(parser.value(kCredentials));
        if (!credentials) {
            Message(credentials.error());
            return false;
        }
        o.credentials = *credentials;
    }
    const auto liveMs = IntOption(parser, kLiveMs, 0, 0, 3'600'000);
    if (!liveMs) {
        return false;
    }
    o.liveMs = static_cast<int>(*liveMs);
    o.commands = parser.isSet(kCommands);
    if (parser.isSet(kDiscovery)) {
        o.discovery = parser.value(kDiscovery);
        if (const sensors::Status prefix = serve::mqtt::CheckPrefix(o.discovery); !prefix) {
            Message(QStringLiteral("--mqtt-discovery %1: %2").arg(o.discovery, prefix.error()));
            return false;
        }
        // Home Assistant's PREFIX/status would be the line's own, with its Last Will.
        if (o.discovery == o.prefix) {
            Message(QStringLiteral("--mqtt-discovery %1 is the line's prefix too; give the line "
                                   "its own with --mqtt-prefix")
                        .arg(o.discovery));
            return false;
        }
    }
    options.mqtt = std::move(o);
    return true;
}

} // namespace zurid::cli
