// The 32-bit LX processor as the run calls it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "common/dos_header.h"
#include "common/module_check.h"

namespace talvek {

// Begins the check of one 32-bit LX module: reads its header, fixup section and name tables
// and closes ifile on every path. 0 with *check, which reports its imports one at a time; or
// the module's result, which may be a failure that ends the run (no memory for a list node).
int32_t lx_begin_check(CHECK_CONTEXT* ctx, const char* filespec, const DOS_EXE_HDR* DosExeHeaderP, FILE* ifile,
                       std::unique_ptr<MODULE_CHECK>* check);

}  // namespace talvek
