// The banner at the top of the panel: a coloured frame, a supplier's bitmap, the caption
// "TAVRIN-Zurid V1.0" and up to three lines naming the supplier.
#pragma once

namespace zurid {

// Draws banner variant 0..10 on panel `pnl`; any other value does nothing. Every call adds new
// text controls and removes none.
void ShowLogo(int pnl, int variant);

// Add one banner line to panel `pnl` as a new text message at (left, top) in `size` points,
// font "NIApp". Styles: 1 grey on white, 2 black on white, 3 white on transparent, 4 white on
// blue.
void ShowInfoText1(int pnl, const char* text, int left, int top, int size);
void ShowInfoText2(int pnl, const char* text, int left, int top, int size);
void ShowInfoText3(int pnl, const char* text, int left, int top, int size);
void ShowInfoText4(int pnl, const char* text, int left, int top, int size);

} // namespace zurid
