// The record of what a run checked, kept for -e, -j and -g: each module in the order the run
// reached it, its imports and their outcomes, and the problems met on the way, made from the
// run's events.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/options.h"
#include "common/report.h"
#include "platform/windows_dlls.h"

namespace talvek {

struct RUN_ENTRY {
    bool fOrdinal;
    uint32_t ulOrdinal;
    std::string name;
    int32_t outcome;            // 0 resolved, the loader's error code, or ENTRY_NOT_ASKED
    // When it did not resolve: the entry, and what a forwarder of it lacks. Held apart, as most
    // entries of a run resolve and each is kept.
    std::unique_ptr<LOAD_FAILURE> cause;
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
    bool fWineBuiltin = false;            // under --windows: its file is Wine's own
};

struct RUN_MODULE {
    std::string filespec;       // as handed to the check
    std::string shown;          // as -e's chains and -j's missing name it (shown_name)
    uint16_t machine = 0;       // PE: its Machine
    const char* format = nullptr;   // "PE32", "PE32+", "NE", "LX"; null when not a module
    uint32_t level = 0;
    bool fOpened = false;
    bool fDone = false;         // false while it is checked, and when the run ended inside it
    int32_t result = 0;
    std::string error;          // the error lines it printed, without their indentation
    // A PE module the loader would refuse: the step of loading its file, and the reason.
    std::unique_ptr<LOAD_FAILURE> cause;
    int32_t iParent = -1;       // the module whose import first reached it
    std::vector<RUN_IMPORT> imports;
    // Under --windows: the Windows its DLLs are judged by ("Windows 10 (x64)"), where the
    // import that first reached it found it, and whether a DLL of Windows (not one in the
    // application folder), or a DLL Windows lacks found only as Wine's own file, leads to it,
    // which makes what it needs Windows' (or Wine's) own concern; with --host, one of the host's
    // leads there too, making it the host's.
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
    PROBLEM_NOT_IN_WINDOWS,   // --windows: a DLL or API set the target Windows lacks, that -e counts
    PROBLEM_NOT_VERIFIED,     // --windows: an entry only Wine's copy of a DLL of that Windows lacks
    PROBLEM_NOT_LOADABLE,     // a module named whose own image the loader would refuse
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
                                // (PROBLEM_NOT_LOADABLE: with the module's own image, and where)
    std::vector<std::string> passedOver;   // 193: the files the search passed over, as shown
    std::string detail;         // 193: what -e adds to the code (the files passed over, or the file and its fault)
    uint16_t machine = 0;       // PE: the machine of the process that lacks it
    std::string file;           // PROBLEM_NOT_IN_WINDOWS: the file found ("" for an API set reached through a host),
    std::string windows;        // the Windows that lacks it,
    DLL_SOURCE source = SOURCE_NONE;   // what brings it where Windows does not,
    bool fShippable = false;    // whether the file can ship (found in a system folder, not Wine's
                                // own; one that cannot is Wine's own unless it is an API set),
    bool fApiSet = false;       // and whether it is an API set
    // PROBLEM_NOT_LOADED: a place the host's search leaves out that holds the DLL all the same,
    // and its file there.
    OUTSIDE_SEARCH outside = OUTSIDE_NONE;
    std::string outsideFile;
    // Each way the run met it: the modules from the named one down to the one that needs it,
    // as shown_name names them.
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
    std::vector<RUN_NAMED> named;   // with -m: every module named, from the start of the run
    int32_t iNamed = -1;            // the one being checked
    std::vector<RUN_MODULE> modules;
    std::vector<RUN_PROBLEM> problems;
    std::unordered_map<std::string, size_t> problemByLeaf;   // a missing DLL or entry -> its problem
    // Under --windows: the entries only Wine's copies of DLLs of Windows lack, which -e lists
    // apart and does not count.
    std::vector<RUN_PROBLEM> unverified;
    std::unordered_map<std::string, size_t> unverifiedByLeaf;
    // What names are shown relative to: the application folder of the module named being
    // checked, and the folder named with -m that holds it ("" for a file named).
    std::string appDir;
    std::string namedFolder;
    std::vector<int32_t> stack;     // per level of the check: the module index, -1 when skipped
    std::unordered_map<std::string, int32_t> byName;
    // Under --windows: the files of the DLLs the program must bring, in the order met.
    std::vector<std::string> ship;
    std::unordered_set<std::string> shipSet;
};

// With -m, before the first check: every module file named, none checked yet.
void record_named_files(RUN_RECORD* rec, const std::vector<std::string>& files);

// Records what ev says, when the record is on.
void record_event(RUN_RECORD* rec, const REPORT_EVENT& ev);

// Names app as the path of the module named that is checked next (its folder is the
// application folder), which names are then shown relative to.
void record_application_folder(RUN_RECORD* rec, const std::string& app);

// Whether --ship and --deploy must say p on standard error: everything -e counts but a DLL the
// program can ship from here.
bool blocks_shipping(const RUN_PROBLEM& p);

// The name of a module format in the documents ("PE32", "PE32+", "NE", "LX"); null for none.
const char* format_name(REPORT_FORMAT format);

}  // namespace talvek
