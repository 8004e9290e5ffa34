// The banner at the top of the panel: a coloured frame, a supplier's bitmap, the caption
// "TAVRIN-Zurid V1.0" and up to three lines naming the supplier.
#pragma once

namespace zurid {

// Draws banner variant 0..10 on the main panel; any other value does nothing. Every call adds
// new text controls and removes none.
void ShowLogo(int variant);

// Add one banner line as a new text message at (left, top) in `size` points, font "NIApp".
// Styles: 1 grey on white, 2 black on white, 3 white on transparent, 4 white on blue.
void ShowInfoText1(const char* text, int left, int top, int size);
void ShowInfoText2(const char* text, int left, int top, int size);
void ShowInfoText3(const char* text, int left, int top, int size);
void ShowInfoText4(const char* text, int left, int top, int size);

} // namespace zurid
