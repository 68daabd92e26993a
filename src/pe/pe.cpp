// The PE processor: reads a module whole, closes it, then runs its load test.
#include "pe/pe.h"

#include <cstdlib>

#include "driver/driver.h"
#include "pe/pe_internal.h"

namespace talvek {

int32_t proc_fileNT(const char* filespec, BOOL /*fAbort*/, const DOS_EXE_HDR* DosExeHeaderP, FILE* ifile) {
    FILE_PTR file(ifile);
    // The module's record lives on the heap, so a deep chain of DLLs costs little stack.
    MEM_PTR<PE_MODULE> mod(static_cast<PE_MODULE*>(tool_alloc(sizeof(PE_MODULE))));
    int32_t proc_file_rc = RC_OK;
    if (!mod) {
        levelprint(stderr);
        fputs(Err_NoMemory, stderr);
        proc_file_rc = RC_NO_MEMORY;
    } else {
        *mod = PE_MODULE{};
        proc_file_rc = pe_read_module(mod.get(), DosExeHeaderP, file.get());
    }
    // Everything is read: the file is closed before the recursion into the DLLs.
    file.reset();
    if (proc_file_rc == RC_OK) pe_report(mod.get(), filespec);
    // Common end: release what the module took, on every path.
    if (mod) {
        free_ref_lists(&mod->ModRefTblP);
        free(mod->ModuleNameTblP);
        pool_free(&mod->names);
    }
    return proc_file_rc;
}

}  // namespace talvek
