// The 16-bit NE processor: its phases in order and its common end, the imports reported one
// at a time as the run asks.
#include "ne/ne.h"

#include <memory>
#include <new>

#include "common/report.h"
#include "ne/ne_internal.h"

namespace talvek {

namespace {

struct NE_CHECK : MODULE_CHECK {
    NE_MODULE mod{};
    uint32_t iNext = 1;

    bool next_import(CHECK_CONTEXT* /*ctx*/, FOLLOW* next) override {
        if (mod.fImportsNothing || iNext > mod.KAVRIExeHeader.num_modref) return false;
        ne_report_import(&mod, iNext++, next);
        return true;
    }

    int32_t finish(CHECK_CONTEXT* ctx) override {
        if (!mod.fImportsNothing) {
            ne_list_chains(&mod);
            ne_list_segments(&mod);
            ne_list_imports(&mod);
            report_simple(ctx->sink, RPT_ALL_LOADED, mod.filespec);
        }
        // Common end: the lists are the one thing no owner releases by itself.
        free_ref_lists(&mod.refs);
        return RC_OK;
    }
};

}  // namespace

int32_t ne_begin_check(CHECK_CONTEXT* ctx, const char* filespec, const DOS_EXE_HDR* DosExeHeaderP, FILE* ifile,
                       std::unique_ptr<MODULE_CHECK>* check) {
    // The working state lives on the heap, so a long chain of nested modules costs the run's
    // stack one pointer each.
    std::unique_ptr<NE_CHECK> ne(new (std::nothrow) NE_CHECK);
    FILE_PTR file(ifile);
    if (!ne) return report_error(ctx->sink, ERR_NO_MEMORY, RC_NO_MEMORY);
    NE_MODULE* mod = &ne->mod;
    mod->ctx = ctx;
    mod->filespec = filespec;
    mod->file = std::move(file);
    int32_t rc = ne_read_tables(mod, DosExeHeaderP);
    if (rc == 0 && !mod->fImportsNothing) rc = ne_scan_relocs(mod);
    // Nothing after the scan reads the file, so it is closed before any DLL is checked.
    mod->file.reset();
    if (rc == 0) *check = std::move(ne);
    return rc;
}

}  // namespace talvek
