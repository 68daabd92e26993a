// What the format processors use of the driver: the option flags, the recursion depth,
// indentation, the entry point for one module, and the orderly end of the run.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/types.h"
#include "driver/messages.h"

namespace talvek {

// Option flags, set once by Init.
extern BOOL recurse;          // -! -l -q
extern BOOL list_files;       // -l -q
extern BOOL silent_recurse;   // -q
extern BOOL LoadVerbose;      // -v
extern BOOL delay_load;       // -d
extern BOOL wait_for_key;     // -k, cleared by XExit
extern BOOL reloc_chain;      // -c
extern BOOL imports;          // -i
extern BOOL ordinals;         // -o
extern BOOL relocation;       // -r
extern BOOL segments;         // -s
extern BOOL exit_missing;     // -e
extern BOOL json_report;      // -j
extern BOOL graph_report;     // -g

// The recursion depth: 1 while the named module is processed, one more per DLL level.
extern uint32_t level;

// Writes the indentation of the current level (2 x level - 2 blanks) to stream, in one write.
void levelprint(FILE* stream);

// Prints a message without placeholders on standard error at the current indentation, the
// one way a failure of a module is reported; returns rc, the failure's result code.
int32_t report_error(const char* msg, int32_t rc);

// Checks one module file: registers and opens it, tests the DOS header, dispatches by the
// new header's signature. Returns the module's result code (1 when it was not processed).
int32_t proc_file(const char* filespec, BOOL fAbort);

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
