// The PE load test: each imported module loaded and each entry resolved, with the report.
#include <cstring>

#include "common/options.h"
#include "common/report.h"
#include "pe/pe_internal.h"
#include "platform/loader.h"

namespace talvek {

// Reports one entry of the last import: code 0 resolved, the loader's error (with its cause
// when the loader gave one), or ENTRY_NOT_ASKED.
static void report_entry(const REF_NODE32* pNode, int32_t code, bool fCallGate, const LOAD_FAILURE* cause = nullptr) {
    REPORT_EVENT ev{RPT_ENTRY};
    ev.cause = cause;
    ev.fOrdinal = pNode->type == REF_BY_ORDINAL;
    if (ev.fOrdinal)
        ev.ordinal = uint32_t(pNode->num);
    else
        ev.text = reinterpret_cast<const char*>(pNode->num);
    ev.code = code;
    ev.fCallGate = fCallGate;
    report(ev);
}

// Resolves every entry of the list at pHead in hmod, newest first. Clears *pOK on a failure.
[[gnu::noinline]] static void resolve_entries(REF_NODE32* pHead, HMODULE hmod, bool* pOK) {
    for (REF_NODE32* pNode = pHead; pNode; pNode = pNode->next) {
        bool fOrdinal = pNode->type == REF_BY_ORDINAL;
        uintptr_t ulrc = 0;
        LOAD_FAILURE why;
        why.error = LOAD_ERR_PROC_NOT_FOUND;
        // Ordinals above 0xFFFF cannot be asked for by number (the loader would take the
        // number for a name pointer); they are reported as unresolved.
        if (!fOrdinal || pNode->num <= PE_MAX_ORDINAL) ulrc = loader_resolve(hmod, reinterpret_cast<const char*>(pNode->num), &why);
        if (ulrc == 0) *pOK = false;
        report_entry(pNode, ulrc ? 0 : int32_t(why.error), ulrc == LOAD_CALL_GATE, ulrc ? nullptr : &why);
    }
}

// Loads tbuf, whose entries are the list at pHead. When it does not load: reports that with
// its cause, its entries as not asked, and hands the file found for it on to be followed
// (checked with -x); null then. Out of line, so the recursion through a DLL that loads keeps
// none of this on the stack.
[[gnu::noinline]] static HMODULE load_dll(const char* tbuf, const REF_NODE32* pHead) {
    LOAD_FAILURE why;
    HMODULE hmod = loader_load(tbuf, &why);
    if (hmod) return hmod;
    REPORT_EVENT ev{RPT_NOT_LOADED};
    ev.code = int32_t(why.error);
    ev.cause = &why;
    report(ev);
    for (const REF_NODE32* pNode = pHead; pNode; pNode = pNode->next) report_entry(pNode, ENTRY_NOT_ASKED, false);
    if (!why.chain.empty() && !why.chain[0].file.empty()) report_follow(why.chain[0].file, {}, false, true);
    return nullptr;
}

[[gnu::noinline]] static void report_import(const char* tbuf, bool fDelayLoaded) {
    REPORT_EVENT ev{RPT_IMPORT};
    ev.text = tbuf;
    ev.fDelay = fDelayLoaded;
    report(ev);
}

// Reports that the last import loaded as hmod, by its path in mod->modname, and under a
// target Windows where from. Returns false for a stand-in of a Windows DLL, which has no file
// to follow.
[[gnu::noinline]] static bool report_loaded(PE_MODULE* mod, HMODULE hmod) {
    REPORT_EVENT ev{RPT_LOADED};
    LOADED_FROM from = loader_loaded_from(hmod);
    ev.origin = from.origin;
    ev.fWindows = from.fWindows;
    ev.machine = mod->Machine;
    bool fFile = from.origin != ORIGIN_ABSENT;
    if (!fFile)
        mod->modname[0] = '\0';
    else if (GetModuleFileNameA(hmod, mod->modname, PE_MODNAME_SIZE) == 0)
        strcpy(mod->modname, "?");
    ev.path = mod->modname;
    report(ev);
    return fFile;
}

// The module test of the DLL tbuf, whose entries are the list at pHead: load it, resolve
// its entries, report, and hand its file on to be followed. Clears *pOK on a failure.
static void test_module(PE_MODULE* mod, const char* tbuf, REF_NODE32* pHead, bool fDelayLoaded, bool* pOK) {
    report_import(tbuf, fDelayLoaded);
    // A module's DLLs go into the process of its own machine; the recursion into the
    // previous DLL may have selected another.
    loader_select_process(mod->Machine);
    HMODULE hmod = load_dll(tbuf, pHead);
    if (!hmod) {
        *pOK = false;
        return;
    }
    bool fFile = report_loaded(mod, hmod);
    resolve_entries(pHead, hmod, pOK);
    if (fFile) report_follow(mod->modname);
}

void pe_report(PE_MODULE* mod, const char* filespec) {
    bool OK = true;
    for (int32_t i = 1; i <= mod->numMods; i++)
        test_module(mod, mod->ModuleNameTblP[i], mod->ModRefTblP.heads[i], false, &OK);
    // With -d the delay-loaded DLLs follow, tested alike; the loader itself never loads them.
    if (delay_load) {
        REPORT_EVENT ev{RPT_COUNT};
        ev.code = mod->numDelayMods;
        ev.fDelay = true;
        report(ev);
        for (int32_t i = 1; i <= mod->numDelayMods; i++)
            test_module(mod, mod->DelayNameTblP[i], mod->DelayRefTblP.heads[i], true, &OK);
    }
    if (OK) report_simple(RPT_ALL_LOADED, filespec);
}

}  // namespace talvek
