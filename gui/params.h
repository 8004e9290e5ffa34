// Moves the twelve panel-bound parameters between the panel and the parameter variables,
// converts POWER between device code and percent, keeps the dimming of POWER/REGCNT and the
// DEAD TIME labels in step, and shows one of the two parameter groups.
#pragma once

namespace zurid {

void GetPanelValues();
void SetPanelValues();
void InitPanelValues();
void ParaVis();   // basic group on show
void ParaInVis(); // additional group on show

// PMOD 0 (STAT): POWER active, REGCNT dimmed; any other value the reverse.
void ApplyPmodDimming(int pnl, unsigned char pmodValue);

// POWER conversions (the protocol core's), low 8 bits kept. Code to percent rounds up so that
// every code 0-46 survives a read followed by a send unchanged.
unsigned char PowerPercentToCode(unsigned char percent);
unsigned char PowerCodeToPercent(unsigned char code);

} // namespace zurid
