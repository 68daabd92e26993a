// proc_file32: one LX module from its header to the common end.
#include "lx/lx.h"

#include <memory>
#include <new>

#include "common/report.h"
#include "lx/lx_internal.h"

namespace talvek {

int32_t proc_file32(const char* filespec, BOOL /*fAbort*/, const DOS_EXE_HDR* DosExeHeaderP, FILE* ifile) {
    FILE_PTR file(ifile);
    // The working state lives on the heap, so a long chain of nested modules costs each
    // frame no more than a pointer.
    std::unique_ptr<LX_MODULE> mod(new (std::nothrow) LX_MODULE{});
    if (!mod) return report_error(ERR_NO_MEMORY, RC_NO_MEMORY);
    mod->filespec = filespec;
    int32_t proc_file_rc = lx_read_fixup_section(mod.get(), DosExeHeaderP, file.get());
    // Everything needed is in memory now; the file is not held open while the DLLs are checked.
    file.reset();
    if (proc_file_rc == RC_OK) proc_file_rc = lx_read_name_tables(mod.get());
    if (proc_file_rc == RC_OK) {
        lx_decode_fixups(mod.get());
        proc_file_rc = lx_report(mod.get(), filespec);   // the recursion happens in here
    }
    // Common end: the buffer and the name table go with their owners, the lists here.
    free_ref_lists(&mod->ModRefTblP);
    return proc_file_rc;
}

}  // namespace talvek
