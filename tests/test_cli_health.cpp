// zurid health against simulated sensors: a clean one and one with shallow dips, as text and
// JSON; a port that fails named while the others print; serve's health options' bad usage
// (periods share their parser with --verify-every: test_serve_drift).
#include "sim/fleet.h"
#include "support/backups.h"
#include "support/zurid.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace testing_support;

namespace {

std::vector<sim::Config> Configs() {
    // THRESHOLD 100, HYSTERESIS 120
    auto out = LineOf(3, sim::defaultBlock(), sim::defaultBlock());
    out[1].aging.shallow = true;
    return out;
}

} // namespace

class CliHealthTest : public QObject {
    Q_OBJECT
    sim::SensorFleet fleet{Configs()};

  private slots:
    void initTestCase() { QVERIFY(fleet.start()); }

    void figuresOfEachSensor() {
        const ZuridRun r = RunZuridIn(ZuridEnv(fleet.paths()),
                                      {"health", "COM1", "COM2", "--seconds", "3", "--json"});
        QCOMPARE(r.exitCode, 0);
        const QJsonArray list = QJsonDocument::fromJson(r.out).object()["sensors"].toArray();
        QCOMPARE(list.size(), 2);
        QCOMPARE(list[0]["port"].toString(), "COM1");
        QVERIFY(list[0]["readings"].toInt() > 10);
        const QJsonObject clean = list[0]["health"].toObject();
        const QJsonObject shallow = list[1]["health"].toObject();
        QCOMPARE(clean.keys().size(), 7);
        QVERIFY(clean["light_reference"].isNull() && clean["light_decline_percent"].isNull());
        QVERIFY2(clean["light_margin"].toDouble() > 50, r.out.constData());
        QVERIFY(clean["light_level"].toDouble() > 150);
        QVERIFY2(shallow["dark_margin"].toDouble() > 0 && shallow["dark_margin"].toDouble() < 10,
                 r.out.constData());
        QCOMPARE(shallow["state"].toString(), "failing");

        const ZuridRun text =
            RunZuridIn(ZuridEnv(fleet.paths()), {"health", "COM2", "--seconds", "2"});
        QCOMPARE(text.exitCode, 0);
        QVERIFY2(QRegularExpression(R"(^COM2: health [0-9.]+ % failing, light margin [0-9.]+, )"
                                    R"(dark margin [0-9.]+, light level [0-9.]+\n$)")
                     .match(text.outText())
                     .hasMatch(),
                 text.out.constData());
    }

    // No reply to the jump-buffer read: that port is named, the other one printed.
    void aFailingPortIsNamed() {
        fleet.at(2).setFault(sim::Fault::Silent, 1U << 6);
        const ZuridRun r =
            RunZuridIn(ZuridEnv(fleet.paths()), {"health", "COM1", "COM3", "--seconds", "1"});
        fleet.at(2).setFault(sim::Fault::None);
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.errText().startsWith("zurid: COM3: jump buffer read failed:"),
                 r.err.constData());
        QVERIFY(r.outText().startsWith("COM1: health"));
        QVERIFY(!r.outText().contains("COM3"));
    }

    void badUsage_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        QTest::newRow("no seconds") << QStringList{"health", "COM1", "--seconds", "0"}
                                    << "--seconds needs a whole number 1-86400, not '0'";
        QTest::newRow("longer than a day")
            << QStringList{"serve", "COM1", "--health-reference-period", "25h"}
            << "--health-reference-period needs a period of 1s to 24h, such as 10s, 5m or 1h, "
               "not '25h'";
        for (const char* limits : {"50,100", "100", "120,50", "100,0", "x,50"}) {
            QTest::newRow(limits) << QStringList{"serve", "COM1", "--health-limits", limits}
                                  << QStringLiteral("--health-limits needs two percentages, the "
                                                    "first above the second, such as 100,50, "
                                                    "not '%1'")
                                         .arg(limits);
        }
    }

    void badUsage() {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        const ZuridRun r = RunZuridIn(ZuridEnv(fleet.paths()), args);
        QCOMPARE(r.exitCode, 2);
        QVERIFY2(r.errText().contains(message), r.err.constData());
    }
};

QTEST_GUILESS_MAIN(CliHealthTest)
#include "test_cli_health.moc"
