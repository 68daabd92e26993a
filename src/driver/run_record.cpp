// The record of a run's checks, filled from its events.
#include "driver/run_record.h"

#include <algorithm>

#include "common/text.h"
#include "driver/messages.h"
#include "platform/fs.h"
#include "platform/windows_dlls.h"

namespace talvek {

static RUN_MODULE* current_module(RUN_RECORD* rec) {
    if (rec->stack.empty() || rec->stack.back() < 0) return nullptr;
    return &rec->modules[size_t(rec->stack.back())];
}

static RUN_IMPORT* current_import(RUN_RECORD* rec) {
    RUN_MODULE* pMod = current_module(rec);
    return pMod && !pMod->imports.empty() ? &pMod->imports.back() : nullptr;
}

static int32_t current_index(RUN_RECORD* rec) { return rec->stack.empty() ? -1 : rec->stack.back(); }

// The base names of the modules from the named one down to module i, along the path that
// first reached i.
static std::vector<std::string> chain_to(RUN_RECORD* rec, int32_t i) {
    std::vector<std::string> chain;
    for (; i >= 0; i = rec->modules[size_t(i)].iParent)
        chain.push_back(std::string(base_name(rec->modules[size_t(i)].filespec)));
    std::reverse(chain.begin(), chain.end());
    return chain;
}

// Adds chain to the problem entered under key, unless it has it: false when there is none.
static bool add_way(RUN_RECORD* rec, const std::string& key, std::vector<std::string>* chain) {
    auto found = rec->problemByLeaf.find(key);
    if (found == rec->problemByLeaf.end()) return false;
    std::vector<std::vector<std::string>>& chains = rec->problems[found->second].chains;
    if (std::find(chains.begin(), chains.end(), *chain) == chains.end()) chains.push_back(std::move(*chain));
    return true;
}

// Enters what a failure of the current import comes down to: the last step of its cause,
// which self (the import or entry that failed) stands for when the cause has no steps. The
// chain runs through the current module and each module of the cause that imports the next.
// A leaf met before gains a chain rather than a second problem.
static void record_leaf(RUN_RECORD* rec, const LOAD_FAILURE& cause, const LOAD_STEP& self) {
    const LOAD_STEP& leaf = cause.chain.size() > 1 ? cause.chain.back() : self;
    std::vector<std::string> chain = chain_to(rec, current_index(rec));
    for (size_t j = 1; j < cause.chain.size(); j++) chain.push_back(std::string(base_name(cause.chain[j].importer)));
    std::string key = (leaf.fEntry ? "e" : "d") + std::to_string(leaf.error) + ":" + ascii_lower(leaf.dll);
    if (leaf.fEntry) key += leaf.fOrdinal ? "#" + std::to_string(leaf.ordinal) : "." + leaf.entry;
    if (add_way(rec, key, &chain)) return;
    RUN_PROBLEM p;
    p.kind = leaf.fEntry ? PROBLEM_NOT_RESOLVED : PROBLEM_NOT_LOADED;
    p.dll = leaf.dll;
    p.fOrdinal = leaf.fOrdinal;
    p.ulOrdinal = leaf.ordinal;
    p.entry = leaf.entry;
    p.error = int32_t(leaf.error);
    p.fCauseUnknown = cause.fUnknown;
    p.reason = cause.reason;
    p.passedOver = cause.passedOver;
    if (!cause.chain.empty()) {
        p.outside = cause.chain.back().outside;
        p.outsideFile = cause.chain.back().outsideFile;
    }
    p.chains.push_back(std::move(chain));
    rec->problemByLeaf.emplace(std::move(key), rec->problems.size());
    rec->problems.push_back(std::move(p));
}

static void record_enter(RUN_RECORD* rec, const char* filespec, bool fNamed) {
    RUN_IMPORT* pImport = current_import(rec);
    int32_t iParent = current_index(rec);
    auto found = rec->byName.find(filespec);
    // A module named with -m is checked again, with a record of its own.
    if (found != rec->byName.end() && !fNamed) {
        // Already checked: the registry skips it, the import still leads to it.
        if (pImport && pImport->iModule < 0) pImport->iModule = found->second;
        rec->stack.push_back(-1);
        return;
    }
    int32_t i = int32_t(rec->modules.size());
    RUN_MODULE m;
    m.filespec = filespec;
    m.level = uint32_t(rec->stack.size()) + 1;
    m.iParent = iParent;
    // What a DLL of Windows needs is Windows' own concern, unless the program brings that DLL
    // in its own folder.
    if (pImport) {
        m.origin = pImport->origin;
        m.fWindows = pImport->fWindows;
        m.fWindowsSide = (pImport->fWindows && pImport->origin != ORIGIN_APPLICATION) ||
                         pImport->origin == ORIGIN_HOST || rec->modules[size_t(iParent)].fWindowsSide;
    }
    rec->modules.push_back(std::move(m));
    rec->byName.emplace(filespec, i);
    // An import that leads to a module named with -m leads there by its full path.
    if (fNamed) rec->byName.emplace(normal_path(filespec), i);
    if (fNamed && !rec->named.empty() && rec->named.back().iModule < 0) rec->named.back().iModule = i;
    if (pImport && pImport->iModule < 0) pImport->iModule = i;
    rec->stack.push_back(i);
}

static void record_opened(RUN_RECORD* rec) {
    if (RUN_MODULE* pMod = current_module(rec)) pMod->fOpened = true;
}

static void record_leave(RUN_RECORD* rec, int32_t rc) {
    if (rec->stack.empty()) return;
    int32_t i = rec->stack.back();
    rec->stack.pop_back();
    if (i < 0) return;
    RUN_MODULE* pMod = &rec->modules[size_t(i)];
    pMod->fDone = true;
    pMod->result = rc;
    // A DLL reached by recursion that did not check out is missing for the module that
    // needs it; the named module's own result is the exit code instead, unless -m checks
    // several, where a module named that did not check out is counted too (with no chain).
    if (rc != 0 && (pMod->iParent >= 0 || rec->fSeveralNamed)) {
        RUN_PROBLEM p;
        p.kind = pMod->fOpened ? PROBLEM_CHECK_FAILED : PROBLEM_NOT_OPENED;
        p.dll = std::string(pMod->iParent >= 0 ? base_name(pMod->filespec) : std::string_view(pMod->filespec));
        p.error = rc;
        p.iFailed = i;
        if (pMod->iParent >= 0) p.chains.push_back(chain_to(rec, pMod->iParent));
        rec->problems.push_back(std::move(p));
    }
}

static void record_format(RUN_RECORD* rec, const char* format) {
    if (RUN_MODULE* pMod = current_module(rec)) pMod->format = format;
}

static void record_error(RUN_RECORD* rec, const char* msg, std::string_view arg) {
    RUN_MODULE* pMod = current_module(rec);
    if (!pMod) return;
    std::string text = msg;
    size_t at = text.find("%s");
    if (at != std::string::npos) text.replace(at, 2, arg);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!pMod->error.empty()) pMod->error += '\n';
    pMod->error += text;
}

static void record_import(RUN_RECORD* rec, std::string_view dll, bool fDelayLoaded) {
    RUN_MODULE* pMod = current_module(rec);
    if (!pMod) return;
    pMod->imports.emplace_back();
    pMod->imports.back().dll = std::string(dll);
    pMod->imports.back().fDelayLoaded = fDelayLoaded;
}

static void record_load(RUN_RECORD* rec, bool fLoaded, std::string_view path, int32_t error, const LOAD_FAILURE* cause) {
    RUN_IMPORT* pImport = current_import(rec);
    if (!pImport) return;
    pImport->fLoadTested = true;
    pImport->fLoaded = fLoaded;
    pImport->path = std::string(path);
    pImport->load_error = error;
    if (fLoaded) return;
    if (cause) pImport->cause = *cause;
    // Without a cause the DLL itself is what is missing.
    LOAD_STEP self;
    self.dll = pImport->dll;
    self.error = uint32_t(error);
    record_leaf(rec, pImport->cause, self);
}

static void record_entry(RUN_RECORD* rec, bool fOrdinal, uint32_t ulOrdinal, std::string_view name, int32_t outcome,
                         const LOAD_FAILURE* cause) {
    RUN_IMPORT* pImport = current_import(rec);
    if (!pImport) return;
    pImport->entries.push_back(
        {fOrdinal, fOrdinal ? ulOrdinal : 0, fOrdinal ? std::string() : std::string(name), outcome, {}});
    if (outcome == 0 || outcome == ENTRY_NOT_ASKED) return;
    RUN_ENTRY& e = pImport->entries.back();
    if (cause) e.cause = *cause;
    LOAD_STEP self;
    self.dll = pImport->dll;
    self.fEntry = true;
    self.fOrdinal = fOrdinal;
    self.ordinal = e.ulOrdinal;
    self.entry = e.name;
    self.error = uint32_t(outcome);
    record_leaf(rec, e.cause, self);
}

// Under --windows: where the DLL that just loaded came from, and what that means for shipping
// the program. A DLL the target Windows lacks is to ship when a module of the program needs
// it (not one only a DLL of Windows leads to), unless it lies in the application folder
// (where --ship=all takes it too); found in a system folder, it is missing on a clean Windows.
static void record_shipping(RUN_RECORD* rec, const REPORT_EVENT& ev) {
    RUN_MODULE* pMod = current_module(rec);
    RUN_IMPORT* pImport = current_import(rec);
    if (!pImport || ev.origin == ORIGIN_UNKNOWN) return;
    pImport->origin = ev.origin;
    pImport->fWindows = ev.fWindows;
    if (pMod->windows.empty()) pMod->windows = windows_display_name(WINDOWS_VERSION(rec->opt->windows_version), ev.machine);
    // What the host brings is the host's: not shipped, and not missing from a clean Windows.
    if (pMod->fWindowsSide || ev.fWindows || ev.origin == ORIGIN_HOST ||
        (ev.origin == ORIGIN_APPLICATION && !rec->opt->ship_all))
        return;
    std::string file(ev.path);
    if (rec->shipSet.insert(file).second) rec->ship.push_back(file);
    if (ev.origin != ORIGIN_SYSTEM) return;
    std::vector<std::string> chain = chain_to(rec, current_index(rec));
    if (add_way(rec, "w:" + file, &chain)) return;
    RUN_PROBLEM p;
    p.kind = PROBLEM_NOT_IN_WINDOWS;
    p.dll = std::string(base_name(file));
    p.file = file;
    p.windows = pMod->windows;
    p.fVcRuntime = is_vc_runtime_dll(p.dll);
    p.chains.push_back(std::move(chain));
    rec->problemByLeaf.emplace("w:" + file, rec->problems.size());
    rec->problems.push_back(std::move(p));
}

// The module whose check the run was in when a failure ended it: the error and the exit code
// are its result.
static void record_fatal(RUN_RECORD* rec, const REPORT_EVENT& ev) {
    if (!current_module(rec)) return;
    record_error(rec, error_text(ev.error), {});
    record_leave(rec, ev.code);
}

void record_event(RUN_RECORD* rec, const REPORT_EVENT& ev) {
    if (!rec->fOn) return;
    switch (ev.kind) {
        case RPT_NAMED: rec->named.push_back(RUN_NAMED{std::string(ev.text), -1}); break;
        case RPT_MODULE: record_enter(rec, std::string(ev.text).c_str(), ev.fNamed); break;
        case RPT_OPENED: record_opened(rec); break;
        case RPT_FORMAT: record_format(rec, format_name(ev.format)); break;
        case RPT_ERROR: record_error(rec, error_text(ev.error), ev.text); break;
        case RPT_IMPORT: record_import(rec, ev.text, ev.fDelay); break;
        case RPT_LOADED:
            record_load(rec, true, ev.path, 0, nullptr);
            if (RUN_IMPORT* pImport = current_import(rec)) pImport->fHost = ev.fHost;
            record_shipping(rec, ev);
            break;
        case RPT_NOT_LOADED: record_load(rec, false, {}, ev.code, ev.cause); break;
        case RPT_ENTRY: record_entry(rec, ev.fOrdinal, ev.ordinal, ev.text, ev.code, ev.cause); break;
        case RPT_END: record_leave(rec, ev.code); break;
        case RPT_FATAL: record_fatal(rec, ev); break;
        default: break;
    }
}

const char* format_name(REPORT_FORMAT format) {
    switch (format) {
        case FMT_LX: return "LX";
        case FMT_NE: return "NE";
        case FMT_PE32: return "PE32";
        case FMT_PE32PLUS: return "PE32+";
        default: return nullptr;
    }
}

}  // namespace talvek
