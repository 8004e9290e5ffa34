// Counting margin and light level through zurid serve on simulated sensors: a clean one, one
// whose optics foul quickly, one with shallow dips. Short periods: the jump buffer read every
// second, the light reference taken over two seconds; marginal from 10 %.
#include "sim/fleet.h"
#include "support/backups.h"
#include "support/files.h"
#include "support/serve.h"
#include "support/streamclient.h"

#include <QJsonArray>
#include <QTemporaryDir>
#include <QTest>

using namespace testing_support;

namespace {

// THRESHOLD 110, HYSTERESIS 130: nearly every mark counts. The fouling sensor's THRESHOLD 100
// gives a band of 30, so that its light margin passes the marginal share (15 to 30) for a while.
std::vector<sim::Config> Configs() {
    sim::Block ram = sim::defaultBlock();
    ram[0] = 110;
    ram[1] = 130;
    auto out = LineOf(3, ram, ram);
    for (unsigned i = 0; i < out.size(); ++i)
        out[i].seed = i + 21; // seeds whose clean sensor keeps a full margin
    out[1].ram[0] = out[1].eeprom[0] = 100;
    out[1].aging.foulingPercentPerMinute = 240; // 4 % a second
    out[2].aging.shallow = true;
    return out;
}

const QStringList kMembers = {
    "percent",     "state",           "light_margin",         "dark_margin",
    "light_level", "light_reference", "light_decline_percent"};

QJsonObject Health(quint16 port, const QByteArray& id) {
    return Http(port, "GET", "/api/v1/sensors/" + id).json()["health"].toObject();
}

} // namespace

class ServeHealthTest : public QObject {
    Q_OBJECT

    QTemporaryDir tmp;
    std::unique_ptr<sim::SensorFleet> fleet;
    ServeProcess serve;
    StreamClient stream;
    QByteArray token;

    quint16 port() const { return serve.port(); }

    // The states the stream told for a sensor, each once, in order.
    QStringList StatesSeen(const QString& sensor) const {
        QStringList out;
        for (const QJsonObject& m : stream.messages) {
            const QString state = m["state"].toString();
            if (m["type"] == "health" && m["sensor"] == sensor && !state.isEmpty() &&
                (out.isEmpty() || out.last() != state)) {
                out << state;
            }
        }
        return out;
    }

  private slots:
    void initTestCase() {
        fleet = std::make_unique<sim::SensorFleet>(Configs());
        QVERIFY(fleet->start());
        QVERIFY2(serve.start({"COM1", "COM2", "COM3", "--token-file", tmp.filePath("token"),
                              "--health-every", "1s", "--health-reference-period", "2s",
                              "--health-limits", "100,10"},
                             fleet->paths(), tmp.filePath("state")),
                 qPrintable(serve.errText()));
        token = Contents(tmp.filePath("token")).trimmed();
        QVERIFY(stream.open(port()));
    }

    void cleanupTestCase() { QCOMPARE(serve.terminate(), 0); }

    // Every member is there, null before anything is read.
    void aNewClientHearsTheHealthFirst() {
        QVERIFY(QTest::qWaitFor([this] { return stream.count("health") >= 3; }, 5000));
        for (const QString id : {"COM1", "COM2", "COM3"}) {
            const auto first = std::find_if(
                stream.messages.begin(), stream.messages.end(),
                [&](const QJsonObject& m) { return m["type"] == "health" && m["sensor"] == id; });
            QVERIFY(first != stream.messages.end());
            for (const QString& member : kMembers) {
                QVERIFY2(first->contains(member), qPrintable(member));
            }
        }
    }

    // The clean sensor stable with both margins wide; the shallow one marginal for its dark
    // margin alone (about a quarter of the band).
    void shallowDipsGiveASmallDarkMargin() {
        const auto clean = PollJson(
            port(), "/api/v1/sensors/COM1",
            [](const QJsonObject& o) {
                return o["health"]["state"] == "stable" && !o["health"]["light_reference"].isNull();
            },
            15000);
        const auto shallow = PollJson(
            port(), "/api/v1/sensors/COM3",
            [](const QJsonObject& o) { return !o["health"]["percent"].isNull(); }, 5000);
        QVERIFY2(clean && shallow, qPrintable(QJsonDocument(Health(port(), "COM1")).toJson() +
                                              QJsonDocument(Health(port(), "COM3")).toJson()));
        const QJsonObject c = (*clean)["health"].toObject(), s = (*shallow)["health"].toObject();
        QCOMPARE(c["percent"].toDouble(), 100.0);
        QVERIFY2(c["dark_margin"].toDouble() >= 20, qPrintable(QJsonDocument(c).toJson()));
        QVERIFY(c["light_margin"].toDouble() >= 20);
        QVERIFY(qAbs(c["light_decline_percent"].toDouble()) < 10);

        QVERIFY2(s["dark_margin"].toDouble() > 0 && s["dark_margin"].toDouble() < 10,
                 qPrintable(QJsonDocument(s).toJson()));
        QVERIFY(s["light_margin"].toDouble() >= 20);
        QCOMPARE(s["state"].toString(), "marginal");
        QCOMPARE(s["percent"].toDouble(), std::round(s["dark_margin"].toDouble() / 20 * 1000) / 10);
    }

    // Stable, marginal, failing, each change on the stream; the decline against the reference.
    void foulingMakesHealthFall() {
        QVERIFY(QTest::qWaitFor([this] { return StatesSeen("COM2").contains("failing"); }, 30000));
        QCOMPARE(StatesSeen("COM2"), (QStringList{"stable", "marginal", "failing"}));
        const QJsonObject h = Health(port(), "COM2");
        QVERIFY2(h["light_decline_percent"].toDouble() > 20, qPrintable(QJsonDocument(h).toJson()));
        QVERIFY(h["light_margin"].toDouble() < 15);

        const QByteArray metrics = Http(port(), "GET", "/metrics").body;
        for (const char* family : {"zurid_sensor_health_ratio", "zurid_sensor_light_margin",
                                   "zurid_sensor_dark_margin", "zurid_sensor_light_level_ratio"}) {
            QVERIFY2(metrics.contains(QByteArray("# TYPE ") + family + " gauge\n"), family);
        }
        QVERIFY2(metrics.contains("zurid_sensor_health_ratio{sensor=\"COM1\"} 1\n"),
                 metrics.constData());
        const QRegularExpression ratio(
            R"(zurid_sensor_light_level_ratio\{sensor="COM2"\} ([0-9.]+))");
        const auto m = ratio.match(QString::fromUtf8(metrics));
        QVERIFY(m.hasMatch());
        QVERIFY2(m.captured(1).toDouble() < 0.8, qPrintable(m.captured(0)));
    }

    // The light level now taken as the reference: the decline starts from zero.
    void theReferenceTakenNow() {
        const QByteArray target = "/api/v1/sensors/COM2/health/reference";
        QCOMPARE(Http(port(), "POST", target, "{}").status, 401);
        QCOMPARE(Http(port(), "POST", target, R"({"now": true})", token).status, 400);
        QCOMPARE(Http(port(), "POST", "/api/v1/sensors/COM9/health/reference", "{}", token).status,
                 404);
        const HttpAnswer a = Http(port(), "POST", target, "{}", token);
        QCOMPARE(a.status, 200);
        const QJsonObject h = a.json();
        QCOMPARE(h["light_reference"].toDouble(), h["light_level"].toDouble());
        QCOMPARE(h["light_decline_percent"].toDouble(), 0.0);
    }
};

QTEST_GUILESS_MAIN(ServeHealthTest)
#include "test_serve_health.moc"
