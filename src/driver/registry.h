// The registry of module files checked in this run, in order of first request.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "common/types.h"

namespace talvek {

struct LOADED_FILE {
    LOADED_FILE* pNext;
    const char* filespec;   // the name as handed to proc_file, whole, zero-terminated
    FILE* hFile;            // stored, never used again; null when the open failed
    bool fNeeded;           // reached as a DLL: one of the DLLs needed
};
typedef LOADED_FILE* PLOADED_FILE;

extern PLOADED_FILE pLoadedFiles;
extern int32_t cLoadedFiles;

// TRUE if a record with exactly this name exists.
BOOL find_file(const char* filespec);

// Opens the file, enters a record and reports failures. Null when no record could be had
// or the open failed; with fAbort a failed open ends the run with exit code 2.
FILE* add_file(const char* filespec, BOOL fAbort);

// A stream only for a name not yet in the registry; null without a message otherwise.
FILE* get_file(const char* filespec, BOOL fAbort);

// A stream for a module named with -m: one already in the registry (reached before as a DLL,
// or named before) is opened again without a second record, as a module named is always
// checked. Null after reporting a file that cannot be opened, *rc then its result: 2, or 1
// when no record could be had.
FILE* get_named_file(const char* filespec, int32_t* rc);

// The records reached as DLLs, in the order the run first reached them: the final list.
const std::vector<PLOADED_FILE>& needed_files();

// Forgets every record (the records of a finished run are otherwise kept to the end).
void reset_registry();

}  // namespace talvek
