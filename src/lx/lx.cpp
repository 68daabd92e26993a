// proc_file32: one LX module from its header to the common end.
#include "lx/lx.h"

#include "driver/messages.h"
#include "lx/lx_internal.h"

namespace talvek {

int32_t proc_file32(const char* filespec, BOOL /*fAbort*/, const DOS_EXE_HDR* DosExeHeaderP, FILE* ifile) {
    FILE_PTR file(ifile);
    LX_MODULE mod{};
    mod.filespec = filespec;
    int32_t proc_file_rc = lx_read_fixup_section(&mod, DosExeHeaderP, file.get());
    // Everything needed is in memory now; the file is not held open while the DLLs are checked.
    file.reset();
    if (proc_file_rc == RC_OK) proc_file_rc = lx_read_name_tables(&mod);
    if (proc_file_rc == RC_OK) {
        lx_decode_fixups(&mod);
        proc_file_rc = lx_report(&mod, filespec);   // the recursion happens in here
    }
    // Common end: the buffer and the name table go with their owners, the lists here.
    free_ref_lists(&mod.ModRefTblP);
    return proc_file_rc;
}

}  // namespace talvek
