// The simulated sensor's aging: dirty optics lose light with run time, so that NORM between the
// marks sinks toward HYSTERESIS; shallow marks end just below THRESHOLD. Read with the
// same counting-margin functions that serve uses, on the model itself (no terminal, no waiting).
#include "core/health.h"
#include "sim/targetmodel.h"

#include <QTest>

#include <vector>

namespace {

using zurid::core::Byte;

// What the sensor reports over a span of model time: a reading every 50 ms.
struct Readings {
    std::vector<int> dat0, dat1, norm;
};

Readings Watch(sim::TargetModel& m, const sim::Block& ram, double seconds) {
    Readings r;
    for (double t = 0; t < seconds; t += 0.05) {
        m.advance(0.05, ram);
        const sim::DataBlock b = m.sample(ram);
        r.dat0.push_back(b[0]);
        r.dat1.push_back(b[1]);
        r.norm.push_back(b[2]);
    }
    return r;
}

double LightLevel(const Readings& r, int threshold) {
    return zurid::core::LightLevel(r.dat0, r.dat1, r.norm, threshold).value_or(-1);
}

double DarkMargin(const sim::TargetModel& m, int threshold) {
    return zurid::core::DarkMargin(std::span<const Byte>(m.jumpBuffer()), threshold).value_or(-1);
}

} // namespace

class TestSimAging : public QObject {
    Q_OBJECT

  private slots:
    void names_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("known");
        QTest::addColumn<double>("percent");
        QTest::addColumn<bool>("shallow");
        QTest::newRow("shallow") << "shallow" << true << 0.0 << true;
        QTest::newRow("fouling") << "fouling=5" << true << 5.0 << false;
        QTest::newRow("fouling, fraction") << "fouling=0.5" << true << 0.5 << false;
        QTest::newRow("fouling, none") << "fouling=0" << true << 0.0 << false;
        QTest::newRow("no number") << "fouling=" << false << 0.0 << false;
        QTest::newRow("negative") << "fouling=-1" << false << 0.0 << false;
        QTest::newRow("trailing text") << "fouling=5%" << false << 0.0 << false;
        QTest::newRow("no value") << "fouling" << false << 0.0 << false;
        QTest::newRow("a reply fault") << "silent" << false << 0.0 << false;
    }

    void names() {
        QFETCH(QString, name);
        QFETCH(bool, known);
        QFETCH(double, percent);
        QFETCH(bool, shallow);
        const auto aging = sim::agingFromName(name.toStdString());
        QCOMPARE(aging.has_value(), known);
        if (known) {
            QCOMPARE(aging->foulingPercentPerMinute, percent);
            QCOMPARE(aging->shallow, shallow);
        }
    }

    // 60 % a minute: between 25 and 35 s of run time about 30 % of DAT0's light is gone. The
    // light level falls by that share of DAT0 in it, NORM between the marks sinks with it, and
    // the dips, darker still, keep counting.
    void fouling() {
        const sim::Block ram = sim::defaultBlock(); // THRESHOLD 100, HYSTERESIS 120
        sim::TargetModel clean(7), dirty(7);
        dirty.setAging({60, false});
        Watch(clean, ram, 25);
        Watch(dirty, ram, 25);
        const Readings a = Watch(clean, ram, 10), b = Watch(dirty, ram, 10);
        QVERIFY(qAbs(dirty.lightLost() - 0.35) < 0.001);

        const double decline = 100 * (1 - LightLevel(b, 100) / LightLevel(a, 100));
        QVERIFY2(decline > 17 && decline < 27, qPrintable(QString::number(decline)));
        const double steadyClean = *zurid::core::SteadyNorm(a.norm, 100);
        const double steadyDirty = *zurid::core::SteadyNorm(b.norm, 100);
        QVERIFY2(steadyClean - steadyDirty > 12 && steadyClean - steadyDirty < 26,
                 qPrintable(QString("%1 %2").arg(steadyClean).arg(steadyDirty)));
        QVERIFY(DarkMargin(dirty, 100) > DarkMargin(clean, 100));

        // The dirt takes all the light in the end, and no more.
        dirty.setAging({300, false});
        QCOMPARE(dirty.lightLost(), 1.0);
        QCOMPARE(clean.lightLost(), 0.0);
    }

    // Every mark still counts, but each dip ends a few steps below THRESHOLD.
    void shallow_data() {
        QTest::addColumn<int>("threshold");
        QTest::addColumn<int>("hysteresis");
        QTest::newRow("demo set") << 100 << 120;
        QTest::newRow("low threshold") << 60 << 90;
        QTest::newRow("high threshold") << 160 << 175;
    }

    void shallow() {
        QFETCH(int, threshold);
        QFETCH(int, hysteresis);
        sim::Block ram = sim::defaultBlock();
        ram[0] = static_cast<Byte>(threshold);
        ram[1] = static_cast<Byte>(hysteresis);
        sim::TargetModel m(11);
        m.setAging({0, true});
        m.advance(20, ram);
        const sim::JumpBuffer& minima = m.jumpBuffer();
        QVERIFY(m.edgeCount() >= 12);
        for (int i = 0; i < std::min(m.edgeCount(), 16); ++i) {
            const int v = minima[static_cast<std::size_t>(15 - i)];
            QVERIFY2(v < threshold && v >= threshold - 10, qPrintable(QString::number(v)));
        }
        const double dark = DarkMargin(m, threshold);
        QVERIFY2(dark > 0 && dark < 10, qPrintable(QString::number(dark)));
    }
};

QTEST_GUILESS_MAIN(TestSimAging)
#include "test_sim_aging.moc"
