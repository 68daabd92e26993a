// The record of a run's checks and the calls that fill it.
#include "driver/run_record.h"

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

void record_enter(const char* filespec) {
    if (!RunRecord.fOn) return;
    RUN_IMPORT* pImport = current_import();
    int32_t iParent = current_index();
    auto found = RunRecord.byName.find(filespec);
    if (found != RunRecord.byName.end()) {
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
    RunRecord.modules.push_back(std::move(m));
    RunRecord.byName.emplace(filespec, i);
    if (pImport && pImport->iModule < 0) pImport->iModule = i;
    RunRecord.stack.push_back(i);
}

void record_opened() {
    if (RUN_MODULE* pMod = RunRecord.fOn ? current_module() : nullptr) pMod->fOpened = true;
}

void record_leave(int32_t rc) {
    if (!RunRecord.fOn || RunRecord.stack.empty()) return;
    int32_t i = RunRecord.stack.back();
    RunRecord.stack.pop_back();
    if (i < 0) return;
    RUN_MODULE* pMod = &RunRecord.modules[size_t(i)];
    pMod->fDone = true;
    pMod->result = rc;
    // A DLL reached by recursion that did not check out is missing for the module that
    // needs it; the named module's own result is the exit code instead.
    if (rc != 0 && pMod->iParent >= 0) {
        RUN_PROBLEM_KIND kind = pMod->fOpened ? PROBLEM_CHECK_FAILED : PROBLEM_NOT_OPENED;
        RunRecord.problems.push_back({kind, pMod->iParent, -1, -1, i});
    }
}

void record_format(const char* format) {
    if (RUN_MODULE* pMod = RunRecord.fOn ? current_module() : nullptr) pMod->format = format;
}

void record_error(const char* msg, const char* arg) {
    RUN_MODULE* pMod = RunRecord.fOn ? current_module() : nullptr;
    if (!pMod) return;
    std::string text = msg;
    size_t at = text.find("%s");
    if (at != std::string::npos) text.replace(at, 2, arg ? arg : "");
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!pMod->error.empty()) pMod->error += '\n';
    pMod->error += text;
}

void record_import(std::string_view dll) {
    RUN_MODULE* pMod = RunRecord.fOn ? current_module() : nullptr;
    if (!pMod) return;
    pMod->imports.emplace_back();
    pMod->imports.back().dll = std::string(dll);
}

void record_load(bool fLoaded, const char* path, int32_t error) {
    RUN_IMPORT* pImport = RunRecord.fOn ? current_import() : nullptr;
    if (!pImport) return;
    pImport->fLoadTested = true;
    pImport->fLoaded = fLoaded;
    pImport->path = fLoaded && path ? path : "";
    pImport->load_error = error;
    if (!fLoaded) {
        RUN_MODULE* pMod = current_module();
        RunRecord.problems.push_back(
            {PROBLEM_NOT_LOADED, current_index(), int32_t(pMod->imports.size()) - 1, -1, -1});
    }
}

void record_entry(bool fOrdinal, uint32_t ulOrdinal, std::string_view name, int32_t outcome) {
    RUN_IMPORT* pImport = RunRecord.fOn ? current_import() : nullptr;
    if (!pImport) return;
    pImport->entries.push_back({fOrdinal, fOrdinal ? ulOrdinal : 0, fOrdinal ? std::string() : std::string(name), outcome});
    if (outcome != 0 && outcome != RUN_NOT_CHECKED) {
        RUN_MODULE* pMod = current_module();
        RunRecord.problems.push_back({PROBLEM_NOT_RESOLVED, current_index(), int32_t(pMod->imports.size()) - 1,
                                      int32_t(pImport->entries.size()) - 1, -1});
    }
}

void record_pe_entry(const REF_NODE32* pNode, int32_t outcome) {
    if (!RunRecord.fOn) return;
    bool fOrdinal = pNode->type == REF_BY_ORDINAL;
    const char* name = fOrdinal ? "" : reinterpret_cast<const char*>(pNode->num);
    record_entry(fOrdinal, uint32_t(pNode->num), name, outcome);
}

void record_unchecked_pe_entries(const REF_NODE32* pHead) {
    for (const REF_NODE32* pNode = RunRecord.fOn ? pHead : nullptr; pNode; pNode = pNode->next)
        record_pe_entry(pNode, RUN_NOT_CHECKED);
}

void record_delay_loaded() {
    if (RUN_IMPORT* pImport = RunRecord.fOn ? current_import() : nullptr) pImport->fDelayLoaded = true;
}

}  // namespace talvek
