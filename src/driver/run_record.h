// The record of what a run checked, kept for -e, -j and -g: each module in the order the run
// reached it, its imports and their outcomes, and the problems met on the way. The format
// processors feed it with the record_... calls beside the lines they print; each call does
// nothing unless the record is on.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/reflist.h"

namespace talvek {

// The outcome of an entry that no loader was asked about (LX, NE).
constexpr int32_t RUN_NOT_CHECKED = -1;

struct RUN_ENTRY {
    bool fOrdinal;
    uint32_t ulOrdinal;
    std::string name;
    int32_t outcome;            // 0 resolved, the loader's error code, or RUN_NOT_CHECKED
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

// proc_file: a module handed to the check, its file opened, and its end with its result.
// A name met before links the current import to the module recorded then.
void record_enter(const char* filespec);
void record_opened();
void record_leave(int32_t rc);
// The format line of the current module.
void record_format(const char* format);
// An error line printed for the current module (a printf format with at most one %s).
void record_error(const char* msg, const char* arg = nullptr);
// A DLL of the current module, in table order; then, for PE, its load outcome.
void record_import(std::string_view dll);
void record_load(bool fLoaded, const char* path, int32_t error);
// An entry of the current import (outcome 0, an error code, or RUN_NOT_CHECKED).
void record_entry(bool fOrdinal, uint32_t ulOrdinal, std::string_view name, int32_t outcome);
// An entry of a PE import from its list node (a by-name node's num points at its name), and
// the entries of a PE import whose DLL did not load, none of them asked for.
void record_pe_entry(const REF_NODE32* pNode, int32_t outcome);
void record_unchecked_pe_entries(const REF_NODE32* pHead);
// Marks the current import delay-loaded.
void record_delay_loaded();

// Writers over the record. The -e summary goes to stdout; the documents to out.
void print_missing_summary(FILE* out);
void print_json_report(FILE* out, int argc, char** argv, int32_t exit_code, bool fList);
void print_dot_graph(FILE* out);

extern const char TalvekVersion[];

}  // namespace talvek
