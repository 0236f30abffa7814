// The whole life of a terramod run: start-up, the cycle loop, the run report
// and shutdown.
#pragma once

namespace terramod {

// Returns the process exit code: 0 after a complete run (and for -h / -V),
// 1 after a fatal error, 2 when a selected output or dump file could not be
// created or written.
int run_transmitter(int argc, char** argv);

}  // namespace terramod
