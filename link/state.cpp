#include "link/state.h"

namespace zurid {

int panel = 0;
int com = 1;
unsigned char sync = 0x55;
unsigned char order = 1;
int target = RAM;
int poll = 0;
int ret = 0;
double tstart = 0.0;
double tdiff = 0.0;
int nBytesW = 0;
int nBytesR = 0;
std::string szStatus;
unsigned char para = 1;
int source = 0;
std::string proj_dir;
std::string file_name;

} // namespace zurid
