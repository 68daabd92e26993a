// The 16-bit NE processor: its seven phases in order and its common end.
#include "ne/ne.h"

#include <memory>
#include <new>

#include "common/report.h"
#include "ne/ne_internal.h"

namespace talvek {

int32_t proc_file16(const char* filespec, BOOL /*fAbort*/, const DOS_EXE_HDR* DosExeHeaderP, FILE* ifile) {
    // The working state lives on the heap, so a long chain of nested modules costs each
    // frame no more than a pointer.
    std::unique_ptr<NE_MODULE> mod(new (std::nothrow) NE_MODULE{});
    FILE_PTR file(ifile);
    if (!mod) return report_error(ERR_NO_MEMORY, RC_NO_MEMORY);
    mod->filespec = filespec;
    mod->file = std::move(file);
    int32_t proc_file_rc = ne_read_tables(mod.get(), DosExeHeaderP);
    if (proc_file_rc == 0 && !mod->fImportsNothing) proc_file_rc = ne_scan_relocs(mod.get());
    // Nothing after the scan reads the file, so it is closed before any DLL is checked.
    mod->file.reset();
    if (proc_file_rc == 0 && !mod->fImportsNothing) {
        ne_report(mod.get());
        ne_list_chains(mod.get());
        ne_list_segments(mod.get());
        ne_list_imports(mod.get());
        report_simple(RPT_ALL_LOADED, filespec);
    }
    // Common end: the lists are the one thing no owner releases by itself.
    free_ref_lists(&mod->ModRefBaseP);
    return proc_file_rc;
}

}  // namespace talvek
