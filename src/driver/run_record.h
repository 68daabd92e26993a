// The record of what a run checked, kept for -e, -j and -g: each module in the order the run
// reached it, its imports and their outcomes, and the problems met on the way, made from the
// run's events.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/options.h"
#include "common/report.h"

namespace talvek {

struct RUN_ENTRY {
    bool fOrdinal;
    uint32_t ulOrdinal;
    std::string name;
    int32_t outcome;            // 0 resolved, the loader's error code, or ENTRY_NOT_ASKED
    LOAD_FAILURE cause;         // when it did not resolve: the entry, and what a forwarder of it lacks
};

struct RUN_IMPORT {
    std::string dll;            // the name in the import table
    std::vector<RUN_ENTRY> entries;
    bool fLoadTested = false;   // PE: the loader was asked
    bool fLoaded = false;
    std::string path;           // the loader's path of the DLL
    int32_t load_error = 0;
    LOAD_FAILURE cause;         // when it did not load: the steps down to what is missing
    bool fDelayLoaded = false;
    int32_t iModule = -1;       // the module checked for it, -1 when none was
    DLL_ORIGIN origin = ORIGIN_UNKNOWN;   // under --windows: where its file came from
    bool fWindows = false;                // under --windows: part of the target Windows
    bool fHost = false;                   // the program that loads the module (without --host: no path)
};

struct RUN_MODULE {
    std::string filespec;       // as handed to the check
    const char* format = nullptr;   // "PE32", "PE32+", "NE", "LX"; null when not a module
    uint32_t level = 0;
    bool fOpened = false;
    bool fDone = false;         // false while it is checked, and when the run ended inside it
    int32_t result = 0;
    std::string error;          // the error lines it printed, without their indentation
    int32_t iParent = -1;       // the module whose import first reached it
    std::vector<RUN_IMPORT> imports;
    // Under --windows: the Windows its DLLs are judged by ("Windows 10 (x64)"), where the
    // import that first reached it found it, and whether a DLL of Windows (not one in the
    // application folder) leads to it, which makes what it needs Windows' own concern; with
    // --host, one of the host's leads there too, making it the host's.
    std::string windows;
    DLL_ORIGIN origin = ORIGIN_UNKNOWN;
    bool fWindows = false;
    bool fWindowsSide = false;
};

enum RUN_PROBLEM_KIND {
    PROBLEM_NOT_LOADED,
    PROBLEM_NOT_RESOLVED,
    PROBLEM_NOT_OPENED,
    PROBLEM_CHECK_FAILED,
    PROBLEM_NOT_IN_WINDOWS,   // --windows: a DLL found in a system folder that the target Windows lacks
};

// One thing that is missing: a DLL or an entry that is the leaf of a failure (the same one met
// by several ways is one problem with several chains), or a module whose file could not be
// opened or checked.
struct RUN_PROBLEM {
    RUN_PROBLEM_KIND kind;
    std::string dll;            // the DLL as the module that needs it names it, or the file's base name
    bool fOrdinal = false;      // PROBLEM_NOT_RESOLVED: the entry
    uint32_t ulOrdinal = 0;
    std::string entry;
    int32_t error = 0;          // the loader's error code, or the failed check's result
    int32_t iFailed = -1;       // the module that could not be opened or checked, else -1
    bool fCauseUnknown = false; // the loader gave only the code, and no cause was found
    std::string reason;         // what is wrong with the file found for the DLL, where known
    std::vector<std::string> passedOver;   // 193: the files the search passed over
    std::string file;           // PROBLEM_NOT_IN_WINDOWS: the file to ship,
    std::string windows;        // the Windows that lacks it,
    bool fVcRuntime = false;    // and whether it is a DLL of the Visual C++ runtime
    // PROBLEM_NOT_LOADED: a place the host's search leaves out that holds the DLL all the same,
    // and its file there.
    OUTSIDE_SEARCH outside = OUTSIDE_NONE;
    std::string outsideFile;
    // Each way the run met it: the base names of the modules from the named one down to the
    // one that needs it.
    std::vector<std::vector<std::string>> chains;
};

// A module named on the command line (with -m, each file a name stands for), and the
// module record of its check.
struct RUN_NAMED {
    std::string file;
    int32_t iModule = -1;
};

struct RUN_RECORD {
    const OPTIONS* opt = nullptr;   // the run's
    bool fOn = false;
    bool fSeveralNamed = false;     // -m checks more than one module: a failed one is a problem too
    std::vector<RUN_NAMED> named;
    std::vector<RUN_MODULE> modules;
    std::vector<RUN_PROBLEM> problems;
    std::unordered_map<std::string, size_t> problemByLeaf;   // a missing DLL or entry -> its problem
    std::vector<int32_t> stack;     // per level of the check: the module index, -1 when skipped
    std::unordered_map<std::string, int32_t> byName;
    // Under --windows: the files of the DLLs the program must bring, in the order met.
    std::vector<std::string> ship;
    std::unordered_set<std::string> shipSet;
};

// Records what ev says, when the record is on.
void record_event(RUN_RECORD* rec, const REPORT_EVENT& ev);

// The name of a module format in the documents ("PE32", "PE32+", "NE", "LX"); null for none.
const char* format_name(REPORT_FORMAT format);

}  // namespace talvek
