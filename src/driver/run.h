// The run object: all state of one run, and the check of a module with its DLLs, driven on
// an explicit stack of module checks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/module_check.h"
#include "common/options.h"
#include "common/report.h"
#include "driver/registry.h"
#include "driver/run_record.h"
#include "platform/fs_memory.h"
#include "platform/loader.h"
#include "talvek.h"

namespace talvek {

// A module whose imports are being gone through, on the run's stack.
struct MODULE_FRAME {
    std::unique_ptr<MODULE_CHECK> check;
    std::string filespec;
};

struct RUN : REPORT_SINK {
    OPTIONS opt;
    REPORT_SINK* listener = nullptr;
    uint32_t level = 0;            // the depth of the module being checked: 1 for the one named
    REGISTRY registry;
    RUN_RECORD record;
    FS_MEMORY files;
    LOADER_PTR loader;
    CHECK_CONTEXT ctx{};
    std::string namedModule;       // the module named that is being checked
    std::vector<MODULE_FRAME> stack;
    CHECK_RESULT end;              // fRunEnded once a failure ended the run
    bool fHostNoted = false;       // with --host: the DLLs of the host that do not load were said

    // Stamps ev with the level, hands it to the listener and the record, and notes a
    // failure that ends the run.
    void event(const REPORT_EVENT& ev) override;
};

// The file checked for an LX or NE module name imported by the module at importer: the name
// with ".DLL" appended when it holds no '.', searched in the importer's folder, then the named
// module's folder, then the current folder (exact name first, else ignoring ASCII case).
// Found: its absolute, normalised path with the entry's real name. Not found: the bare file
// name, which the registry then reports as not openable.
std::string dll_file_for(RUN* run, std::string_view module_name, const std::string& importer);

// Begins the check of one module file one level below the current: registers and opens it,
// reads its DOS header and dispatches by the new header's signature. A module whose imports
// remain to be gone through is pushed on the run's stack, with result 0; any other ends here
// with its result. fNamed: a module named with -m, checked even when the run checked it
// before. fAbort: a file that cannot be opened ends the run. fUntaken: no loader took the
// module (the one named, or a DLL followed with -x): CHECK_CONTEXT::fUntaken.
int32_t begin_module(RUN* run, const std::string& filespec, bool fAbort, bool fNamed, bool fUntaken);

// With --host: checks the host against the module named at filespec and starts the module's
// process with it (loader_start_host); each DLL of the host that does not load is reported, once
// a run. Returns 0, or 1 after reporting what is wrong with the host: it cannot be opened, is no
// PE module, is a DLL, is a program of another machine than the module, or does not load.
int32_t start_host(RUN* run, const std::string& filespec);

}  // namespace talvek
