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
extern int32_t windows_version;  // --windows: a WINDOWS_VERSION (platform/windows_dlls.h); -1 without it
extern BOOL ship_list;           // --ship
extern BOOL ship_all;            // --ship=all: the application folder's DLLs too
extern const char* deploy_dir;   // --deploy=DIR; null without it
extern BOOL deploy_force;        // --force

// Clears every flag.
void reset_options();

}  // namespace talvek
