// The PE load test: each imported module loaded and each entry resolved, with the report.
#include <string>
#include <unordered_set>
#include <vector>

#include "common/report.h"
#include "common/text.h"
#include "pe/pe_internal.h"
#include "platform/loader.h"

namespace talvek {

// Reports one entry of the last import: code 0 resolved, the loader's error (with its cause
// when the loader gave one), or ENTRY_NOT_ASKED.
static void report_entry(REPORT_SINK* sink, const REF_NODE32* pNode, int32_t code, bool fCallGate,
                         const LOAD_FAILURE* cause = nullptr) {
    REPORT_EVENT ev{RPT_ENTRY};
    ev.cause = cause;
    ev.fOrdinal = pNode->type == REF_BY_ORDINAL;
    if (ev.fOrdinal)
        ev.ordinal = uint32_t(pNode->key);
    else
        ev.text = ref_name_copy(pNode);
    ev.code = code;
    ev.fCallGate = fCallGate;
    report(sink, ev);
}

// What the loader knows of the module h, in ev: under a target Windows where it came from, and
// whether it is the host.
static void describe_origin(CHECK_CONTEXT* ctx, const PE_MODULE* mod, HMODULE h, REPORT_EVENT* ev, LOADED_FROM* from) {
    *from = loader_loaded_from(ctx->loader, h);
    ev->origin = from->origin;
    ev->fWindows = from->fWindows;
    ev->fWineBuiltin = from->fWineBuiltin;
    ev->fHost = from->fHost;
    ev->machine = mod->Machine;
}

// Under a target Windows: a DLL other than the import's own in which a forwarder resolved one
// of its entries. Part of what the program needs, it is judged as an import is; a stand-in has
// no file to judge.
static void report_forwarded(CHECK_CONTEXT* ctx, const PE_MODULE* mod, HMODULE h) {
    REPORT_EVENT ev{RPT_FORWARDED};
    LOADED_FROM from;
    describe_origin(ctx, mod, h, &ev, &from);
    std::string path = from.origin == ORIGIN_ABSENT ? std::string() : loader_module_path(ctx->loader, h);
    if (path.empty()) return;
    ev.path = path;
    report(ctx->sink, ev);
}

// Resolves every entry of the list at pHead in hmod, newest first. Clears *pOK on a failure.
// Under a target Windows, then reports each other DLL a forwarder resolved an entry in, once.
static void resolve_entries(CHECK_CONTEXT* ctx, const PE_MODULE* mod, REF_NODE32* pHead, HMODULE hmod, bool* pOK) {
    bool fJudged = ctx->opt->windows_version >= 0;
    std::vector<HMODULE> forwarded;
    std::unordered_set<HMODULE> seen;
    for (REF_NODE32* pNode = pHead; pNode; pNode = pNode->next) {
        bool fOrdinal = pNode->type == REF_BY_ORDINAL;
        uintptr_t ulrc = 0;
        LOAD_FAILURE why;
        why.error = LOAD_ERR_PROC_NOT_FOUND;
        HMODULE resolvedIn = hmod;
        // An ordinal is asked for as the name pointer's value itself, as the loader takes it.
        // Ordinals above 0xFFFF cannot be asked for by number (the loader would take the
        // number for a name pointer); they are reported as unresolved.
        if (!fOrdinal || pNode->key <= PE_MAX_ORDINAL)
            ulrc = loader_resolve(ctx->loader, hmod, reinterpret_cast<const char*>(pNode->key), &why,
                                  fJudged ? &resolvedIn : nullptr);
        if (ulrc == 0) *pOK = false;
        report_entry(ctx->sink, pNode, ulrc ? 0 : int32_t(why.error), ulrc == LOAD_CALL_GATE, ulrc ? nullptr : &why);
        if (ulrc && resolvedIn && resolvedIn != hmod && seen.insert(resolvedIn).second) forwarded.push_back(resolvedIn);
    }
    for (HMODULE h : forwarded) report_forwarded(ctx, mod, h);
}

// Without --host, a DLL's import of a program (a name ending in ".exe") names the program that
// loads the DLL: the process's main module, there wherever the DLL is loaded.
static bool names_loading_program(const CHECK_CONTEXT* ctx, const PE_MODULE* mod, std::string_view dll) {
    return mod->fDll && ctx->opt->host.empty() && dll.size() >= 4 &&
           equal_ignoring_case(dll.substr(dll.size() - 4), ".exe");
}

// Reports the import of the program that loads the module, which has no file to follow, with
// its entries as not asked.
static void report_loading_program(CHECK_CONTEXT* ctx, const REF_NODE32* pHead) {
    REPORT_EVENT ev{RPT_LOADED};
    ev.fHost = true;
    report(ctx->sink, ev);
    for (const REF_NODE32* pNode = pHead; pNode; pNode = pNode->next) report_entry(ctx->sink, pNode, ENTRY_NOT_ASKED, false);
}

// Loads dll, whose entries are the list at pHead, for mod. When it does not load: reports that
// with its cause and its entries as not asked, and names the file found for it as the one to
// follow (checked with -x), or reports it as the program that loads mod; null then.
static HMODULE load_dll(CHECK_CONTEXT* ctx, const PE_MODULE* mod, const char* dll, const REF_NODE32* pHead,
                        FOLLOW* next) {
    LOAD_FAILURE why;
    HMODULE hmod = loader_load(ctx->loader, dll, &why);
    if (hmod) return hmod;
    if (names_loading_program(ctx, mod, dll)) {
        report_loading_program(ctx, pHead);
        return nullptr;
    }
    REPORT_EVENT ev{RPT_NOT_LOADED};
    ev.code = int32_t(why.error);
    ev.cause = &why;
    ev.machine = mod->Machine;
    report(ctx->sink, ev);
    for (const REF_NODE32* pNode = pHead; pNode; pNode = pNode->next) report_entry(ctx->sink, pNode, ENTRY_NOT_ASKED, false);
    if (!why.chain.empty() && !why.chain[0].file.empty()) {
        next->file = why.chain[0].file;
        next->fFailed = true;
    }
    return nullptr;
}

// Reports that the last import loaded as hmod, by its path in mod->modname, and under a
// target Windows where from. Returns false for a stand-in of a Windows DLL, which has no file
// to follow.
static bool report_loaded(CHECK_CONTEXT* ctx, PE_MODULE* mod, HMODULE hmod) {
    REPORT_EVENT ev{RPT_LOADED};
    LOADED_FROM from;
    describe_origin(ctx, mod, hmod, &ev, &from);
    bool fFile = from.origin != ORIGIN_ABSENT;
    mod->modname = fFile ? loader_module_path(ctx->loader, hmod) : std::string();
    if (fFile && mod->modname.empty()) mod->modname = "?";
    ev.path = mod->modname;
    report(ctx->sink, ev);
    // Files of --ship-from folders that the search passed over are named: what the user meant
    // to ship is not what is checked.
    if (!from.passedOver.empty()) {
        LOAD_FAILURE passed;
        passed.passedOver = std::move(from.passedOver);
        passed.passedOverMachines = std::move(from.passedOverMachines);
        REPORT_EVENT note{RPT_NOTE};
        note.note = NOTE_PASSED_OVER;
        note.cause = &passed;
        note.machine = mod->Machine;
        report(ctx->sink, note);
    }
    return fFile;
}

void pe_test_import(CHECK_CONTEXT* ctx, PE_MODULE* mod, int32_t i, bool fDelay, bool* pOK, FOLLOW* next) {
    const char* dll = fDelay ? mod->delayDllNames[i] : mod->dllNames[i];
    REF_NODE32* pHead = fDelay ? mod->delayRefs.heads[i] : mod->refs.heads[i];
    REPORT_EVENT ev{RPT_IMPORT};
    ev.text = dll;
    ev.fDelay = fDelay;
    report(ctx->sink, ev);
    // A module's DLLs go into the process of its own machine; the check of the previous DLL
    // may have selected another.
    loader_select_process(ctx->loader, mod->Machine);
    HMODULE hmod = load_dll(ctx, mod, dll, pHead, next);
    if (!hmod) {
        // The import of the program that loads the module is no failure.
        if (!names_loading_program(ctx, mod, dll)) *pOK = false;
        return;
    }
    bool fFile = report_loaded(ctx, mod, hmod);
    resolve_entries(ctx, mod, pHead, hmod, pOK);
    if (fFile) next->file = mod->modname;
}

}  // namespace talvek
