// The option flags of the run: set once by the command line, read wherever they matter.
#pragma once

#include "common/types.h"

namespace talvek {

extern BOOL recurse;          // -! -l -q -g -x
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
extern BOOL check_failed_dlls;   // -x
extern BOOL several_modules;     // -m

// Clears every flag.
void reset_options();

}  // namespace talvek
