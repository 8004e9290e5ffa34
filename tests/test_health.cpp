// Counting margin, health and light level from NORM series and jump buffers as a sensor
// reports them.
#include "core/health.h"

#include <QTest>

#include <vector>

using namespace zurid::core;

namespace {

// "188 187 60 ..." -> numbers.
std::vector<int> Numbers(const char* text) {
    std::vector<int> out;
    for (const QString& part : QString::fromLatin1(text).split(u' ', Qt::SkipEmptyParts))
        out.push_back(part.toInt());
    return out;
}

std::vector<Byte> Buffer(const char* text) {
    std::vector<Byte> out;
    for (const int v : Numbers(text))
        out.push_back(static_cast<Byte>(v));
    out.resize(kJumpBufLen, 0);
    return out;
}

constexpr double kUnknown = -1000; // a figure that must be std::nullopt

double Or(std::optional<double> v) {
    return v.value_or(kUnknown);
}

// A reading every 100 ms over three passes of a mark: steady light about 188, dips to 60-80.
constexpr const char* kCleanLine = "188 189 187 190 150 96 72 98 160 188 187 186 189 188 140 "
                                   "91 64 90 171 187 188 190 189 145 99 79 97 166 188 189";
constexpr const char* kCleanMinima = "72 64 79 70 66 75 68 71 73 69 77 65 70 72 74 67";

} // namespace

class TestHealth : public QObject {
    Q_OBJECT

  private slots:
    void figures_data() {
        QTest::addColumn<QString>("norms");
        QTest::addColumn<QString>("buffer"); // "none": not read yet
        QTest::addColumn<int>("threshold");
        QTest::addColumn<int>("hysteresis");
        QTest::addColumn<double>("light");
        QTest::addColumn<double>("dark");
        QTest::addColumn<double>("percent");
        QTest::addColumn<QString>("state");

        // Steady 188 over re-arm 120: 68; minima median 70.5 under 100: 29; band 20: capped.
        QTest::newRow("clean line")
            << kCleanLine << kCleanMinima << 100 << 120 << 68.0 << 29.5 << 100.0 << "stable";
        // Dips ending at 92-95: the dark margin (6.5) is a third of the band.
        QTest::newRow("shallow dips")
            << kCleanLine << "93 95 92 94 93 95 92 94 93 95 92 94 93 94 92 95" << 100 << 120 << 68.0
            << 6.5 << 32.5 << "failing";
        // Dips to 88: 12 of 20 is marginal.
        QTest::newRow("marginal dips") << kCleanLine << "88 88 88 88 89 87 88 88" << 100 << 120
                                       << 68.0 << 12.0 << 60.0 << "marginal";
        // Only four edges so far: the empty slots do not count as minima of 0.
        QTest::newRow("buffer filling")
            << kCleanLine << "70 72 74 76" << 100 << 120 << 68.0 << 27.0 << 100.0 << "stable";
        QTest::newRow("no edges seen")
            << kCleanLine << "" << 100 << 120 << 68.0 << kUnknown << kUnknown << "";
        QTest::newRow("buffer not read")
            << kCleanLine << "none" << 100 << 120 << 68.0 << kUnknown << kUnknown << "";
        QTest::newRow("no readings")
            << "" << kCleanMinima << 100 << 120 << kUnknown << 29.5 << kUnknown << "";
        // Steady light at 112-118 never reaches HYSTERESIS 120: the sensor cannot re-arm.
        QTest::newRow("never back above hysteresis")
            << "115 114 116 113 80 70 90 112 115 116 118 114" << kCleanMinima << 100 << 120 << -5.0
            << 29.5 << 0.0 << "failing";
        // Light gone for good: every reading dark; the median of all stands for the light.
        QTest::newRow("always dark")
            << "60 62 61 59 63" << kCleanMinima << 100 << 120 << -59.0 << 29.5 << 0.0 << "failing";
        // HYSTERESIS below THRESHOLD: it re-arms at THRESHOLD; the band is taken as 10.
        QTest::newRow("hysteresis below threshold")
            << kCleanLine << "95 94 96 95" << 100 << 90 << 88.0 << 5.0 << 50.0 << "marginal";
        QTest::newRow("hysteresis equal threshold")
            << kCleanLine << "97 97 97" << 100 << 100 << 88.0 << 3.0 << 30.0 << "failing";
        // A wide band: margins 68 and 29 of 80.
        QTest::newRow("wide band")
            << kCleanLine << kCleanMinima << 100 << 180 << 8.0 << 29.5 << 10.0 << "failing";
    }

    void figures() {
        QFETCH(QString, norms);
        QFETCH(QString, buffer);
        QFETCH(int, threshold);
        QFETCH(int, hysteresis);
        QFETCH(double, light);
        QFETCH(double, dark);
        QFETCH(double, percent);
        QFETCH(QString, state);

        const auto series = Numbers(norms.toLatin1().constData());
        const auto jump = Buffer(buffer.toLatin1().constData());
        HealthInput in;
        in.norms = series;
        if (buffer != u"none")
            in.jumpBuffer = std::span<const Byte>(jump);
        in.threshold = static_cast<Byte>(threshold);
        in.hysteresis = static_cast<Byte>(hysteresis);
        const HealthFigures f = ComputeHealth(in);

        QCOMPARE(Or(f.lightMargin), light);
        QCOMPARE(Or(f.darkMargin), dark);
        QCOMPARE(Or(f.percent), percent);
        QCOMPARE(f.state ? QString::fromLatin1(HealthStateName(*f.state)) : QString(), state);
    }

    // Without the RAM block nothing is known, however many readings there are.
    void parametersUnknown() {
        const auto series = Numbers(kCleanLine);
        const auto jump = Buffer(kCleanMinima);
        HealthInput in;
        in.norms = series;
        in.jumpBuffer = std::span<const Byte>(jump);
        in.lightReference = 230;
        const HealthFigures f = ComputeHealth(in);
        QVERIFY(!f.percent && !f.state && !f.lightMargin && !f.darkMargin && !f.lightLevel);
        QCOMPARE(Or(f.lightReference), 230.0);
    }

    void states_data() {
        QTest::addColumn<double>("percent");
        QTest::addColumn<double>("stable");
        QTest::addColumn<double>("marginal");
        QTest::addColumn<QString>("state");
        QTest::newRow("full") << 100.0 << 100.0 << 50.0 << "stable";
        QTest::newRow("just short of full") << 99.9 << 100.0 << 50.0 << "marginal";
        QTest::newRow("at the marginal limit") << 50.0 << 100.0 << 50.0 << "marginal";
        QTest::newRow("below it") << 49.9 << 100.0 << 50.0 << "failing";
        QTest::newRow("own limits") << 80.0 << 80.0 << 30.0 << "stable";
    }

    void states() {
        QFETCH(double, percent);
        QFETCH(double, stable);
        QFETCH(double, marginal);
        QFETCH(QString, state);
        QCOMPARE(QString::fromLatin1(HealthStateName(StateOf(percent, {stable, marginal}))), state);
    }

    // DAT0 + DAT1 between edges against a reference: the dips' readings stay out of the level.
    void lightLevel() {
        const std::vector<int> norm{188, 187, 60, 70, 189, 188, 186};
        const std::vector<int> dat0{170, 168, 40, 45, 171, 150, 148};
        const std::vector<int> dat1{60, 60, 130, 120, 60, 53, 52};
        const auto level = LightLevel(dat0, dat1, norm, 100);
        QCOMPARE(Or(level), 228.0); // 230 228 231 203 200 -> 228
        QCOMPARE(Or(LightDeclinePercent(level, 240.0)), 5.0);
        QCOMPARE(Or(LightDeclinePercent(250.0, 200.0)), -25.0);
        QCOMPARE(Or(LightDeclinePercent(level, std::nullopt)), kUnknown);
        QCOMPARE(Or(LightDeclinePercent(level, 0.0)), kUnknown);
        QCOMPARE(Or(LightDeclinePercent(std::nullopt, 228.0)), kUnknown);
        // Only dark readings: no level between edges.
        QCOMPARE(
            Or(LightLevel(std::vector<int>{40}, std::vector<int>{130}, std::vector<int>{60}, 100)),
            kUnknown);

        HealthInput in;
        in.norms = norm;
        in.dat0 = dat0;
        in.dat1 = dat1;
        in.threshold = 100;
        in.hysteresis = 120;
        in.lightReference = 285;
        const HealthFigures f = ComputeHealth(in);
        QCOMPARE(Or(f.lightLevel), 228.0);
        QCOMPARE(Or(f.lightDeclinePercent), 20.0);
    }
};

QTEST_GUILESS_MAIN(TestHealth)
#include "test_health.moc"
