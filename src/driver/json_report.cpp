// The -j document: the run's record as one JSON document.
#include <cstdio>
#include <string>
#include <vector>

#include "common/demangle.h"
#include "driver/escape.h"
#include "driver/run.h"

namespace talvek {

const char TalvekVersion[] = TALVEK_VERSION;

// The document's shape; raised when a field changes meaning or goes away.
static const int kJsonFormatVersion = 4;

// A JSON string of file bytes (ESCAPE_JSON).
static void json_str(FILE* out, std::string_view s) {
    std::string text = escaped(s, ESCAPE_JSON);
    fputc('"', out);
    fwrite(text.data(), 1, text.size(), out);
    fputc('"', out);
}

static const char* problem_kind(RUN_PROBLEM_KIND kind) {
    switch (kind) {
        case PROBLEM_NOT_LOADED: return "not_loaded";
        case PROBLEM_NOT_RESOLVED: return "not_resolved";
        case PROBLEM_NOT_OPENED: return "not_opened";
        case PROBLEM_NOT_IN_WINDOWS: return "not_part_of_windows";
        case PROBLEM_NOT_VERIFIED: return "not_verified";
        case PROBLEM_NOT_LOADABLE: return "not_loadable";
        default: return "check_failed";
    }
}


static void json_null_or_str(FILE* out, std::string_view s) {
    if (s.empty())
        fputs("null", out);
    else
        json_str(out, s);
}

static void json_str_list(FILE* out, const std::vector<std::string>& list) {
    fputc('[', out);
    for (size_t k = 0; k < list.size(); k++) {
        if (k) fputs(", ", out);
        json_str(out, list[k]);
    }
    fputc(']', out);
}

// The name of an entry, and a C++ name's demangled form.
static void json_name(FILE* out, std::string_view name, DEMANGLER* dm) {
    fputs("\"name\": ", out);
    json_str(out, name);
    std::string text = demangled(dm, name);
    if (text.empty()) return;
    fputs(", \"demangled\": ", out);
    json_str(out, text);
}

static void json_ref(FILE* out, bool fOrdinal, uint32_t ulOrdinal, std::string_view name, DEMANGLER* dm) {
    if (fOrdinal) {
        fprintf(out, "{\"ordinal\": %u}", unsigned(ulOrdinal));
    } else {
        fputc('{', out);
        json_name(out, name, dm);
        fputc('}', out);
    }
}

// Why a DLL did not load or an entry did not resolve: the loader's steps from what was asked
// for down to what is missing.
static void json_cause(FILE* out, const LOAD_FAILURE& c, DEMANGLER* dm) {
    fputs(", \"cause\": {\"steps\": [", out);
    for (size_t k = 0; k < c.chain.size(); k++) {
        const LOAD_STEP& step = c.chain[k];
        fputs(k ? ", {\"importer\": " : "{\"importer\": ", out);
        json_null_or_str(out, step.importer);
        fputs(", \"dll\": ", out);
        json_str(out, step.dll);
        fputs(", \"file\": ", out);
        json_null_or_str(out, step.file);
        if (step.fEntry) {
            fputs(", \"entry\": ", out);
            json_ref(out, step.fOrdinal, step.ordinal, step.entry, dm);
        }
        fprintf(out, ", \"error\": %u}", unsigned(step.error));
    }
    fputs("], \"passed_over\": ", out);
    json_str_list(out, c.passedOver);
    fputs(", \"reason\": ", out);
    json_null_or_str(out, c.reason);
    fprintf(out, ", \"found\": %s", c.fUnknown ? "false" : "true");
    fputs(c.fUnverified ? ", \"unverified\": true}" : "}", out);
}

static void json_entry(FILE* out, const RUN_ENTRY& e, bool fLoadTested, DEMANGLER* dm) {
    if (e.fOrdinal) {
        fprintf(out, "{\"ordinal\": %u", unsigned(e.ulOrdinal));
    } else {
        fputc('{', out);
        json_name(out, e.name, dm);
    }
    if (fLoadTested && e.outcome != ENTRY_NOT_ASKED) {
        fprintf(out, ", \"resolved\": %s, \"error\": ", e.outcome == 0 ? "true" : "false");
        if (e.outcome == 0)
            fputs("null", out);
        else
            fprintf(out, "%d", int(e.outcome));
        if (e.outcome != 0 && e.cause) json_cause(out, *e.cause, dm);
    }
    fputc('}', out);
}

// Under --windows: where a loaded DLL came from, and whether it is part of the target Windows.
static void json_origin(FILE* out, const RUN_IMPORT& imp) {
    static const char* const kOrigins[] = {nullptr, "application", "system", "elsewhere", "absent", "host"};
    if (imp.origin == ORIGIN_UNKNOWN) return;
    fprintf(out, ", \"origin\": \"%s\", \"part_of_windows\": %s, \"wine_builtin\": %s", kOrigins[imp.origin],
            imp.fWindows ? "true" : "false", imp.fWineBuiltin ? "true" : "false");
}

// A machine as the documents name it, or null for none (a module that is no PE module).
static void json_machine(FILE* out, uint16_t machine) {
    if (machine == 0)
        fputs("null", out);
    else
        json_str(out, machine_name(machine));
}

static void json_import(FILE* out, const RUN_IMPORT& imp, DEMANGLER* dm) {
    fputs("        {\"dll\": ", out);
    json_str(out, imp.dll);
    fputs(", \"module\": ", out);
    if (imp.iModule < 0)
        fputs("null", out);
    else
        fprintf(out, "%d", int(imp.iModule));
    if (imp.fLoadTested) {
        fprintf(out, ", \"loaded\": %s, \"path\": ", imp.fLoaded ? "true" : "false");
        // A stand-in, and the program that loads the module when no --host names it, have no file.
        if (imp.fLoaded && !imp.path.empty())
            json_str(out, imp.path);
        else
            fputs("null", out);
        fputs(", \"error\": ", out);
        if (imp.fLoaded)
            fputs("null", out);
        else
            fprintf(out, "%d", int(imp.load_error));
        if (!imp.fLoaded) json_cause(out, imp.cause, dm);
        fprintf(out, ", \"delay_loaded\": %s", imp.fDelayLoaded ? "true" : "false");
        if (imp.fHost) fputs(", \"host\": true", out);
        json_origin(out, imp);
    }
    fputs(",\n         \"entries\": [", out);
    for (size_t k = 0; k < imp.entries.size(); k++) {
        if (k) fputs(", ", out);
        json_entry(out, imp.entries[k], imp.fLoadTested, dm);
    }
    fputs("]}", out);
}

static void json_module(FILE* out, const RUN_MODULE& m, size_t i, DEMANGLER* dm) {
    fprintf(out, "    {\"index\": %u, \"file\": ", unsigned(i));
    json_str(out, m.filespec);
    fputs(", \"format\": ", out);
    if (m.format)
        json_str(out, m.format);
    else
        fputs("null", out);
    fprintf(out, ", \"level\": %u, \"opened\": %s, \"result\": ", unsigned(m.level), m.fOpened ? "true" : "false");
    if (m.fDone)
        fprintf(out, "%d", int(m.result));
    else
        fputs("null", out);
    fputs(", \"error\": ", out);
    if (m.error.empty())
        fputs("null", out);
    else
        json_str(out, m.error);
    fputs(", \"reached_from\": ", out);
    if (m.iParent < 0)
        fputs("null", out);
    else
        fprintf(out, "%d", int(m.iParent));
    if (m.machine) {
        fputs(", \"machine\": ", out);
        json_machine(out, m.machine);
    }
    if (!m.windows.empty()) {
        fputs(", \"windows\": ", out);
        json_str(out, m.windows);
    }
    if (m.cause) json_cause(out, *m.cause, dm);
    fputs(",\n      \"imports\": [", out);
    for (size_t k = 0; k < m.imports.size(); k++) {
        fputs(k ? ",\n" : "\n", out);
        json_import(out, m.imports[k], dm);
    }
    fputs(m.imports.empty() ? "]}" : "\n      ]}", out);
}

static void json_problem(FILE* out, const RUN_PROBLEM& p, DEMANGLER* dm) {
    fprintf(out, "    {\"kind\": \"%s\", \"dll\": ", problem_kind(p.kind));
    json_str(out, p.dll);
    if (p.kind == PROBLEM_NOT_RESOLVED || p.kind == PROBLEM_NOT_VERIFIED) {
        fputs(", \"entry\": ", out);
        json_ref(out, p.fOrdinal, p.ulOrdinal, p.entry, dm);
    }
    fprintf(out, ", \"error\": %d, \"module\": ", int(p.error));
    if (p.iFailed < 0)
        fputs("null", out);
    else
        fprintf(out, "%d", int(p.iFailed));
    fputs(", \"chain\": ", out);
    json_str_list(out, p.chains.empty() ? std::vector<std::string>() : p.chains.front());
    fputs(", \"chains\": [", out);
    for (size_t k = 0; k < p.chains.size(); k++) {
        if (k) fputs(", ", out);
        json_str_list(out, p.chains[k]);
    }
    fputc(']', out);
    fputs(", \"machine\": ", out);
    json_machine(out, p.machine);
    if (p.kind == PROBLEM_NOT_LOADABLE) {
        fputs(", \"reason\": ", out);
        json_str(out, p.reason);
    }
    // What the loader knows of a DLL or entry it could not load or resolve.
    if (p.kind == PROBLEM_NOT_LOADED || p.kind == PROBLEM_NOT_RESOLVED || p.kind == PROBLEM_NOT_VERIFIED) {
        fputs(", \"reason\": ", out);
        json_null_or_str(out, p.reason);
        fputs(", \"passed_over\": ", out);
        json_str_list(out, p.passedOver);
        fprintf(out, ", \"cause_found\": %s", p.fCauseUnknown ? "false" : "true");
        fputs(", \"detail\": ", out);
        json_null_or_str(out, p.detail);
    }
    if (p.outside != OUTSIDE_NONE) {
        fprintf(out, ", \"found_outside_search\": {\"place\": \"%s\", \"file\": ",
                p.outside == OUTSIDE_PATH ? "PATH" : "current_folder");
        json_str(out, p.outsideFile);
        fputc('}', out);
    }
    if (p.kind == PROBLEM_NOT_IN_WINDOWS) {
        static const char* const kSources[] = {nullptr, "vc_redistributable", "directx", "ucrt"};
        fputs(", \"path\": ", out);
        json_null_or_str(out, p.file);
        fputs(", \"windows\": ", out);
        json_str(out, p.windows);
        fprintf(out, ", \"vc_redistributable\": %s, \"source\": ", p.source == SOURCE_VC_REDIST ? "true" : "false");
        if (p.source == SOURCE_NONE)
            fputs("null", out);
        else
            fprintf(out, "\"%s\"", kSources[p.source]);
        fprintf(out, ", \"shippable\": %s, \"wine_builtin\": %s, \"api_set\": %s", p.fShippable ? "true" : "false",
                !p.fShippable && !p.fApiSet ? "true" : "false", p.fApiSet ? "true" : "false");
    }
    fputc('}', out);
}

// The list of problems under name, the last member of the document so far.
static void json_problems(FILE* out, const char* name, const std::vector<RUN_PROBLEM>& problems, DEMANGLER* dm) {
    fprintf(out, ",\n  \"%s\": [", name);
    for (size_t k = 0; k < problems.size(); k++) {
        fputs(k ? ",\n" : "\n", out);
        json_problem(out, problems[k], dm);
    }
    fputs(problems.empty() ? "]" : "\n  ]", out);
}

void print_json_report(const RUN* run, FILE* out, int argc, char** argv, int32_t exit_code) {
    const RUN_RECORD& rec = run->record;
    DEMANGLER dm;
    fprintf(out, "{\n  \"tool\": \"talvek\",\n  \"version\": \"%s\",\n  \"format_version\": %d,\n", TalvekVersion,
            kJsonFormatVersion);
    fputs("  \"command_line\": [", out);
    for (int i = 0; i < argc; i++) {
        if (i) fputs(", ", out);
        json_str(out, argv[i]);
    }
    fputs("],\n  \"named_module\": ", out);
    if (rec.modules.empty())
        fputs("null", out);
    else
        json_str(out, rec.modules[0].filespec);
    // With -m, every module named and the record of its check; without, the one.
    fputs(",\n  \"named_modules\": [", out);
    if (rec.named.empty() && !rec.modules.empty()) {
        fputs("{\"file\": ", out);
        json_str(out, rec.modules[0].filespec);
        fputs(", \"module\": 0}", out);
    }
    for (size_t k = 0; k < rec.named.size(); k++) {
        fputs(k ? ", {\"file\": " : "{\"file\": ", out);
        json_str(out, rec.named[k].file);
        fputs(", \"module\": ", out);
        if (rec.named[k].iModule < 0)
            fputs("null}", out);
        else
            fprintf(out, "%d}", int(rec.named[k].iModule));
    }
    fputc(']', out);
    fprintf(out, ",\n  \"exit_code\": %d,\n  \"modules\": [", int(exit_code));
    for (size_t i = 0; i < rec.modules.size(); i++) {
        fputs(i ? ",\n" : "\n", out);
        json_module(out, rec.modules[i], i, &dm);
    }
    fputs(rec.modules.empty() ? "]" : "\n  ]", out);
    if (run->opt.list_files) {
        fputs(",\n  \"needed\": [", out);
        const char* sep = "";
        for (PLOADED_FILE p : run->registry.NeededFiles) {
            fputs(sep, out);
            json_str(out, p->filespec);
            sep = ", ";
        }
        fputs("]", out);
    }
    if (run->opt.windows_version >= 0) {
        fputs(",\n  \"ship\": ", out);
        json_str_list(out, rec.ship);
    }
    json_problems(out, "missing", rec.problems, &dm);
    // Under --windows, the entries only Wine's copies of DLLs of Windows lack, not counted.
    if (run->opt.windows_version >= 0) json_problems(out, "not_verified", rec.unverified, &dm);
    fputs("\n}\n", out);
}

}  // namespace talvek
