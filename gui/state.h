// The panel's own state: its handle, the status line, the parameter group and graph source on
// show, and the file dialogs' paths. One instance each, for the life of the process. The link's
// state (port, order, memory, data-loop flag) comes with it.
#pragma once

#include "link/state.h"

#include <string>

namespace zurid {

extern int panel;             // handle of the main panel
extern std::string szStatus;  // status line text
extern unsigned char para;    // parameter group on show: nonzero basic, 0 additional
extern int source;            // graph source 0, 1 or 2, as last read from PANEL_SOURCE
extern std::string proj_dir;  // the program's directory, where the file dialogs open
extern std::string file_name; // path chosen in the last file dialog

} // namespace zurid
