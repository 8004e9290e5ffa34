// The client work of zurid serve's ports, in one process: the real routes and line against a
// simulated sensor with wire time. Identical waiting reads share one transaction, work for a
// client that has gone never reaches the wire, a change goes before waiting reads, and the
// bound answers 503 busy. (What live data keeps under a flood: test_serve_net, bench_abuse.)
#include "serve/api.h"
#include "serve/jobs.h"
#include "serve/line.h"
#include "serve/stream.h"
#include "sim/sensorsim.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

using namespace zurid::serve;
using zurid::core::Order;

namespace {

constexpr char kToken[] = "queue-test-token";

struct Answered {
    QString label;
    http::Response response;
    int status() const { return response.status; }
    QJsonObject json() const { return QJsonDocument::fromJson(response.body).object(); }
};

} // namespace

class ServeQueueTest : public QObject {
    Q_OBJECT

    QTemporaryDir tmp;
    std::unique_ptr<sim::SensorSim> sensor;
    Line line;
    Stream stream;
    std::unique_ptr<Jobs> jobs;
    std::unique_ptr<Api> api;
    http::Router router;
    std::vector<Answered> answers;

    // A request to the routes; its answer lands in `answers` under `label`.
    void ask(const QByteArray& method, const QString& target, const QString& label,
             const QByteArray& body = {}, std::function<bool()> alive = {}) {
        http::Request r;
        r.method = method;
        r.path = target.section('?', 0, 0);
        r.query = QUrlQuery(target.section('?', 1));
        r.body = body;
        r.headers.append({"Authorization", QByteArray("Bearer ") + kToken});
        router.dispatch(r, http::Responder(
                               [this, label](const http::Response& a) {
                                   answers.push_back({label, a});
                               },
                               std::move(alive)));
    }
    int sent(Order o) const {
        const auto all = sensor->requests();
        return int(std::count_if(all.begin(), all.end(), [o](const sim::Request& r) {
            return r.bytes.size() > 1 && r.bytes[1] == static_cast<std::uint8_t>(o);
        }));
    }
    // Once the sensor has the request of order `o` (a unit on the wire).
    bool onTheWire(Order o) {
        return QTest::qWaitFor([&] { return sent(o) > 0; }, 5000);
    }
    LinePort& port() const { return *line.ports().front(); }

  private slots:
    void initTestCase() {
        sim::Config c;
        c.answerDelay = 0.002;
        c.ram = c.eeprom = sim::defaultBlock();
        sensor = std::make_unique<sim::SensorSim>(c);
        QVERIFY(sensor->start());
        qputenv("ZURID_PORTS", QByteArray::fromStdString(sensor->path()));
        QVERIFY(line.addPorts({"COM1"}).ok());
        jobs = std::make_unique<Jobs>(line, tmp.filePath("backups"));
        Keys keys;
        keys.add({"queue", Role::Engineer, TokenHash(kToken)});
        api = std::make_unique<Api>(
            Api{line, stream, *jobs, std::move(keys), false, false, [] { return 0; }});
        AddSensorRoutes(router, *api);
        line.start();
        QTRY_VERIFY_WITH_TIMEOUT(port().status == SensorStatus::Ok && port().readings > 3, 5000);
    }

    void readsShareAChangeGoesFirstGoneWorkIsDropped() {
        sensor->clearRequests();
        answers.clear();
        ask("GET", "/api/v1/sensors/COM1/parameters?memory=eeprom", "eeprom");
        QVERIFY(onTheWire(Order::ReadEeprom));
        for (int i = 0; i < 100; ++i) {
            ask("GET", "/api/v1/sensors/COM1/parameters", "ram");
        }
        auto here = std::make_shared<bool>(true);
        ask("GET", "/api/v1/sensors/COM1/buffer", "buffer", {}, [here] { return *here; });
        ask("PATCH", "/api/v1/sensors/COM1/parameters", "patch", R"({"THRESHOLD": 77})");
        *here = false; // the buffer's client leaves
        QTRY_VERIFY_WITH_TIMEOUT(answers.size() >= 102, 15000);
        QStringList order;
        for (const Answered& a : answers) {
            if (a.label == "buffer") {
                QVERIFY(a.status() != 200); // dropped: never read
                continue;
            }
            order << a.label;
            QVERIFY2(a.status() == 200, qPrintable(a.label));
            if (a.label == "ram") { // one read for all, after the change
                QCOMPARE(a.response.body, answers.back().response.body);
                QCOMPARE(a.json()["bytes"].toArray()[0].toInt(), 77);
            }
        }
        QCOMPARE(order.mid(0, 3), QStringList({"eeprom", "patch", "ram"}));
        QCOMPARE(sent(Order::ReadRam), 2 + 1 + 1); // the change's two and read-back, the 100
        QCOMPARE(sent(Order::JumpBuf), 0);
    }

    void beyondTheBoundIsBusy() {
        answers.clear();
        sensor->clearRequests();
        line.clientQueueLimit = 2;
        ask("GET", "/api/v1/sensors/COM1/parameters?memory=eeprom", "eeprom");
        QVERIFY(onTheWire(Order::ReadEeprom));
        ask("GET", "/api/v1/sensors/COM1/parameters", "ram");
        ask("GET", "/api/v1/sensors/COM1/buffer", "buffer");
        ask("GET", "/api/v1/sensors/COM1/parameters", "ram"); // shares the waiting one
        ask("PATCH", "/api/v1/sensors/COM1/parameters", "patch", R"({"THRESHOLD": 78})");
        QCOMPARE(answers.size(), std::size_t(1));
        const http::Response& busy = answers[0].response;
        QCOMPARE(busy.status, 503);
        QCOMPARE(answers[0].json()["error"].toObject()["code"].toString(), QString("busy"));
        QVERIFY(http::HeaderValue(busy.headers, "Retry-After").toInt() >= 1);
        QTRY_VERIFY_WITH_TIMEOUT(answers.size() == 5, 15000);
        line.clientQueueLimit = kClientQueueLimit;
        QVERIFY(std::all_of(answers.begin() + 1, answers.end(),
                            [](const Answered& a) { return a.status() == 200; }));
    }

    // Two reads that differ write nothing, and leave what the line knows of the block as it was
    // (not a block of zeros that no read brought).
    void anUnsteadyChangeKeepsWhatWasKnown() {
        answers.clear();
        const zurid::core::ParamBlock known = *port().ram;
        sensor->setRequestHook([this](const sim::Request& r) {
            if (r.bytes.size() > 1 && r.bytes[1] == static_cast<std::uint8_t>(Order::ReadRam)) {
                sim::Block b = sensor->ram();
                b[14] ^= 1; // each read finds another block
                sensor->setRam(b);
            }
        });
        ask("PATCH", "/api/v1/sensors/COM1/parameters", "patch", R"({"THRESHOLD": 79})");
        QTRY_VERIFY_WITH_TIMEOUT(!answers.empty(), 15000);
        sensor->setRequestHook({});
        QCOMPARE(answers[0].status(), 504);
        QCOMPARE(answers[0].json()["error"].toObject()["code"].toString(),
                 QString("sensor_unsteady"));
        QVERIFY(port().ram == known);
    }

    void cleanupTestCase() { line.stop(); }
};

QTEST_GUILESS_MAIN(ServeQueueTest)
#include "test_serve_queue.moc"
