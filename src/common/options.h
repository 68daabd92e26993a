// The options of a run, as a value: set once from the command line (or by a caller of the
// library), read wherever they matter.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/types.h"

namespace talvek {

// How the program that loads the modules named calls the loader (--search): the classic
// search; LOAD_WITH_ALTERED_SEARCH_PATH, the module's folder in place of the application
// folder; LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS, the module's
// folder, the application folder, the DLL directories and the system folders only.
enum SEARCH_MODE : uint8_t { SEARCH_CLASSIC, SEARCH_ALTERED, SEARCH_SAFE };

struct OPTIONS {
    bool recurse = false;            // -! -l -q -g -x: each imported DLL is checked in turn
    bool list_files = false;         // -l -q: the final list of needed DLLs
    bool silent_recurse = false;     // -q: no progress and success lines
    bool LoadVerbose = false;        // -v
    bool delay_load = false;         // -d
    bool wait_for_key = false;       // -k
    bool reloc_chain = false;        // -c
    bool imports = false;            // -i
    bool ordinals = false;           // -o
    bool relocation = false;         // -r
    bool segments = false;           // -s
    bool exit_missing = false;       // -e
    bool json_report = false;        // -j
    bool graph_report = false;       // -g
    bool check_failed_dlls = false;  // -x
    bool several_modules = false;    // -m
    int32_t windows_version = -1;    // --windows: a WINDOWS_VERSION (platform/windows_dlls.h); -1 without it
    bool ship_list = false;          // --ship
    bool ship_all = false;           // --ship=all: the application folder's DLLs too
    std::string deploy_dir;          // --deploy=DIR; empty without it
    bool deploy_force = false;       // --force
    std::string host;                // --host=FILE: the program that loads the modules named; empty without it
    SEARCH_MODE search_mode = SEARCH_CLASSIC;   // --search=MODE
    std::vector<std::string> dll_dirs;          // --dll-dir=DIR, in order (with SEARCH_SAFE only)
    std::vector<std::string> ship_from;   // --ship-from=DIR, each: folders of the files to ship
    // The folder each module named is checked as if it lay in ("": its own): --deploy's
    // closing check of the bundle it made.
    std::string bundle_dir;

    // Seams for tests, which the command line never sets: the allocator of every allocation
    // whose failure the tool reports (null: malloc), and the root under which Wine's DLL
    // folders are looked for ("" is the real root).
    ALLOC_FN alloc = nullptr;
    std::string wine_root;
};

}  // namespace talvek
