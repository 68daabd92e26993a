// The record of a run's checks, filled from its events.
#include "driver/run_record.h"

#include <algorithm>

#include "common/options.h"
#include "common/text.h"
#include "driver/messages.h"
#include "platform/fs.h"
#include "platform/windows_dlls.h"

namespace talvek {

RUN_RECORD RunRecord;

static RUN_MODULE* current_module() {
    if (RunRecord.stack.empty() || RunRecord.stack.back() < 0) return nullptr;
    return &RunRecord.modules[size_t(RunRecord.stack.back())];
}

static RUN_IMPORT* current_import() {
    RUN_MODULE* pMod = current_module();
    return pMod && !pMod->imports.empty() ? &pMod->imports.back() : nullptr;
}

static int32_t current_index() { return RunRecord.stack.empty() ? -1 : RunRecord.stack.back(); }

// The base names of the modules from the named one down to module i, along the path that
// first reached i.
static std::vector<std::string> chain_to(int32_t i) {
    std::vector<std::string> chain;
    for (; i >= 0; i = RunRecord.modules[size_t(i)].iParent)
        chain.push_back(std::string(base_name(RunRecord.modules[size_t(i)].filespec)));
    std::reverse(chain.begin(), chain.end());
    return chain;
}

// Adds chain to the problem entered under key, unless it has it: false when there is none.
static bool add_way(const std::string& key, std::vector<std::string>* chain) {
    auto found = RunRecord.problemByLeaf.find(key);
    if (found == RunRecord.problemByLeaf.end()) return false;
    std::vector<std::vector<std::string>>& chains = RunRecord.problems[found->second].chains;
    if (std::find(chains.begin(), chains.end(), *chain) == chains.end()) chains.push_back(std::move(*chain));
    return true;
}

// Enters what a failure of the current import comes down to: the last step of its cause,
// which self (the import or entry that failed) stands for when the cause has no steps. The
// chain runs through the current module and each module of the cause that imports the next.
// A leaf met before gains a chain rather than a second problem.
static void record_leaf(const LOAD_FAILURE& cause, const LOAD_STEP& self) {
    const LOAD_STEP& leaf = cause.chain.size() > 1 ? cause.chain.back() : self;
    std::vector<std::string> chain = chain_to(current_index());
    for (size_t j = 1; j < cause.chain.size(); j++) chain.push_back(std::string(base_name(cause.chain[j].importer)));
    std::string key = (leaf.fEntry ? "e" : "d") + std::to_string(leaf.error) + ":" + ascii_lower(leaf.dll);
    if (leaf.fEntry) key += leaf.fOrdinal ? "#" + std::to_string(leaf.ordinal) : "." + leaf.entry;
    if (add_way(key, &chain)) return;
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
    p.chains.push_back(std::move(chain));
    RunRecord.problemByLeaf.emplace(std::move(key), RunRecord.problems.size());
    RunRecord.problems.push_back(std::move(p));
}

static void record_enter(const char* filespec, bool fNamed) {
    RUN_IMPORT* pImport = current_import();
    int32_t iParent = current_index();
    auto found = RunRecord.byName.find(filespec);
    // A module named with -m is checked again, with a record of its own.
    if (found != RunRecord.byName.end() && !fNamed) {
        // Already checked: the registry skips it, the import still leads to it.
        if (pImport && pImport->iModule < 0) pImport->iModule = found->second;
        RunRecord.stack.push_back(-1);
        return;
    }
    int32_t i = int32_t(RunRecord.modules.size());
    RUN_MODULE m;
    m.filespec = filespec;
    m.level = uint32_t(RunRecord.stack.size()) + 1;
    m.iParent = iParent;
    // What a DLL of Windows needs is Windows' own concern, unless the program brings that DLL
    // in its own folder.
    if (pImport) {
        m.origin = pImport->origin;
        m.fWindows = pImport->fWindows;
        m.fWindowsSide = (pImport->fWindows && pImport->origin != ORIGIN_APPLICATION) ||
                         RunRecord.modules[size_t(iParent)].fWindowsSide;
    }
    RunRecord.modules.push_back(std::move(m));
    RunRecord.byName.emplace(filespec, i);
    // An import that leads to a module named with -m leads there by its full path.
    if (fNamed) RunRecord.byName.emplace(normal_path(filespec), i);
    if (fNamed && !RunRecord.named.empty() && RunRecord.named.back().iModule < 0) RunRecord.named.back().iModule = i;
    if (pImport && pImport->iModule < 0) pImport->iModule = i;
    RunRecord.stack.push_back(i);
}

static void record_opened() {
    if (RUN_MODULE* pMod = current_module()) pMod->fOpened = true;
}

static void record_leave(int32_t rc) {
    if (RunRecord.stack.empty()) return;
    int32_t i = RunRecord.stack.back();
    RunRecord.stack.pop_back();
    if (i < 0) return;
    RUN_MODULE* pMod = &RunRecord.modules[size_t(i)];
    pMod->fDone = true;
    pMod->result = rc;
    // A DLL reached by recursion that did not check out is missing for the module that
    // needs it; the named module's own result is the exit code instead, unless -m checks
    // several, where a module named that did not check out is counted too (with no chain).
    if (rc != 0 && (pMod->iParent >= 0 || RunRecord.fSeveralNamed)) {
        RUN_PROBLEM p;
        p.kind = pMod->fOpened ? PROBLEM_CHECK_FAILED : PROBLEM_NOT_OPENED;
        p.dll = std::string(pMod->iParent >= 0 ? base_name(pMod->filespec) : std::string_view(pMod->filespec));
        p.error = rc;
        p.iFailed = i;
        if (pMod->iParent >= 0) p.chains.push_back(chain_to(pMod->iParent));
        RunRecord.problems.push_back(std::move(p));
    }
}

static void record_format(const char* format) {
    if (RUN_MODULE* pMod = current_module()) pMod->format = format;
}

static void record_error(const char* msg, std::string_view arg) {
    RUN_MODULE* pMod = current_module();
    if (!pMod) return;
    std::string text = msg;
    size_t at = text.find("%s");
    if (at != std::string::npos) text.replace(at, 2, arg);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!pMod->error.empty()) pMod->error += '\n';
    pMod->error += text;
}

static void record_import(std::string_view dll, bool fDelayLoaded) {
    RUN_MODULE* pMod = current_module();
    if (!pMod) return;
    pMod->imports.emplace_back();
    pMod->imports.back().dll = std::string(dll);
    pMod->imports.back().fDelayLoaded = fDelayLoaded;
}

static void record_load(bool fLoaded, std::string_view path, int32_t error, const LOAD_FAILURE* cause) {
    RUN_IMPORT* pImport = current_import();
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
    record_leaf(pImport->cause, self);
}

static void record_entry(bool fOrdinal, uint32_t ulOrdinal, std::string_view name, int32_t outcome,
                         const LOAD_FAILURE* cause) {
    RUN_IMPORT* pImport = current_import();
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
    record_leaf(e.cause, self);
}

// Under --windows: where the DLL that just loaded came from, and what that means for shipping
// the program. A DLL the target Windows lacks is to ship when a module of the program needs
// it (not one only a DLL of Windows leads to), unless it lies in the application folder
// (where --ship=all takes it too); found in a system folder, it is missing on a clean Windows.
static void record_shipping(const REPORT_EVENT& ev) {
    RUN_MODULE* pMod = current_module();
    RUN_IMPORT* pImport = current_import();
    if (!pImport || ev.origin == ORIGIN_UNKNOWN) return;
    pImport->origin = ev.origin;
    pImport->fWindows = ev.fWindows;
    if (pMod->windows.empty()) pMod->windows = windows_display_name(WINDOWS_VERSION(windows_version), ev.machine);
    if (pMod->fWindowsSide || ev.fWindows || (ev.origin == ORIGIN_APPLICATION && !ship_all)) return;
    std::string file(ev.path);
    if (RunRecord.shipSet.insert(file).second) RunRecord.ship.push_back(file);
    if (ev.origin != ORIGIN_SYSTEM) return;
    std::vector<std::string> chain = chain_to(current_index());
    if (add_way("w:" + file, &chain)) return;
    RUN_PROBLEM p;
    p.kind = PROBLEM_NOT_IN_WINDOWS;
    p.dll = std::string(base_name(file));
    p.file = file;
    p.windows = pMod->windows;
    p.fVcRuntime = is_vc_runtime_dll(p.dll);
    p.chains.push_back(std::move(chain));
    RunRecord.problemByLeaf.emplace("w:" + file, RunRecord.problems.size());
    RunRecord.problems.push_back(std::move(p));
}

// The module whose check the run was in when a failure ended it: the error and the exit code
// are its result.
static void record_fatal(const REPORT_EVENT& ev) {
    if (!current_module()) return;
    record_error(error_text(ev.error), {});
    record_leave(ev.code);
}

void record_event(const REPORT_EVENT& ev) {
    if (!RunRecord.fOn) return;
    switch (ev.kind) {
        case RPT_NAMED: RunRecord.named.push_back(RUN_NAMED{std::string(ev.text), -1}); break;
        case RPT_MODULE: record_enter(std::string(ev.text).c_str(), ev.fNamed); break;
        case RPT_OPENED: record_opened(); break;
        case RPT_FORMAT: record_format(format_name(ev.format)); break;
        case RPT_ERROR: record_error(error_text(ev.error), ev.text); break;
        case RPT_IMPORT: record_import(ev.text, ev.fDelay); break;
        case RPT_LOADED:
            record_load(true, ev.path, 0, nullptr);
            record_shipping(ev);
            break;
        case RPT_NOT_LOADED: record_load(false, {}, ev.code, ev.cause); break;
        case RPT_ENTRY: record_entry(ev.fOrdinal, ev.ordinal, ev.text, ev.code, ev.cause); break;
        case RPT_END: record_leave(ev.code); break;
        case RPT_FATAL: record_fatal(ev); break;
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
