#include "link/state.h"

#include "core/protocol.h"

namespace zurid {

int com = 1;
unsigned char sync = core::kSync;
unsigned char order = 1;
int target = RAM;
int poll = 0;

} // namespace zurid
