#include "link/blocks.h"

namespace zurid {

unsigned char threshold = 0;
unsigned char hysteresis = 0;
unsigned char power = 0;
unsigned char pmod = 0;
unsigned char hold = 0;
unsigned char trigger = 0;
unsigned char backlim = 0;
unsigned char regcnt = 0;
unsigned char average = 0;
unsigned char deadtimemode = 0;
unsigned char deadtime = 0;
unsigned char outmode = 0;
unsigned char frei13 = 0;
unsigned char frei14 = 0;
unsigned char frei15 = 0;

unsigned char dataDat0 = 0;
unsigned char dataDat1 = 0;
unsigned char dataNorm = 0;
unsigned char dataAdjedgeL = 0;
unsigned char dataAdjedgeH = 0;
unsigned char dataAdjin0L = 0;
unsigned char dataAdjin0H = 0;
unsigned char dataAdjin1L = 0;
unsigned char dataAdjin1H = 0;

std::array<unsigned char, AnzPara> pp{};
std::array<unsigned char, AnzData> databuf{};

namespace {

// The parameter variables in block order: byte i of pp belongs to paraVars[i].
const std::array<unsigned char*, AnzPara> paraVars = {
    &threshold, &hysteresis,   &power,    &pmod,    &hold,   &trigger, &backlim, &regcnt,
    &average,   &deadtimemode, &deadtime, &outmode, &frei13, &frei14,  &frei15};

const std::array<unsigned char*, AnzData> dataVars = {&dataDat0,     &dataDat1,     &dataNorm,
                                                      &dataAdjedgeL, &dataAdjedgeH, &dataAdjin0L,
                                                      &dataAdjin0H,  &dataAdjin1L,  &dataAdjin1H};

} // namespace

void CopyVarsToPP() {
    for (int i = 0; i < AnzPara; ++i) {
        pp[i] = *paraVars[i];
    }
}

void CopyPPtoVars() {
    for (int i = 0; i < AnzPara; ++i) {
        *paraVars[i] = pp[i];
    }
}

void CopyDatatoVars() {
    for (int i = 0; i < AnzData; ++i) {
        *dataVars[i] = databuf[i];
    }
}

} // namespace zurid
