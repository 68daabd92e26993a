// The PE processor: reads a module whole and closes it, then tests its imports one at a time
// as the run asks, the delay-loaded ones last.
#include "pe/pe.h"

#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "common/report.h"
#include "pe/pe_internal.h"

namespace talvek {

namespace {

struct PE_CHECK : MODULE_CHECK {
    std::unique_ptr<PE_MODULE> mod;
    std::string filespec;
    int32_t iNext = 1;         // the next static import, then past numMods the delay-loaded ones
    bool fDelayCounted = false;
    int32_t iNextDelay = 1;
    bool OK = true;            // every DLL so far loaded and every entry resolved

    bool next_import(CHECK_CONTEXT* ctx, FOLLOW* next) override {
        if (iNext <= mod->numMods) {
            pe_test_import(ctx, mod.get(), iNext++, false, &OK, next);
            return true;
        }
        // With -d the delay-loaded DLLs follow, tested alike; the loader itself never loads them.
        if (!ctx->opt->delay_load) return false;
        if (!fDelayCounted) {
            fDelayCounted = true;
            REPORT_EVENT ev{RPT_COUNT};
            ev.code = mod->numDelayMods;
            ev.fDelay = true;
            report(ctx->sink, ev);
        }
        if (iNextDelay > mod->numDelayMods) return false;
        pe_test_import(ctx, mod.get(), iNextDelay++, true, &OK, next);
        return true;
    }

    int32_t finish(CHECK_CONTEXT* ctx) override {
        if (OK) report_simple(ctx->sink, RPT_ALL_LOADED, filespec);
        return RC_OK;
    }
};

}  // namespace

int32_t pe_begin_check(CHECK_CONTEXT* ctx, const char* filespec, const DOS_EXE_HDR* DosExeHeaderP, FILE* ifile,
                       std::unique_ptr<MODULE_CHECK>* check) {
    FILE_PTR file(ifile);
    // The module's record lives on the heap, so a deep chain of DLLs costs little memory
    // beyond its tables.
    std::unique_ptr<PE_CHECK> pe(new (std::nothrow) PE_CHECK);
    if (pe) pe->mod.reset(new (std::nothrow) PE_MODULE{});
    if (!pe || !pe->mod) return report_error(ctx->sink, ERR_NO_MEMORY, RC_NO_MEMORY);
    pe->filespec = filespec;
    pe->mod->filespec = pe->filespec;
    int32_t rc = pe_read_module(ctx, pe->mod.get(), DosExeHeaderP, file.get());
    // A module whose own image the loader would refuse gets no closing line.
    pe->OK = !pe->mod->fRefused;
    // Everything is read: the file is closed before any DLL is checked.
    file.reset();
    if (rc == RC_OK) *check = std::move(pe);
    return rc;
}

PE_MODULE::~PE_MODULE() {
    free_ref_lists(&refs);
    free_ref_lists(&delayRefs);
    free(dllNames);
    free(delayDllNames);
    pool_free(&names);
}

}  // namespace talvek
