// The parameter and measurement blocks, request frames, the POWER conversion and the history
// moves: byte-exact behaviour that needs no panel.
#include "gui/livedata.h"
#include "gui/params.h"
#include "gui/state.h"
#include "link/blocks.h"
#include "link/frames.h"

#include <QTest>

#include <numeric>

using namespace zurid;

class BlocksTest : public QObject {
    Q_OBJECT
  private slots:
    void parameterBlockRoundTrip() {
        std::iota(pp.begin(), pp.end(), 0);
        CopyPPtoVars();
        const unsigned char* vars[] = {&threshold, &hysteresis, &power,  &pmod,    &hold,
                                       &trigger,   &backlim,    &regcnt, &average, &deadtimemode,
                                       &deadtime,  &outmode,    &frei13, &frei14,  &frei15};
        for (int i = 0; i < AnzPara; ++i) {
            QCOMPARE(int(*vars[i]), i);
        }
        pp.fill(0xEE);
        CopyVarsToPP();
        for (int i = 0; i < AnzPara; ++i) {
            QCOMPARE(int(pp[i]), i);
        }
    }

    void measurementBlockAndTimingBytes() {
        databuf = {1, 2, 3, 0xFF, 0x00, 0x34, 0x12, 7, 8};
        CopyDatatoVars();
        QCOMPARE(int(dataDat0), 1);
        QCOMPARE(int(dataNorm), 3);
        QCOMPARE(dataAdjin0L + 256 * dataAdjin0H, 0x1234);
        QCOMPARE(dataAdjedgeL + 256 * dataAdjedgeH, 255);
        QCOMPARE(int(dataAdjin1H), 8);
    }

    void requestFrames() {
        pp.fill(0);
        FillTxBuf(kOrderData);
        QCOMPARE(int(szWriteBuf[0]), 0x55);
        QCOMPARE(int(szWriteBuf[1]), 5);
        for (int i = 2; i < kRequestLen; ++i) {
            QCOMPARE(int(szWriteBuf[i]), 0);
        }
        std::iota(pp.begin(), pp.end(), 100);
        FillTxBuf(kOrderLineCheck);
        QCOMPARE(int(szWriteBuf[1]), 7);
        QCOMPARE(int(szWriteBuf[2]), 100);
        QCOMPARE(int(szWriteBuf[16]), 114);

        std::iota(szReadBuf.begin(), szReadBuf.begin() + 20, 200);
        GetRxBufPara();
        QCOMPARE(int(pp[0]), 200);
        QCOMPARE(int(pp[14]), 214);
        GetRxBufData();
        QCOMPARE(int(databuf[8]), 208);
    }

    void powerConversion() {
        const std::pair<int, int> toCode[] = {{100, 0}, {99, 1}, {97, 2}, {50, 23},  {3, 45},
                                              {2, 46},  {1, 46}, {0, 46}, {150, 233}};
        for (auto [pct, code] : toCode) {
            QCOMPARE(int(PowerPercentToCode(static_cast<unsigned char>(pct))), code);
        }
        // Rounding up: every code shown and converted back is the same code.
        for (int code = 0; code <= 46; ++code) {
            const unsigned char pct = PowerCodeToPercent(static_cast<unsigned char>(code));
            QVERIFY(pct <= 100);
            QCOMPARE(int(PowerPercentToCode(pct)), code);
        }
        QCOMPARE(int(PowerCodeToPercent(0)), 100);
        QCOMPARE(int(PowerCodeToPercent(23)), 50);
        QCOMPARE(int(PowerCodeToPercent(46)), 0);
        QCOMPARE(int(PowerCodeToPercent(47)), 254);
        QCOMPARE(int(PowerCodeToPercent(255)), 58);
    }

    void shiftAndCopy() {
        std::array<double, 500> a{};
        std::iota(a.begin(), a.end(), 1.0);
        QCOMPARE(Shift(a.data(), 500, -5, a.data()), 0);
        QCOMPARE(a[0], 6.0);
        QCOMPARE(a[494], 500.0);
        for (int i = 495; i < 500; ++i) {
            QCOMPARE(a[i], 0.0);
        }
        std::iota(a.begin(), a.end(), 1.0);
        QCOMPARE(Shift(a.data(), 500, 2, a.data()), 0);
        QCOMPARE(a[0], 0.0);
        QCOMPARE(a[1], 0.0);
        QCOMPARE(a[2], 1.0);
        QCOMPARE(a[499], 498.0);

        std::array<double, 500> before = a;
        QCOMPARE(Shift(a.data(), 500, 500, a.data()), -20102);
        QCOMPARE(Shift(a.data(), 500, -500, a.data()), -20102);
        QCOMPARE(Shift(a.data(), 0, 1, a.data()), -20003);
        QVERIFY(a == before);
        std::array<double, 500> out{};
        QCOMPARE(Copy1D(a.data(), 500, out.data()), 0);
        QVERIFY(out == a);
        QCOMPARE(Copy1D(a.data(), 0, out.data()), -20003);
    }
};

QTEST_MAIN(BlocksTest)
#include "test_blocks.moc"
