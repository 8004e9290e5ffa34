// The link's state, shared by every module: the serial port in use, the request being built, the
// memory addressed and the data-loop flag. One instance each, for the life of the process. The
// panel's own state is gui/state.h's.
#pragma once

// Program code lives in this namespace: a name such as poll would otherwise clash with the C
// library's function of the same name at link time.
namespace zurid {

// Memory the parameter buttons address.
constexpr int RAM = 1;
constexpr int EEPROM = 2;
constexpr int DATFILE = 3;

extern int com;             // serial port number of every serial call
extern unsigned char order; // order code of the request being built or last sent
extern int target;          // RAM, EEPROM or DATFILE
extern int poll;            // 1 while the data loop runs

} // namespace zurid
