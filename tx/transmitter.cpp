#include "tx/transmitter.h"

namespace terramod {

int run_transmitter(int, char**) { return 0; }

}  // namespace terramod
