// The PE processor: reads a module whole, closes it, then runs its load test.
#include "pe/pe.h"

#include <cstdlib>
#include <memory>
#include <new>

#include "common/report.h"
#include "pe/pe_internal.h"

namespace talvek {

int32_t proc_fileNT(const char* filespec, BOOL /*fAbort*/, const DOS_EXE_HDR* DosExeHeaderP, FILE* ifile) {
    FILE_PTR file(ifile);
    // The module's record lives on the heap, so a deep chain of DLLs costs little stack.
    std::unique_ptr<PE_MODULE> mod(new (std::nothrow) PE_MODULE{});
    int32_t proc_file_rc = RC_OK;
    if (!mod) {
        proc_file_rc = report_error(ERR_NO_MEMORY, RC_NO_MEMORY);
    } else {
        proc_file_rc = pe_read_module(mod.get(), DosExeHeaderP, file.get());
    }
    // Everything is read: the file is closed before the recursion into the DLLs.
    file.reset();
    if (proc_file_rc == RC_OK) pe_report(mod.get(), filespec);
    // Common end: release what the module took, on every path.
    if (mod) {
        free_ref_lists(&mod->ModRefTblP);
        free_ref_lists(&mod->DelayRefTblP);
    }
    mod.reset();
    return proc_file_rc;
}

PE_MODULE::~PE_MODULE() {
    free(ModuleNameTblP);
    free(DelayNameTblP);
    pool_free(&names);
}

}  // namespace talvek
