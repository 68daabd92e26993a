// The record of what a run checked, kept for -e, -j and -g: each module in the order the run
// reached it, its imports and their outcomes, and the problems met on the way, made from the
// run's events.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/report.h"

namespace talvek {

struct RUN_ENTRY {
    bool fOrdinal;
    uint32_t ulOrdinal;
    std::string name;
    int32_t outcome;            // 0 resolved, the loader's error code, or ENTRY_NOT_ASKED
};

struct RUN_IMPORT {
    std::string dll;            // the name in the import table
    std::vector<RUN_ENTRY> entries;
    bool fLoadTested = false;   // PE: the loader was asked
    bool fLoaded = false;
    std::string path;           // the loader's path of the DLL
    int32_t load_error = 0;
    bool fDelayLoaded = false;
    int32_t iModule = -1;       // the module checked for it, -1 when none was
};

struct RUN_MODULE {
    std::string filespec;       // as handed to proc_file
    const char* format = nullptr;   // "PE32", "PE32+", "NE", "LX"; null when not a module
    uint32_t level = 0;
    bool fOpened = false;
    bool fDone = false;         // false while it is checked, and when the run ended inside it
    int32_t result = 0;
    std::string error;          // the error lines it printed, without their indentation
    int32_t iParent = -1;       // the module whose import first reached it
    std::vector<RUN_IMPORT> imports;
};

enum RUN_PROBLEM_KIND { PROBLEM_NOT_LOADED, PROBLEM_NOT_RESOLVED, PROBLEM_NOT_OPENED, PROBLEM_CHECK_FAILED };

struct RUN_PROBLEM {
    RUN_PROBLEM_KIND kind;
    int32_t iModule;            // the module that needs it
    int32_t iImport;            // its import (-1 for a module's own failure)
    int32_t iEntry;             // the entry (-1 unless not resolved)
    int32_t iFailed;            // the failed module (check failed, not opened), else -1
};

struct RUN_RECORD {
    bool fOn = false;
    std::vector<RUN_MODULE> modules;
    std::vector<RUN_PROBLEM> problems;
    std::vector<int32_t> stack;     // per proc_file level: the module index, -1 when skipped
    std::unordered_map<std::string, int32_t> byName;
};

extern RUN_RECORD RunRecord;

// Records what ev says, when the record is on.
void record_event(const REPORT_EVENT& ev);

// The name of a module format in the documents ("PE32", "PE32+", "NE", "LX"); null for none.
const char* format_name(REPORT_FORMAT format);

// Writers over the record. The -e summary goes to stdout; the documents to out.
void print_missing_summary(FILE* out);
void print_json_report(FILE* out, int argc, char** argv, int32_t exit_code, bool fList);
void print_dot_graph(FILE* out);

extern const char TalvekVersion[];

}  // namespace talvek
