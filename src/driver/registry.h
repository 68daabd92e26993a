// The registry of module files checked in this run, in order of first request.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/types.h"

namespace talvek {

struct LOADED_FILE {
    LOADED_FILE* pNext;
    const char* filespec;   // the name as handed to proc_file, whole, zero-terminated
    FILE* hFile;            // stored, never used again; null when the open failed
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

// Forgets every record (the records of a finished run are otherwise kept to the end).
void reset_registry();

}  // namespace talvek
