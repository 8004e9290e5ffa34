// The parameter set and its 15-byte block, the measurement set and its 9-byte block, and the
// copies between blocks and variables. Bytes are copied unchanged, without range checks.
#pragma once

#include "core/protocol.h"

#include <array>

namespace zurid {

constexpr int AnzPara = core::kParamLen; // bytes in the parameter block
constexpr int AnzData = core::kDataLen;  // bytes in the measurement block

// Parameter variables, in block order.
extern unsigned char threshold;
extern unsigned char hysteresis;
extern unsigned char power; // device code 0-46, 0 = full intensity
extern unsigned char pmod;
extern unsigned char hold;
extern unsigned char trigger;
extern unsigned char backlim;
extern unsigned char regcnt;
extern unsigned char average;
extern unsigned char deadtimemode;
extern unsigned char deadtime;
extern unsigned char outmode;
extern unsigned char frei13; // spare bytes: never shown, passed through unchanged
extern unsigned char frei14;
extern unsigned char frei15;

// Measurement variables, in block order; the timing values are 16-bit, low byte first.
extern unsigned char dataDat0;
extern unsigned char dataDat1;
extern unsigned char dataNorm;
extern unsigned char dataAdjedgeL;
extern unsigned char dataAdjedgeH;
extern unsigned char dataAdjin0L;
extern unsigned char dataAdjin0H;
extern unsigned char dataAdjin1L;
extern unsigned char dataAdjin1H;

extern std::array<unsigned char, AnzPara> pp;
extern std::array<unsigned char, AnzData> databuf;

void CopyVarsToPP();
void CopyPPtoVars();
void CopyDatatoVars();

} // namespace zurid
