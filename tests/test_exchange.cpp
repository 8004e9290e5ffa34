// The exchange judge against replies as the line delivers them: in one piece, at the wire's
// pace, split, late, too long or short, with stray bytes before them, and a line that keeps
// talking; what it decides, when, and what it says.
#include "core/exchange.h"
#include "support/replyplay.h"

#include <QTest>

using namespace testing_support;
using zurid::core::Order;
using zurid::core::Verdict;

Q_DECLARE_METATYPE(std::vector<testing_support::Arrival>)

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr double kByte = zurid::core::kByteSeconds;
constexpr double kQuiet = zurid::core::kQuietSeconds;
const Bytes kLineOk = {0xAA, 0x01, 0x00};

// `bytes` one at a time at the wire's pace, the first at `at`.
std::vector<Arrival> Wire(double at, const Bytes& bytes) {
    std::vector<Arrival> out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out.push_back({at + kByte * static_cast<double>(i), {bytes[i]}});
    }
    return out;
}

std::vector<Arrival> operator+(std::vector<Arrival> a, const std::vector<Arrival>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Block(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(100 + i);
    }
    return b;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

class ExchangeTest : public QObject {
    Q_OBJECT

  private slots:
    void judgeDecidesAsTheLineDelivers_data() {
        QTest::addColumn<int>("order");
        QTest::addColumn<std::vector<Arrival>>("arrivals");
        QTest::addColumn<int>("verdict");
        QTest::addColumn<double>("decidedAt"); // seconds after the request
        QTest::addColumn<QString>("message");
        const auto row = [](const char* name, Order order, std::vector<Arrival> arrivals, Verdict v,
                            double at, const char* message = "") {
            QTest::newRow(name) << int(order) << arrivals << int(v) << at << QString(message);
        };
        const double last = 0.040 + 2 * kByte; // the third byte of a line check at wire pace
        row("line check in one piece", Order::LineCheck, {{0.040, kLineOk}}, Verdict::Accept,
            0.040 + kQuiet);
        row("line check at the wire's pace", Order::LineCheck, Wire(0.040, kLineOk),
            Verdict::Accept, last + kQuiet);
        row("line check, a byte more in one piece", Order::LineCheck, {{0.040, kLineOk + Bytes{0}}},
            Verdict::TooLong, 0.040 + kQuiet, "reply of 4 bytes, expected 3");
        row("line check, a byte more at the wire's pace", Order::LineCheck,
            Wire(0.040, kLineOk + Bytes{0}), Verdict::TooLong, last + kByte + kQuiet);
        row("line check, a byte more 4 ms later", Order::LineCheck,
            {{0.040, kLineOk}, {0.044, {0}}}, Verdict::TooLong, 0.044 + kQuiet);
        row("line check, a byte more just within the quiet time", Order::LineCheck,
            {{0.040, kLineOk}, {0.040 + kQuiet - 0.0002, {0}}}, Verdict::TooLong,
            0.040 + 2 * kQuiet - 0.0002);
        row("line check, a byte more after the quiet time belongs to nothing", Order::LineCheck,
            {{0.040, kLineOk}, {0.040 + kQuiet + 0.0002, {0}}}, Verdict::Accept, 0.040 + kQuiet);
        row("wrong line-check answer", Order::LineCheck, {{0.040, {0xAA, 0x01, 0x01}}},
            Verdict::WrongAnswer, 0.040 + kQuiet,
            "wrong line-check answer AA 01 01, expected AA 01 00");
        row("block after a stray line-check answer", Order::ReadRam,
            Wire(0.040, kLineOk + Block(15)), Verdict::TooLong, 0.040 + 17 * kByte + kQuiet,
            "reply of 18 bytes, expected 15");
        row("late line-check answer, then the block", Order::ReadRam,
            Wire(0.010, kLineOk) + Wire(0.500, Block(15)), Verdict::TooLong,
            0.500 + 14 * kByte + kQuiet, "reply of 18 bytes, expected 15");
        row("block in pieces", Order::ReadEeprom,
            {{0.050, Block(6)}, {0.055, Bytes(5, 1)}, {0.058, Bytes(4, 2)}}, Verdict::Accept,
            0.058 + kQuiet);
        row("block complete just before the limit", Order::ReadRam,
            {{0.1, Block(14)}, {2.999, {7}}}, Verdict::Accept, 2.999 + kQuiet);
        row("block complete just before the limit, a byte more after it", Order::ReadRam,
            {{0.1, Block(14)}, {2.999, {7}}, {3.001, {8}}}, Verdict::TooLong, 3.001);
        row("no reply", Order::ReadRam, {}, Verdict::TooShort, 3.0, "no reply within 3.0 s");
        row("a byte short", Order::ReadRam, Wire(0.040, Block(14)), Verdict::TooShort, 3.0,
            "reply of 14 bytes within 3.0 s, expected 15");
        row("the expected count after the limit", Order::JumpBuf, {{0.1, Block(15)}, {3.2, {1}}},
            Verdict::TooShort, 3.0);
        row("a line that keeps talking", Order::ReadRam, Wire(0.0, Bytes(2000, 0x55)),
            Verdict::TooLong, 3.0);
        row("jump buffer in two pieces", Order::JumpBuf, {{0.020, Block(8)}, {0.030, Block(8)}},
            Verdict::Accept, 0.030 + kQuiet);
        // Live data has no quiet time: taken the moment the ninth byte is in.
        row("live data, a byte more right after", Order::Data,
            Wire(0.040, Block(9)) + std::vector<Arrival>{{0.040 + 8 * kByte + 0.001, {1}}},
            Verdict::Accept, 0.040 + 8 * kByte);
        row("live data, a byte more in one piece", Order::Data, {{0.040, Block(10)}},
            Verdict::TooLong, 0.040, "reply of 10 bytes, expected 9");
    }

    void judgeDecidesAsTheLineDelivers() {
        QFETCH(int, order);
        QFETCH(std::vector<Arrival>, arrivals);
        QFETCH(int, verdict);
        QFETCH(double, decidedAt);
        QFETCH(QString, message);
        const auto plan = zurid::core::PlanExchange(static_cast<Order>(order), {});
        const Played p = PlayReply(plan, arrivals);
        QCOMPARE(int(p.judged.verdict), verdict);
        QVERIFY2(std::abs(p.at - decidedAt) < 1e-6,
                 qPrintable(QStringLiteral("decided at %1 s").arg(p.at, 0, 'f', 6)));
        const QString said = QString::fromStdString(p.judged.message);
        QCOMPARE(said.isEmpty(), verdict == int(Verdict::Accept));
        QVERIFY2(said.contains(message), qPrintable(said));
        if (verdict == int(Verdict::Accept)) {
            QCOMPARE(int(p.taken.size()), plan.expected);
        }
    }
};

QTEST_APPLESS_MAIN(ExchangeTest)
#include "test_exchange.moc"
