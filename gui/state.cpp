#include "gui/state.h"

namespace zurid {

int panel = 0;
std::string szStatus;
unsigned char para = 1;
int source = 0;
std::string proj_dir;
std::string file_name;

} // namespace zurid
