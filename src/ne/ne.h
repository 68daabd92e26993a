// The 16-bit NE processor as the run calls it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "common/dos_header.h"
#include "common/module_check.h"

namespace talvek {

// Begins the check of one 16-bit NE module: reads its header and tables and scans its
// relocation records, and closes ifile on every path. 0 with *check, which reports its
// imports one at a time and then the NE listings; or the module's result, which may be a
// failure that ends the run (no memory for a list node).
int32_t ne_begin_check(CHECK_CONTEXT* ctx, const char* filespec, const DOS_EXE_HDR* DosExeHeaderP, FILE* ifile,
                       std::unique_ptr<MODULE_CHECK>* check);

}  // namespace talvek
