// The simulated sensor's aging, on the model itself: fouling optics lose light with run time
// (capped at all of it) and the dips get darker; shallow dips end just below THRESHOLD.
// The falling health this gives through serve: test_serve_health.
#include "core/health.h"
#include "sim/targetmodel.h"

#include <QTest>

namespace {

using zurid::core::Byte;

double DarkMargin(const sim::TargetModel& m, int threshold) {
    return zurid::core::DarkMargin(std::span<const Byte>(m.jumpBuffer()), threshold).value_or(-1);
}

} // namespace

class TestSimAging : public QObject {
    Q_OBJECT

  private slots:
    // Bad names are refused by sensor-sim's --fault (test_sim).
    void names_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("known");
        QTest::addColumn<double>("percent");
        QTest::addColumn<bool>("shallow");
        QTest::newRow("shallow") << "shallow" << true << 0.0 << true;
        QTest::newRow("fouling, fraction") << "fouling=0.5" << true << 0.5 << false;
        QTest::newRow("fouling, none") << "fouling=0" << true << 0.0 << false;
        QTest::newRow("trailing text") << "fouling=5%" << false << 0.0 << false;
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

    // 60 % a minute: after 35 s of run time 35 % of the light is gone, the dips darker.
    void fouling() {
        const sim::Block ram = sim::defaultBlock(); // THRESHOLD 100, HYSTERESIS 120
        sim::TargetModel clean(7), dirty(7);
        dirty.setAging({60, false});
        for (double t = 0; t < 35; t += 0.05) {
            clean.advance(0.05, ram);
            dirty.advance(0.05, ram);
        }
        QVERIFY(qAbs(dirty.lightLost() - 0.35) < 0.001);
        QVERIFY(DarkMargin(dirty, 100) > DarkMargin(clean, 100));
        dirty.setAging({300, false});
        QCOMPARE(dirty.lightLost(), 1.0);
        QCOMPARE(clean.lightLost(), 0.0);
    }

    void shallow_data() {
        QTest::addColumn<int>("threshold");
        QTest::addColumn<int>("hysteresis");
        QTest::newRow("demo set") << 100 << 120;
        QTest::newRow("low threshold") << 60 << 90;
        QTest::newRow("high threshold") << 160 << 175;
    }

    // Every mark still counts, but each dip ends a few steps below THRESHOLD.
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
