#include "link/state.h"

namespace zurid {

int com = 1;
unsigned char order = 1;
int target = RAM;
int poll = 0;

} // namespace zurid
