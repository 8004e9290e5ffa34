// The data loop, the jump-buffer read, the live displays, the strip-chart history and the
// graph views.
#pragma once

#include "core/protocol.h"

#include <array>

namespace zurid {

constexpr int kHistoryLen = 500; // 100 samples of DAT0, DAT1, NORM, THRESHOLD, HYSTERESIS
constexpr int kJumpBufLen = core::kJumpBufLen;

extern std::array<double, kHistoryLen> alldata;
extern std::array<unsigned char, kJumpBufLen> jumpbuf;

// Order 5 every cycle while poll is 1; returns when poll drops or a reply is missing.
void GetData();
// Order 6: the 16-value jump buffer, drawn against THRESHOLD.
void GetJmpBuf();

// Value displays, percentages and one history sample from the measurement variables.
void SetPanelData();
// Strip chart, or the adjustment graph when source is 2.
void ShowGraph();
// Graphs, displays and traces for the SOURCE selector.
void DispVis();

// Array moves on doubles; status 0, -20003 for n < 1, -20102 for |shifts| >= n.
int Shift(const double* input, int n, int shifts, double* output);
int Copy1D(const double* input, int n, double* output);

} // namespace zurid
