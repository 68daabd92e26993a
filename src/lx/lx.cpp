// The LX processor: one module from its header to the common end, its imports reported one
// at a time as the run asks.
#include "lx/lx.h"

#include <memory>
#include <new>

#include "common/report.h"
#include "lx/lx_internal.h"

namespace talvek {

namespace {

struct LX_CHECK : MODULE_CHECK {
    LX_MODULE mod{};
    uint32_t iNext = 1;

    bool next_import(CHECK_CONTEXT* ctx, FOLLOW* next) override {
        if (iNext > mod.cMods) return false;
        lx_report_import(ctx, &mod, iNext++, next);
        return true;
    }

    int32_t finish(CHECK_CONTEXT* ctx) override {
        report_simple(ctx->sink, RPT_ALL_LOADED, mod.filespec);
        // Common end: the buffer and the name table go with their owners, the lists here.
        free_ref_lists(&mod.refs);
        return RC_OK;
    }
};

}  // namespace

int32_t lx_begin_check(CHECK_CONTEXT* ctx, const char* filespec, const DOS_EXE_HDR* DosExeHeaderP, FILE* ifile,
                       std::unique_ptr<MODULE_CHECK>* check) {
    FILE_PTR file(ifile);
    // The working state lives on the heap, so a long chain of nested modules costs the run's
    // stack one pointer each.
    std::unique_ptr<LX_CHECK> lx(new (std::nothrow) LX_CHECK);
    if (!lx) return report_error(ctx->sink, ERR_NO_MEMORY, RC_NO_MEMORY);
    LX_MODULE* mod = &lx->mod;
    mod->filespec = filespec;
    int32_t rc = lx_read_fixup_section(ctx, mod, DosExeHeaderP, file.get());
    // Everything needed is in memory now; the file is not held open while the DLLs are checked.
    file.reset();
    if (rc == RC_OK) rc = lx_read_name_tables(ctx, mod);
    if (rc == RC_OK) rc = lx_decode_fixups(ctx, mod);
    if (rc == RC_OK) *check = std::move(lx);
    return rc;
}

}  // namespace talvek
