// The record of a run's checks, filled from its events.
#include "driver/run_record.h"

#include <algorithm>
#include <filesystem>

#include "common/text.h"
#include "driver/messages.h"
#include "platform/fs.h"
#include "platform/loader.h"
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

// path below the folder dir (both normalised): the rest of path after it, else "".
static std::string below(const std::string& path, const std::string& dir) {
    size_t n = dir.size();
    if (n == 0 || path.size() <= n || path.compare(0, n, dir) != 0) return std::string();
    if (is_path_separator(dir.back())) return path.substr(n);
    return is_path_separator(path[n]) ? path.substr(n + 1) : std::string();
}

// How -e's chains and -j's missing name the module file at path: relative to the folder named
// with -m that holds the module named, else to the application folder, when it lies below it,
// so that two files of one base name stay apart; as given otherwise, and the module named
// from a file named as typed.
static std::string shown_name(const RUN_RECORD* rec, const std::string& path, bool fNamed) {
    if (fNamed && rec->namedFolder.empty()) return path;
    // The loader's paths are normalised already; only a name as typed needs it.
    std::string full = std::filesystem::path(path).is_absolute() ? path : normal_path(path);
    std::string rel = below(full, rec->namedFolder.empty() ? rec->appDir : rec->namedFolder);
    return rel.empty() ? path : rel;
}

// The modules from the named one down to module i, along the path that first reached i.
static std::vector<std::string> chain_to(RUN_RECORD* rec, int32_t i) {
    std::vector<std::string> chain;
    for (; i >= 0; i = rec->modules[size_t(i)].iParent) chain.push_back(rec->modules[size_t(i)].shown);
    std::reverse(chain.begin(), chain.end());
    return chain;
}

// What -e adds to a DLL that did not load with 193: the files of other machines the search
// passed over and the process's machine, or the file found and what is wrong with it.
static std::string detail_193(const RUN_RECORD* rec, const LOAD_FAILURE& cause, const LOAD_STEP& leaf, uint16_t machine) {
    if (!cause.passedOver.empty()) {
        // A folder searched twice (the application's is the current one) passes a file over twice.
        std::vector<std::string> machines, shown;
        for (size_t k = 0; k < cause.passedOver.size(); k++) {
            std::string file = shown_name(rec, cause.passedOver[k], false);
            if (std::find(shown.begin(), shown.end(), file) != shown.end()) continue;
            shown.push_back(file);
            std::string m = k < cause.passedOverMachines.size() ? machine_name(cause.passedOverMachines[k]) : "unknown";
            if (std::find(machines.begin(), machines.end(), m) == machines.end()) machines.push_back(m);
        }
        std::string which, files;
        for (size_t k = 0; k < machines.size(); k++) which += (k == 0 ? "" : k + 1 == machines.size() ? " and " : ", ") + machines[k];
        for (size_t k = 0; k < shown.size(); k++) files += (k ? ", " : "") + shown[k];
        // "an x86 image", "an ARM64 image", but "a machine 0x01C4 image".
        std::string d = shown.size() > 1 ? "only " + which + " images were found ("
                        : which.compare(0, 8, "machine ") == 0 ? "only a " + which + " image was found ("
                                                                : "only an " + which + " image was found (";
        return d + files + "); the process is " + machine_name(machine);
    }
    if (leaf.file.empty() || cause.reason.empty()) return std::string();
    return shown_name(rec, leaf.file, false) + " is no loadable image: " + cause.reason;
}

// Adds chain to the problem of list entered under key in byLeaf, unless it has it: false when
// there is none.
static bool add_way(std::vector<RUN_PROBLEM>* list, const std::unordered_map<std::string, size_t>& byLeaf,
                    const std::string& key, std::vector<std::string>* chain) {
    auto found = byLeaf.find(key);
    if (found == byLeaf.end()) return false;
    std::vector<std::vector<std::string>>& chains = (*list)[found->second].chains;
    if (std::find(chains.begin(), chains.end(), *chain) == chains.end()) chains.push_back(std::move(*chain));
    return true;
}

// Enters a problem of the target Windows for a process of machine under key, needed by way of
// chain, or adds chain to the one entered before. Returns the problem when it is new, for the
// caller to fill in.
static RUN_PROBLEM* windows_problem(RUN_RECORD* rec, const std::string& key, uint16_t machine,
                                    std::vector<std::string> chain) {
    if (add_way(&rec->problems, rec->problemByLeaf, key, &chain)) return nullptr;
    RUN_PROBLEM p;
    p.kind = PROBLEM_NOT_IN_WINDOWS;
    p.windows = windows_display_name(WINDOWS_VERSION(rec->opt->windows_version), machine);
    p.machine = machine;
    p.chains.push_back(std::move(chain));
    rec->problemByLeaf.emplace(key, rec->problems.size());
    rec->problems.push_back(std::move(p));
    return &rec->problems.back();
}

// A DLL name as the file it names: lower case, with ".dll".
static std::string dll_key(const std::string& dll) {
    std::string name = ascii_lower(dll);
    return name.size() >= 4 && name.compare(name.size() - 4, 4, ".dll") == 0 ? name : name + ".dll";
}

// Under --windows: whether dll is an API set the target Windows lacks for machine.
static bool api_set_not_of_target(const RUN_RECORD* rec, const std::string& dll, uint16_t machine) {
    return rec->opt->windows_version >= 0 && is_api_set_name(dll) &&
           !is_part_of_windows(WINDOWS_VERSION(rec->opt->windows_version), machine, dll);
}

// An API set the target Windows lacks, needed by way of chain, that no file of its name stands
// for: missing, whether a host of the schema here stood in or nothing did.
static void api_set_problem(RUN_RECORD* rec, const std::string& dll, uint16_t machine, std::vector<std::string> chain) {
    std::string name = dll_key(dll);
    if (RUN_PROBLEM* p = windows_problem(rec, "a:" + name + "@" + std::to_string(machine), machine, std::move(chain))) {
        p->dll = dll;
        p->source = dll_source(WINDOWS_VERSION(rec->opt->windows_version), dll);
        p->fApiSet = true;
    }
}

// Enters what a failure of the current import comes down to: the last step of its cause,
// which self (the import or entry that failed) stands for when the cause has no steps. The
// chain runs through the current module and each module of the cause that imports the next.
// A leaf met before in a process of the same machine gains a chain rather than a second
// problem. An entry that only Wine's copy of a DLL of the target Windows lacks is entered
// among the ones not verified instead, and an API set the target lacks that was not found is
// entered as that.
static void record_leaf(RUN_RECORD* rec, const LOAD_FAILURE& cause, const LOAD_STEP& self) {
    const LOAD_STEP& leaf = cause.chain.size() > 1 ? cause.chain.back() : self;
    RUN_MODULE* pMod = current_module(rec);
    uint16_t machine = cause.machine ? cause.machine : pMod ? pMod->machine : 0;
    std::vector<std::string> chain = chain_to(rec, current_index(rec));
    for (size_t j = 1; j < cause.chain.size(); j++) chain.push_back(shown_name(rec, cause.chain[j].importer, false));
    if (!leaf.fEntry && leaf.error == LOAD_ERR_MOD_NOT_FOUND && api_set_not_of_target(rec, leaf.dll, machine)) {
        api_set_problem(rec, leaf.dll, machine, std::move(chain));
        return;
    }
    // One file is one problem: the DLL's name is compared as the loader looks for its file.
    std::string key = (leaf.fEntry ? "e" : "d") + std::to_string(leaf.error) + ":" + ascii_lower(dll_file_name(leaf.dll));
    if (leaf.fEntry) key += leaf.fOrdinal ? "#" + std::to_string(leaf.ordinal) : "." + leaf.entry;
    key += "@" + std::to_string(machine);
    bool fUnverified = cause.fUnverified;
    std::vector<RUN_PROBLEM>* list = fUnverified ? &rec->unverified : &rec->problems;
    std::unordered_map<std::string, size_t>* byLeaf = fUnverified ? &rec->unverifiedByLeaf : &rec->problemByLeaf;
    if (add_way(list, *byLeaf, key, &chain)) return;
    RUN_PROBLEM p;
    p.kind = fUnverified ? PROBLEM_NOT_VERIFIED : leaf.fEntry ? PROBLEM_NOT_RESOLVED : PROBLEM_NOT_LOADED;
    p.dll = leaf.dll;
    p.fOrdinal = leaf.fOrdinal;
    p.ulOrdinal = leaf.ordinal;
    p.entry = leaf.entry;
    p.error = int32_t(leaf.error);
    p.fCauseUnknown = cause.fUnknown;
    p.reason = cause.reason;
    for (const std::string& file : cause.passedOver) {
        std::string shown = shown_name(rec, file, false);
        if (std::find(p.passedOver.begin(), p.passedOver.end(), shown) == p.passedOver.end()) p.passedOver.push_back(shown);
    }
    p.machine = machine;
    if (leaf.error == LOAD_ERR_BAD_EXE_FORMAT) p.detail = detail_193(rec, cause, leaf, machine);
    if (!cause.chain.empty()) {
        p.outside = cause.chain.back().outside;
        p.outsideFile = cause.chain.back().outsideFile;
    }
    p.chains.push_back(std::move(chain));
    byLeaf->emplace(std::move(key), list->size());
    list->push_back(std::move(p));
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
    m.shown = shown_name(rec, filespec, iParent < 0);
    m.level = uint32_t(rec->stack.size()) + 1;
    m.iParent = iParent;
    // What a DLL of Windows needs is Windows' own concern, unless the program brings that DLL
    // in its own folder; what a DLL Windows lacks needs, found only as Wine's own file, is
    // Wine's: the DLL itself is what is missing; what one of the host's needs is the host's.
    if (pImport) {
        bool fAway = pImport->origin != ORIGIN_APPLICATION && pImport->origin != ORIGIN_UNKNOWN;
        m.origin = pImport->origin;
        m.fWindows = pImport->fWindows;
        m.fWindowsSide = (pImport->fWindows && pImport->origin != ORIGIN_APPLICATION) ||
                         (fAway && !pImport->fWindows && pImport->fWineBuiltin) ||
                         pImport->origin == ORIGIN_HOST || rec->modules[size_t(iParent)].fWindowsSide;
    }
    rec->modules.push_back(std::move(m));
    rec->byName.emplace(filespec, i);
    if (fNamed && rec->iNamed >= 0 && size_t(rec->iNamed) < rec->named.size() && rec->named[size_t(rec->iNamed)].iModule < 0)
        rec->named[size_t(rec->iNamed)].iModule = i;
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
    // Once a module named with -m is checked, an import that leads to it by its full path
    // leads there.
    if (pMod->iParent < 0 && rec->opt->several_modules) rec->byName.emplace(normal_path(pMod->filespec), i);
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

static void record_machine(RUN_RECORD* rec, uint16_t machine) {
    RUN_MODULE* pMod = current_module(rec);
    if (pMod && machine) pMod->machine = machine;
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
        {fOrdinal, fOrdinal ? ulOrdinal : 0, fOrdinal ? std::string() : std::string(name), outcome, nullptr});
    if (outcome == 0 || outcome == ENTRY_NOT_ASKED) return;
    RUN_ENTRY& e = pImport->entries.back();
    e.cause = cause ? std::make_unique<LOAD_FAILURE>(*cause) : std::make_unique<LOAD_FAILURE>();
    LOAD_STEP self;
    self.dll = pImport->dll;
    self.fEntry = true;
    self.fOrdinal = fOrdinal;
    self.ordinal = e.ulOrdinal;
    self.entry = e.name;
    self.error = uint32_t(outcome);
    record_leaf(rec, *e.cause, self);
}

// Under --windows: what the DLL file of ev, which the current module needs, is to shipping
// the program. One the target Windows lacks is to ship, unless it lies in the application
// folder (where --ship=all takes it, and any other it finds there too); found in a system
// folder, it is missing on a clean Windows. A file of Wine's own never ships: the DLL is
// missing, and the line says where the real file comes from.
static void judge_file(RUN_RECORD* rec, const RUN_MODULE* pMod, const REPORT_EVENT& ev) {
    bool fApp = ev.origin == ORIGIN_APPLICATION;
    bool fAll = rec->opt->ship_all;
    // Windows has it, unless --ship=all gathers the program's own copy from its folder.
    if (ev.origin == ORIGIN_ABSENT || (ev.fWindows && (!fApp || !fAll || ev.fWineBuiltin))) return;
    std::string file(ev.path);
    if (!ev.fWineBuiltin && fApp && !fAll) return;
    if (!ev.fWineBuiltin && rec->shipSet.insert(file).second) rec->ship.push_back(file);
    if (ev.origin != ORIGIN_SYSTEM && !ev.fWineBuiltin) return;
    RUN_PROBLEM* p = windows_problem(rec, "w:" + file, pMod->machine, chain_to(rec, current_index(rec)));
    if (!p) return;
    p->dll = std::string(base_name(file));
    p->file = file;
    p->source = dll_source(WINDOWS_VERSION(rec->opt->windows_version), p->dll);
    p->fShippable = !ev.fWineBuiltin;
}

// Under --windows: an API set the module imports by the name dll, which loaded as the file of
// ev. One the target Windows has is Windows' concern whatever hosts it here: true then, as
// nothing more is to judge. One it lacks is missing unless a file of its name was found (a
// forwarder, judged as any DLL file); reached only through a host of the schema here, it cannot
// ship, and the host is judged too.
static bool judge_api_set(RUN_RECORD* rec, const REPORT_EVENT& ev, const std::string& dll) {
    if (!is_api_set_name(dll)) return false;
    if (!api_set_not_of_target(rec, dll, ev.machine)) return true;
    std::string name = dll_key(dll);
    if (ev.origin != ORIGIN_ABSENT && name != ascii_lower(base_name(ev.path)))
        api_set_problem(rec, dll, ev.machine, chain_to(rec, current_index(rec)));
    return false;
}

// Under --windows: where the DLL that just loaded came from, and what that means for shipping
// the program. What only a DLL of Windows leads to is Windows' own concern.
static void record_shipping(RUN_RECORD* rec, const REPORT_EVENT& ev) {
    RUN_MODULE* pMod = current_module(rec);
    RUN_IMPORT* pImport = current_import(rec);
    if (!pImport || ev.origin == ORIGIN_UNKNOWN) return;
    pImport->origin = ev.origin;
    pImport->fWindows = ev.fWindows;
    pImport->fWineBuiltin = ev.fWineBuiltin;
    if (pMod->windows.empty()) pMod->windows = windows_display_name(WINDOWS_VERSION(rec->opt->windows_version), ev.machine);
    // What the host brings is the host's: not shipped, and not missing from a clean Windows.
    if (pMod->fWindowsSide || ev.origin == ORIGIN_HOST || judge_api_set(rec, ev, pImport->dll)) return;
    judge_file(rec, pMod, ev);
}

// Under --windows: a DLL in which a forwarder of the current import resolved an entry. Through
// a DLL the program brings it is the program's too, and judged as an import is.
static void record_forwarded(RUN_RECORD* rec, const REPORT_EVENT& ev) {
    RUN_MODULE* pMod = current_module(rec);
    RUN_IMPORT* pImport = current_import(rec);
    bool fWindows = pImport && pImport->fWindows && pImport->origin != ORIGIN_APPLICATION;
    if (!pImport || pMod->fWindowsSide || fWindows || pImport->fWineBuiltin || ev.origin == ORIGIN_HOST) return;
    judge_file(rec, pMod, ev);
}

// A PE module whose own image the loader would refuse: the cause on the module, and for one
// named a problem of its own. A DLL followed with -x was counted where its load failed.
static void record_refused(RUN_RECORD* rec, const REPORT_EVENT& ev) {
    RUN_MODULE* pMod = current_module(rec);
    if (!pMod) return;
    pMod->cause = std::make_unique<LOAD_FAILURE>(ev.cause ? *ev.cause : LOAD_FAILURE{});
    if (pMod->iParent >= 0) return;
    RUN_PROBLEM p;
    p.kind = PROBLEM_NOT_LOADABLE;
    p.dll = pMod->filespec;
    p.error = int32_t(pMod->cause->error);
    p.iFailed = current_index(rec);
    p.reason = std::string(ev.text);
    rec->problems.push_back(std::move(p));
}

// The module whose check the run was in when a failure ended it: the error and the exit code
// are its result.
static void record_fatal(RUN_RECORD* rec, const REPORT_EVENT& ev) {
    if (!current_module(rec)) return;
    record_error(rec, error_text(ev.error), {});
    record_leave(rec, ev.code);
}

void record_named_files(RUN_RECORD* rec, const std::vector<std::string>& files) {
    if (!rec->fOn) return;
    for (const std::string& file : files) rec->named.push_back(RUN_NAMED{file, -1});
}

void record_event(RUN_RECORD* rec, const REPORT_EVENT& ev) {
    if (!rec->fOn) return;
    switch (ev.kind) {
        case RPT_NAMED:
            rec->iNamed = ev.code;
            rec->namedFolder = ev.path.empty() ? std::string() : normal_path(std::string(ev.path));
            break;
        case RPT_MODULE: record_enter(rec, std::string(ev.text).c_str(), ev.fNamed); break;
        case RPT_OPENED: record_opened(rec); break;
        case RPT_FORMAT: record_format(rec, format_name(ev.format)); break;
        case RPT_COUNT: record_machine(rec, ev.machine); break;
        case RPT_FORWARDED: record_forwarded(rec, ev); break;
        case RPT_ERROR:
            record_error(rec, error_text(ev.error), ev.text);
            if (ev.error == ERR_NOT_LOADABLE) record_refused(rec, ev);
            break;
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

void record_application_folder(RUN_RECORD* rec, const std::string& app) {
    std::string dir = dir_part(app);
    rec->appDir = normal_path(dir.empty() ? "." : dir);
}

bool blocks_shipping(const RUN_PROBLEM& p) {
    return p.kind != PROBLEM_NOT_VERIFIED && !(p.kind == PROBLEM_NOT_IN_WINDOWS && p.fShippable);
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
