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

// Whether the PE module whose signature is at ofsPE is reported as a 64-bit module: a
// 240-byte optional header with the PE32+ magic. False when the headers cannot be read.
bool pe_is_pe32plus(FILE* f, uint32_t ofsPE);

}  // namespace talvek
