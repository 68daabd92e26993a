// The PE processor as the run calls it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "common/dos_header.h"
#include "common/module_check.h"

namespace talvek {

// Begins the check of one PE module: reads it whole, reporting the count of its imports, and
// closes ifile on every path. 0 with *check, which tests its imports one at a time; or the
// module's result, which may be a failure that ends the run (the PE format error).
int32_t pe_begin_check(CHECK_CONTEXT* ctx, const char* filespec, const DOS_EXE_HDR* DosExeHeaderP, FILE* ifile,
                       std::unique_ptr<MODULE_CHECK>* check);

}  // namespace talvek
