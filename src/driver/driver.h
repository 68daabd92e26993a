// The run: the recursion depth and indentation, the entry point for one module, the command
// line and the orderly end.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

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

// The same for a module named with -m: checked even when the run checked it before, and a
// file that cannot be opened does not end the run.
int32_t proc_named_file(const char* filespec);

// Checks the module named on the command line, whose folder the DLL search tries first.
int32_t check_named_module(const char* filespec);

// The module named on the command line that is being checked (with -m, the current one).
extern const char* CurrentNamedModule;

// With -m: the module files the names stand for, a folder for every file in it and its
// subfolders that starts with "MZ", in byte order of the paths.
std::vector<std::string> named_module_files(const std::vector<PSZ>& names);

// With -m: checks each file in turn, as if it were named alone, in one run. Returns the
// largest of their results.
int32_t check_named_modules(const std::vector<std::string>& files);

// Turns the command line into the option flags and returns the first module file name; with
// pNames, also every module name, in order (more than one only with -m). Ends the run with
// exit code 1 on every command-line error.
PSZ Init(int argc, char** argv, std::vector<PSZ>* pNames = nullptr);

// Ends the run with exit code rc, after the key wait of -k.
[[noreturn]] void XExit(int32_t rc);

// The whole program: flags, the named module, the final list, the end. Does not return.
[[noreturn]] void tool_main(int argc, char** argv);

// Clears all run state (flags, level, registry, loaded DLLs) so a test or fuzz target can
// start afresh.
void reset_run_state();

}  // namespace talvek
