// The PE processor as the driver calls it.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/dos_header.h"
#include "common/types.h"

namespace talvek {

// Checks one PE module. Owns ifile from the call on and closes it on every path.
// Returns the module's result code.
int32_t proc_fileNT(const char* filespec, BOOL fAbort, const DOS_EXE_HDR* DosExeHeaderP, FILE* ifile);

}  // namespace talvek
