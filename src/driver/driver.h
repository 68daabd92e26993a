// The run: the recursion depth and indentation, the entry point for one module, the command
// line and the orderly end.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/options.h"
#include "common/report.h"
#include "common/types.h"
#include "driver/messages.h"

namespace talvek {

// The recursion depth: 1 while the named module is processed, one more per DLL level.
extern uint32_t level;

// Writes the indentation of the current level (2 x level - 2 blanks) to stream, in one write.
void levelprint(FILE* stream);

// Checks one module file: registers and opens it, tests the DOS header, dispatches by the
// new header's signature. Returns the module's result code (1 when it was not processed).
int32_t proc_file(const char* filespec, BOOL fAbort);

// Checks the module named on the command line, whose folder the DLL search tries first.
int32_t check_named_module(const char* filespec);

// Turns the command line into the option flags and returns the one module file name.
// Ends the run with exit code 1 on every command-line error.
PSZ Init(int argc, char** argv);

// Ends the run with exit code rc, after the key wait of -k.
[[noreturn]] void XExit(int32_t rc);

// The whole program: flags, the named module, the final list, the end. Does not return.
[[noreturn]] void tool_main(int argc, char** argv);

// Clears all run state (flags, level, registry, loaded DLLs) so a test or fuzz target can
// start afresh.
void reset_run_state();

}  // namespace talvek
