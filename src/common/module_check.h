// One module's check as the run drives it: a format's processor reads the module and reports
// what it finds; the run asks it for one import at a time and decides itself which module to
// check next, so a chain of DLLs of any depth takes no stack.
#pragma once

#include <cstdint>
#include <string>

#include "common/options.h"
#include "common/report.h"

namespace talvek {

struct LOADER;      // platform/loader.h
struct FS_MEMORY;   // platform/fs_memory.h

// What a format's processor needs of the run: its options, where events go, what the run
// remembers of files and, for PE modules, the loader. opt->alloc is the allocator of the
// module's tables.
struct CHECK_CONTEXT {
    const OPTIONS* opt;
    REPORT_SINK* sink;
    FS_MEMORY* mem;
    LOADER* loader;
    // The module being begun is one no loader took: the one named, or a DLL followed with -x.
    // Under -e, -j and -x a PE module's own image is then judged as the loader reads it.
    bool fUntaken = false;
};

// The module file an import leads to: a path (the loader's path of a PE DLL), or with fSearch
// an LX or NE module name, searched for from the importing module's folder. fFailed: the file
// of a PE DLL that did not load, followed only with -x.
struct FOLLOW {
    std::string file;
    bool fSearch = false;
    bool fFailed = false;
};

struct MODULE_CHECK {
    virtual ~MODULE_CHECK() = default;
    // Reports the module's next import (its DLL, entries and load test). False when none is
    // left. *next is the module file the import leads to; its file empty when none.
    virtual bool next_import(CHECK_CONTEXT* ctx, FOLLOW* next) = 0;
    // Reports the closing line when everything was there, releases what the module took and
    // returns its result.
    virtual int32_t finish(CHECK_CONTEXT* ctx) = 0;
};

}  // namespace talvek
