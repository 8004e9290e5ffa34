// The page (index.html at /, its files at /static/..., from the program's resources only, never
// from the filesystem) and /metrics in Prometheus' text format.
#include "core/params.h"
#include "core/protocol.h"
#include "serve/api.h"
#include "serve/exposition.h"
#include "serve/mqtt/bridge.h"
#include "serve/sensorjson.h"
#include "serve/stream.h"

#include <QFile>

namespace zurid::serve {

using http::Request;
using http::Responder;
using http::Response;

namespace {

QByteArray ContentType(const QString& path) {
    static const QList<QPair<QString, QByteArray>> types{
        {QStringLiteral(".html"), "text/html; charset=utf-8"},
        {QStringLiteral(".js"), "text/javascript; charset=utf-8"},
        {QStringLiteral(".mjs"), "text/javascript; charset=utf-8"},
        {QStringLiteral(".css"), "text/css; charset=utf-8"},
        {QStringLiteral(".svg"), "image/svg+xml"},
        {QStringLiteral(".png"), "image/png"},
        {QStringLiteral(".ico"), "image/x-icon"},
        {QStringLiteral(".woff2"), "font/woff2"},
        {QStringLiteral(".json"), "application/json"},
    };
    for (const auto& [suffix, type] : types) {
        if (path.endsWith(suffix)) {
            return type;
        }
    }
    return "application/octet-stream";
}

// A file of the page's resources; 404 for anything else.
void SendResource(const QString& path, const Responder& reply) {
    const QStringList segments = path.split(QLatin1Char('/'));
    const bool plain = std::none_of(segments.begin(), segments.end(), [](const QString& s) {
        return s.isEmpty() || s == QLatin1String(".") || s == QLatin1String("..");
    });
    QFile f(QStringLiteral(":/web/") + path);
    if (!plain || !f.open(QIODevice::ReadOnly)) {
        reply.error(404, QStringLiteral("no file %1").arg(path.left(200)));
        return;
    }
    Response r;
    r.contentType = ContentType(path);
    r.body = f.readAll();
    r.headers.emplaceBack("Cache-Control", "no-cache");
    reply.send(r);
}

// Each sensor's counting margin and light level, where known; `each` samples a family.
template <typename Each> void HealthMetrics(Exposition& e, const Each& each) {
    using Value = std::optional<double>;
    e.family("zurid_sensor_health_ratio", "gauge",
             "The smaller counting margin as a share of the band HYSTERESIS-THRESHOLD, 0-1.");
    each("zurid_sensor_health_ratio", [](const LinePort& p) -> Value {
        return p.health.percent ? Value(*p.health.percent / 100) : std::nullopt;
    });
    e.family("zurid_sensor_light_margin", "gauge",
             "The steady NORM between the marks above the re-arm level (HYSTERESIS).");
    each("zurid_sensor_light_margin", [](const LinePort& p) { return p.health.lightMargin; });
    e.family("zurid_sensor_dark_margin", "gauge",
             "THRESHOLD above the typical lowest NORM after an edge (the jump buffer).");
    each("zurid_sensor_dark_margin", [](const LinePort& p) { return p.health.darkMargin; });
    e.family("zurid_sensor_light_level_ratio", "gauge",
             "DAT0+DAT1 between the marks against its reference (1: as when it was taken).");
    each("zurid_sensor_light_level_ratio", [](const LinePort& p) -> Value {
        const core::HealthFigures& h = p.health;
        return h.lightLevel && h.lightReference && *h.lightReference > 0
                   ? Value(*h.lightLevel / *h.lightReference)
                   : std::nullopt;
    });
}

QByteArray Metrics(const Api& api) {
    Exposition e;
    const auto& ports = api.line.ports();
    const auto each = [&ports, &e](const QByteArray& name, const auto& value) {
        for (const auto& p : ports) {
            if (const std::optional<double> v = value(*p)) {
                e.sample(name, {{"sensor", p->ref.label}}, *v);
            }
        }
    };
    using Value = std::optional<double>;
    e.family("zurid_sensor_up", "gauge", "Whether the sensor answers (status ok).");
    each("zurid_sensor_up",
         [](const LinePort& p) -> Value { return p.status == SensorStatus::Ok ? 1 : 0; });
    e.family("zurid_sensor_status", "gauge",
             "The sensor's status: 1 for the one it has, 0 for the others.");
    for (const auto& p : ports) {
        for (const SensorStatus s :
             {SensorStatus::Starting, SensorStatus::Ok, SensorStatus::Timeout, SensorStatus::Absent,
              SensorStatus::Error}) {
            e.sample("zurid_sensor_status", {{"sensor", p->ref.label}, {"status", StatusName(s)}},
                     p->status == s ? 1 : 0);
        }
    }
    const struct {
        const char* name;
        const char* help;
        int core::LiveValues::*field;
    } values[] = {
        {"zurid_sensor_dat0", "The last DAT0 (receiver 0, 0-255).", &core::LiveValues::dat0},
        {"zurid_sensor_dat1", "The last DAT1 (receiver 1, 0-255).", &core::LiveValues::dat1},
        {"zurid_sensor_norm", "The last NORM, DAT0*255/(DAT0+DAT1).", &core::LiveValues::norm},
    };
    for (const auto& v : values) {
        e.family(v.name, "gauge", v.help);
        each(v.name, [field = v.field](const LinePort& p) -> Value {
            return p.last ? Value(p.last->values.*field) : std::nullopt;
        });
    }
    // What NORM is compared with: the sensor counts below THRESHOLD and re-arms above
    // HYSTERESIS. RAM's, the values the sensor works with.
    for (const auto& [name, key] : {std::pair{"zurid_sensor_threshold", "THRESHOLD"},
                                    std::pair{"zurid_sensor_hysteresis", "HYSTERESIS"}}) {
        e.family(name, "gauge",
                 QByteArray("The sensor's ") + key + " in RAM, as last read or written.");
        const int pos = core::FindParam(key)->pos;
        each(name, [pos](const LinePort& p) -> Value {
            return p.ram ? Value((*p.ram)[pos]) : std::nullopt;
        });
    }
    HealthMetrics(e, each);
    e.family("zurid_sensor_readings_total", "counter", "Live-data readings received.");
    each("zurid_sensor_readings_total",
         [](const LinePort& p) -> Value { return static_cast<double>(p.readings); });
    e.family("zurid_sensor_timeouts_total", "counter", "Exchanges the sensor did not answer.");
    each("zurid_sensor_timeouts_total",
         [](const LinePort& p) -> Value { return static_cast<double>(p.timeouts); });
    e.family("zurid_sensor_errors_total", "counter",
             "Exchanges answered wrongly (a reply too short, too long or wrong).");
    each("zurid_sensor_errors_total",
         [](const LinePort& p) -> Value { return static_cast<double>(p.failures); });
    e.family("zurid_sensor_readings_per_second", "gauge",
             "Live-data readings per second over the last seconds.");
    each("zurid_sensor_readings_per_second",
         [](const LinePort& p) -> Value { return p.status == SensorStatus::Ok ? p.rate() : 0.0; });
    e.family("zurid_sensor_drift", "gauge",
             "Whether the sensor differs from the line's reference set (only with a reference).");
    each("zurid_sensor_drift", [](const LinePort& p) -> Value {
        return p.drift.isEmpty() ? std::nullopt
                                 : Value(p.drift.value(QStringLiteral("on")).toBool() ? 1 : 0);
    });
    e.family("zurid_sensor_wire_readings_per_second", "gauge",
             "The most live-data readings per second the wire allows (4800 baud, the pause).");
    const double wire = core::WireReadingsPerSecond(api.line.dataPauseMs);
    each("zurid_sensor_wire_readings_per_second",
         [wire](const LinePort&) -> Value { return wire; });
    e.family("zurid_parameter_writes_total", "counter",
             "Parameter changes of the API and MQTT that sent a write to the sensor.");
    for (const auto& p : ports) {
        for (const Memory m : {Memory::Ram, Memory::Eeprom}) {
            e.sample("zurid_parameter_writes_total",
                     {{"sensor", p->ref.label}, {"memory", MemoryKey(m)}},
                     static_cast<double>(m == Memory::Ram ? p->ramWrites : p->eepromWrites));
        }
    }
    e.family("zurid_stream_clients", "gauge", "WebSocket clients of the live stream.");
    e.sample("zurid_stream_clients", {}, api.stream.clients());
    e.family("zurid_stream_dropped_messages_total", "counter",
             "Stream messages dropped for clients that did not keep up.");
    e.sample("zurid_stream_dropped_messages_total", {}, static_cast<double>(api.stream.dropped()));
    e.family("zurid_http_connections", "gauge", "Open connections, WebSockets included.");
    e.sample("zurid_http_connections", {}, api.connections ? api.connections() : 0);
    if (api.mqtt != nullptr) {
        const mqtt::Bridge::Stats m = api.mqtt->stats();
        e.family("zurid_mqtt_connected", "gauge", "Whether the MQTT broker has us connected.");
        e.sample("zurid_mqtt_connected", {}, m.connected ? 1 : 0);
        e.family("zurid_mqtt_connects_total", "counter", "Connections the MQTT broker accepted.");
        e.sample("zurid_mqtt_connects_total", {}, static_cast<double>(m.connects));
        e.family("zurid_mqtt_readings_published_total", "counter",
                 "Readings published on the live topics.");
        e.sample("zurid_mqtt_readings_published_total", {}, static_cast<double>(m.livePublished));
        e.family("zurid_mqtt_readings_dropped_total", "counter",
                 "Readings dropped while the MQTT broker was not connected or did not keep up.");
        e.sample("zurid_mqtt_readings_dropped_total", {}, static_cast<double>(m.liveDropped));
        e.family("zurid_mqtt_commands_total", "counter", "MQTT commands answered.");
        e.sample("zurid_mqtt_commands_total", {}, static_cast<double>(m.commands));
    }
    return e.text();
}

} // namespace

void AddSiteRoutes(http::Router& router, Api& api) {
    router.add("GET", QStringLiteral("/"), [](const Request&, const Responder& r) {
        SendResource(QStringLiteral("index.html"), r);
    });
    router.add("GET", QStringLiteral("/static/{*path}"),
               [](const Request& request, const Responder& r) {
                   SendResource(request.param(QStringLiteral("path")), r);
               });
    router.add("GET", QStringLiteral("/metrics"), [&api](const Request&, const Responder& r) {
        Response response;
        response.contentType = Exposition::kContentType;
        response.body = Metrics(api);
        r.send(response);
    });
}

} // namespace zurid::serve
