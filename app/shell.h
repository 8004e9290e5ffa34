// Start-up, shut-down and the callbacks of the main panel.
#pragma once

#include "platform/ui/userint.h"

#include <span>

namespace zurid {

// The process: toolkit, panel, state, port and line check, event loop, clean-up. Returns 0
// after a normal end, -1 when the toolkit or the panel cannot be loaded.
int RunProgram(int& argc, char** argv);
// Its two halves around the event loop: everything up to the shown panel (0, or -1 when the
// toolkit or the panel cannot be loaded), and closing the port and discarding the panel.
int StartUp(int& argc, char** argv);
void ShutDown();

// Defaults, status "InitVars", basic parameter group, graph layout, banner, panel values.
void InitVars();

// The banner routines of branding/logo.h on the main panel.
void ShowLogo(int variant);
void ShowInfoText1(const char* text, int left, int top, int size);
void ShowInfoText2(const char* text, int left, int top, int size);
void ShowInfoText3(const char* text, int left, int top, int size);
void ShowInfoText4(const char* text, int left, int top, int size);

// Set by the panel's close event: commands whose settle delay is running do not start.
extern bool quitRequested;

// Every callback of the program by the name the panel resource uses.
std::span<const CallbackEntry> CallbackTable();

int CBF_P(int pnl, int event, void* callbackData, int eventData1, int eventData2);

} // namespace zurid
