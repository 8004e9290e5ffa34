// Program-wide state shared by every module: the panel handle, the serial port in use, the
// request being built, the data-loop flag, the status line and the event-wait clock. One
// instance each, for the life of the process.
#pragma once

#include <string>

// Program code lives in this namespace: names such as poll and sync would otherwise clash with
// the C library's functions of the same name at link time.
namespace zurid {

// Memory the parameter buttons address.
constexpr int RAM = 1;
constexpr int EEPROM = 2;
constexpr int DATFILE = 3;

extern int panel;             // handle of the main panel
extern int com;               // serial port number of every serial call
extern unsigned char sync;    // first byte of every request
extern unsigned char order;   // order code of the request being built or last sent
extern int target;            // RAM, EEPROM or DATFILE
extern int poll;              // 1 while the data loop runs
extern int ret;               // result of the last port opening
extern double tstart;         // start of the current event wait, seconds
extern double tdiff;          // time elapsed in the current event wait, seconds
extern int nBytesW;           // count of the last request write
extern int nBytesR;           // count of the last reply read
extern std::string szStatus;  // status line text
extern unsigned char para;    // PANEL_PARA as last read: 1 basic group on show, 0 additional
extern int source;            // graph source 0, 1 or 2, as last read from PANEL_SOURCE
extern std::string proj_dir;  // where the file dialogs open (see GetUserFileDir)
extern std::string file_name; // path chosen in the last file dialog

} // namespace zurid
