// The registry of module files checked in a run, in order of first request.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/hash_index.h"
#include "common/report.h"
#include "common/types.h"

namespace talvek {

struct LOADED_FILE {
    LOADED_FILE* pNext;
    const char* filespec;   // the name as handed to the check, whole, zero-terminated
    FILE* hFile;            // stored, never used again; null when the open failed
    bool fNeeded;           // reached as a DLL: one of the DLLs needed
};
typedef LOADED_FILE* PLOADED_FILE;

struct REGISTRY {
    PLOADED_FILE pLoadedFiles = nullptr;
    int32_t cLoadedFiles = 0;
    PLOADED_FILE pLastFile = nullptr;
    HASH_INDEX FileIndex{};
    // The records reached as DLLs, in the order the run first reached them: the final list.
    std::vector<PLOADED_FILE> NeededFiles;
    // With -m: the path by which the DLL search would reach each module named before
    // (absolute and normalised), so that it is not checked again when an import leads to it.
    std::unordered_map<std::string, PLOADED_FILE> NamedPaths;

    REGISTRY() = default;
    REGISTRY(const REGISTRY&) = delete;
    REGISTRY& operator=(const REGISTRY&) = delete;
    ~REGISTRY();   // frees every record
};

// Whether a record with exactly this name exists.
bool find_file(REGISTRY* reg, const char* filespec);

// Opens the file, enters a record and reports failures to sink; level is the check's depth (a
// record below the named module's is one of the DLLs needed). Null when no record could be
// had (*rc 1) or the open failed (*rc 2).
FILE* add_file(REGISTRY* reg, REPORT_SINK* sink, const char* filespec, uint32_t level, int32_t* rc);

// A stream only for a name not yet in the registry; null without a message otherwise (*rc 1),
// and as add_file on failure. fSeveral: with -m, a module named before is needed as soon as
// another reaches it as a DLL.
FILE* get_file(REGISTRY* reg, REPORT_SINK* sink, const char* filespec, uint32_t level, bool fSeveral, int32_t* rc);

// A stream for a module named with -m: one already in the registry (reached before as a DLL,
// or named before) is opened again without a second record, as a module named is always
// checked. Null after reporting a file that cannot be opened, *rc then its result: 2, or 1
// when no record could be had.
FILE* get_named_file(REGISTRY* reg, REPORT_SINK* sink, const char* filespec, uint32_t level, int32_t* rc);

// With -m, once the check of the module named filespec has ended: an import that leads to its
// absolute path finds it checked.
void note_named_path(REGISTRY* reg, const char* filespec);

}  // namespace talvek
