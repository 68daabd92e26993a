// The PE load test: each imported module loaded and each entry resolved, with the report.
#include <cstring>

#include "driver/driver.h"
#include "driver/registry.h"
#include "driver/run_record.h"
#include "pe/pe_internal.h"
#include "platform/loader.h"

namespace talvek {

// Resolves every entry of the list at pHead in hmod, newest first, and reports what does not
// resolve (and, with -v, what does). Clears *pOK on a failure.
static void resolve_entries(const PE_MODULE* mod, REF_NODE32* pHead, HMODULE hmod, const char* tbuf, bool* pOK) {
    for (REF_NODE32* pNode = pHead; pNode; pNode = pNode->next) {
        bool fOrdinal = pNode->type == REF_BY_ORDINAL;
        uintptr_t ulrc = 0;
        uint32_t ulErr = LOAD_ERR_PROC_NOT_FOUND;
        // Ordinals above 0xFFFF cannot be asked for by number (the loader would take the
        // number for a name pointer); they are reported as unresolved.
        if (!fOrdinal || pNode->num <= PE_MAX_ORDINAL) {
            ulrc = GetProcAddress(hmod, reinterpret_cast<const char*>(pNode->num));
            if (ulrc == 0) ulErr = GetLastError();
        }
        record_pe_entry(pNode, ulrc ? 0 : int32_t(ulErr));
        if (ulrc == 0) {
            *pOK = false;
            levelprint(stdout);
            fprintf(stdout, Err_NoProcMain, tbuf, mod->modname);
            levelprint(stdout);
            if (fOrdinal)
                fprintf(stdout, Err_NoProcOrd, unsigned(pNode->num));
            else
                fprintf(stdout, Err_NoProcName, reinterpret_cast<const char*>(pNode->num));
            levelprint(stdout);
            fprintf(stdout, Err_GetProcRet, int(ulErr));
        } else if (LoadVerbose) {
            levelprint(stdout);
            if (fOrdinal)
                fprintf(stdout, "  %3d (0x%04x)", int(pNode->num), unsigned(pNode->num));
            else
                fprintf(stdout, "  %s", reinterpret_cast<const char*>(pNode->num));
            fputs(ulrc == LOAD_CALL_GATE ? " (call gate)\n" : "\n", stdout);
        }
    }
}

// The module test of the DLL tbuf, whose entries are the list at pHead: load it, resolve
// its entries, report, and follow it with -!. Clears *pOK on a failure.
static void test_module(PE_MODULE* mod, const char* tbuf, REF_NODE32* pHead, bool fDelayLoaded, bool* pOK) {
    record_import(tbuf);
    if (fDelayLoaded) record_delay_loaded();
    if (!silent_recurse) {
        levelprint(stdout);
        fprintf(stdout, Msg_AttemptNT, tbuf);
    }
    // A module's DLLs go into the process of its own machine; the recursion into the
    // previous DLL may have selected another.
    loader_select_process(mod->Machine);
    HMODULE hmod = LoadLibraryA(tbuf);
    if (!hmod) {
        fputs(Msg_NotLoaded, stdout);
        uint32_t ulrc = GetLastError();
        levelprint(stdout);
        fprintf(stdout, Err_LoadModuleNT, tbuf, int(ulrc));
        record_load(false, nullptr, int32_t(ulrc));
        record_unchecked_pe_entries(pHead);
        *pOK = false;
        return;
    }
    if (GetModuleFileNameA(hmod, mod->modname, PE_MODNAME_SIZE) == 0) strcpy(mod->modname, "?");
    if (!silent_recurse) fprintf(stdout, Msg_ModName, mod->modname);
    record_load(true, mod->modname, 0);
    resolve_entries(mod, pHead, hmod, tbuf, pOK);
    if (recurse) proc_file(mod->modname, FALSE);
}

void pe_report(PE_MODULE* mod, const char* filespec) {
    // The search starts in the directory of the module named on the command line, which
    // is always the registry's first record.
    if (pLoadedFiles) loader_set_application_path(pLoadedFiles->filespec);
    bool OK = true;
    for (int32_t i = 1; i <= mod->numMods; i++)
        test_module(mod, mod->ModuleNameTblP[i], mod->ModRefTblP.heads[i], false, &OK);
    // With -d the delay-loaded DLLs follow, tested alike; the loader itself never loads them.
    if (delay_load) {
        levelprint(stdout);
        fprintf(stdout, Msg_DelayFound, mod->numDelayMods);
        for (int32_t i = 1; i <= mod->numDelayMods; i++)
            test_module(mod, mod->DelayNameTblP[i], mod->DelayRefTblP.heads[i], true, &OK);
    }
    if (OK && !silent_recurse) {
        levelprint(stdout);
        fprintf(stdout, Msg_OK, filespec);
    }
}

}  // namespace talvek
