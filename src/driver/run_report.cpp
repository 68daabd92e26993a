// The writers over the run record: the -e summary, the JSON document and the DOT graph.
#include <algorithm>
#include <cinttypes>
#include <map>

#include "driver/registry.h"
#include "driver/run_record.h"
#include "platform/fs.h"

namespace talvek {

const char TalvekVersion[] = TALVEK_VERSION;

// The document's shape; raised when a field changes meaning or goes away.
static const int kJsonFormatVersion = 1;

// The length of the well-formed UTF-8 sequence at s[i], 0 when none starts there
// (overlong forms, surrogates and code points above U+10FFFF are not well-formed).
static size_t utf8_len(std::string_view s, size_t i) {
    uint8_t c = uint8_t(s[i]);
    if (c < 0x80) return 1;
    size_t n;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2, cp = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3, cp = c & 0x0Fu;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4, cp = c & 0x07u;
    } else {
        return 0;
    }
    if (s.size() - i < n) return 0;
    for (size_t k = 1; k < n; k++) {
        uint8_t d = uint8_t(s[i + k]);
        if ((d & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (d & 0x3Fu);
    }
    if (n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) return 0;
    if (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) return 0;
    return n;
}

// A JSON string of file bytes. Well-formed UTF-8 passes unchanged; every other byte 0xNN is
// written as the escape \udcNN (the lone low surrogate U+DC00 + 0xNN), which no
// well-formed text holds, so the bytes come back exactly.
static void json_str(FILE* out, std::string_view s) {
    fputc('"', out);
    for (size_t i = 0; i < s.size();) {
        size_t n = utf8_len(s, i);
        uint8_t c = uint8_t(s[i]);
        if (n == 0) {
            fprintf(out, "\\udc%02x", unsigned(c));
            n = 1;
        } else if (c == '"' || c == '\\') {
            fputc('\\', out);
            fputc(c, out);
        } else if (c < 0x20) {
            fprintf(out, "\\u%04x", unsigned(c));
        } else {
            fwrite(s.data() + i, 1, n, out);
        }
        i += n;
    }
    fputc('"', out);
}

// A DOT string of file bytes: bytes that are not well-formed UTF-8, and control
// characters, are shown as the four characters \xNN.
static void dot_str(FILE* out, std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        size_t n = utf8_len(s, i);
        uint8_t c = uint8_t(s[i]);
        if (n == 0 || c < 0x20) {
            fprintf(out, "\\\\x%02X", unsigned(c));
            n = 1;
        } else if (c == '"' || c == '\\') {
            fputc('\\', out);
            fputc(c, out);
        } else {
            fwrite(s.data() + i, 1, n, out);
        }
        i += n;
    }
}

// The modules from the named one down to i, along the path that first reached i.
static std::vector<int32_t> chain_to(int32_t i) {
    std::vector<int32_t> chain;
    for (; i >= 0; i = RunRecord.modules[size_t(i)].iParent) chain.push_back(i);
    std::reverse(chain.begin(), chain.end());
    return chain;
}

static const RUN_IMPORT* problem_import(const RUN_PROBLEM& p) {
    return p.iImport < 0 ? nullptr : &RunRecord.modules[size_t(p.iModule)].imports[size_t(p.iImport)];
}

// The name of what is missing: the DLL as imported, or the base name of a module's file.
static std::string_view problem_dll(const RUN_PROBLEM& p) {
    if (p.iFailed >= 0) return base_name(RunRecord.modules[size_t(p.iFailed)].filespec);
    return problem_import(p)->dll;
}

static const char* problem_kind(RUN_PROBLEM_KIND kind) {
    switch (kind) {
        case PROBLEM_NOT_LOADED: return "not_loaded";
        case PROBLEM_NOT_RESOLVED: return "not_resolved";
        case PROBLEM_NOT_OPENED: return "not_opened";
        default: return "check_failed";
    }
}

void print_missing_summary(FILE* out) {
    if (RunRecord.problems.empty()) return;
    fprintf(out, "\nMissing: %u\n", unsigned(RunRecord.problems.size()));
    for (const RUN_PROBLEM& p : RunRecord.problems) {
        std::string_view dll = problem_dll(p);
        fprintf(out, "%.*s: ", int(dll.size()), dll.data());
        const RUN_IMPORT* pImport = problem_import(p);
        if (p.kind == PROBLEM_NOT_LOADED) {
            fprintf(out, "not loaded (%d)", int(pImport->load_error));
        } else if (p.kind == PROBLEM_NOT_RESOLVED) {
            const RUN_ENTRY& e = pImport->entries[size_t(p.iEntry)];
            if (e.fOrdinal)
                fprintf(out, "ordinal %u not resolved (%d)", unsigned(e.ulOrdinal), int(e.outcome));
            else
                fprintf(out, "entry '%s' not resolved (%d)", e.name.c_str(), int(e.outcome));
        } else if (p.kind == PROBLEM_NOT_OPENED) {
            fputs("cannot be opened", out);
        } else {
            fprintf(out, "check failed (%d)", int(RunRecord.modules[size_t(p.iFailed)].result));
        }
        fputs(", needed by ", out);
        const char* sep = "";
        for (int32_t i : chain_to(p.iModule)) {
            std::string_view name = base_name(RunRecord.modules[size_t(i)].filespec);
            fprintf(out, "%s%.*s", sep, int(name.size()), name.data());
            sep = " > ";
        }
        fputc('\n', out);
    }
}

static void json_entry(FILE* out, const RUN_ENTRY& e, bool fLoadTested) {
    if (e.fOrdinal) {
        fprintf(out, "{\"ordinal\": %u", unsigned(e.ulOrdinal));
    } else {
        fputs("{\"name\": ", out);
        json_str(out, e.name);
    }
    if (fLoadTested && e.outcome != ENTRY_NOT_ASKED) {
        fprintf(out, ", \"resolved\": %s, \"error\": ", e.outcome == 0 ? "true" : "false");
        if (e.outcome == 0)
            fputs("null", out);
        else
            fprintf(out, "%d", int(e.outcome));
    }
    fputc('}', out);
}

static void json_import(FILE* out, const RUN_IMPORT& imp) {
    fputs("        {\"dll\": ", out);
    json_str(out, imp.dll);
    fputs(", \"module\": ", out);
    if (imp.iModule < 0)
        fputs("null", out);
    else
        fprintf(out, "%d", int(imp.iModule));
    if (imp.fLoadTested) {
        fprintf(out, ", \"loaded\": %s, \"path\": ", imp.fLoaded ? "true" : "false");
        if (imp.fLoaded)
            json_str(out, imp.path);
        else
            fputs("null", out);
        fputs(", \"error\": ", out);
        if (imp.fLoaded)
            fputs("null", out);
        else
            fprintf(out, "%d", int(imp.load_error));
        fprintf(out, ", \"delay_loaded\": %s", imp.fDelayLoaded ? "true" : "false");
    }
    fputs(",\n         \"entries\": [", out);
    for (size_t k = 0; k < imp.entries.size(); k++) {
        if (k) fputs(", ", out);
        json_entry(out, imp.entries[k], imp.fLoadTested);
    }
    fputs("]}", out);
}

static void json_module(FILE* out, const RUN_MODULE& m, size_t i) {
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
    fputs(",\n      \"imports\": [", out);
    for (size_t k = 0; k < m.imports.size(); k++) {
        fputs(k ? ",\n" : "\n", out);
        json_import(out, m.imports[k]);
    }
    fputs(m.imports.empty() ? "]}" : "\n      ]}", out);
}

static void json_problem(FILE* out, const RUN_PROBLEM& p) {
    fprintf(out, "    {\"kind\": \"%s\", \"dll\": ", problem_kind(p.kind));
    json_str(out, problem_dll(p));
    const RUN_IMPORT* pImport = problem_import(p);
    if (p.kind == PROBLEM_NOT_RESOLVED) {
        fputs(", \"entry\": ", out);
        json_entry(out, pImport->entries[size_t(p.iEntry)], true);
    }
    fputs(", \"error\": ", out);
    if (p.kind == PROBLEM_NOT_LOADED)
        fprintf(out, "%d", int(pImport->load_error));
    else if (p.kind == PROBLEM_NOT_RESOLVED)
        fprintf(out, "%d", int(pImport->entries[size_t(p.iEntry)].outcome));
    else
        fprintf(out, "%d", int(RunRecord.modules[size_t(p.iFailed)].result));
    fputs(", \"module\": ", out);
    if (p.iFailed < 0)
        fputs("null", out);
    else
        fprintf(out, "%d", int(p.iFailed));
    fputs(", \"chain\": [", out);
    const char* sep = "";
    for (int32_t i : chain_to(p.iModule)) {
        fputs(sep, out);
        json_str(out, base_name(RunRecord.modules[size_t(i)].filespec));
        sep = ", ";
    }
    fputs("]}", out);
}

void print_json_report(FILE* out, int argc, char** argv, int32_t exit_code, bool fList) {
    fprintf(out, "{\n  \"tool\": \"talvek\",\n  \"version\": \"%s\",\n  \"format_version\": %d,\n", TalvekVersion,
            kJsonFormatVersion);
    fputs("  \"command_line\": [", out);
    for (int i = 0; i < argc; i++) {
        if (i) fputs(", ", out);
        json_str(out, argv[i]);
    }
    fputs("],\n  \"named_module\": ", out);
    if (RunRecord.modules.empty())
        fputs("null", out);
    else
        json_str(out, RunRecord.modules[0].filespec);
    fprintf(out, ",\n  \"exit_code\": %d,\n  \"modules\": [", int(exit_code));
    for (size_t i = 0; i < RunRecord.modules.size(); i++) {
        fputs(i ? ",\n" : "\n", out);
        json_module(out, RunRecord.modules[i], i);
    }
    fputs(RunRecord.modules.empty() ? "]" : "\n  ]", out);
    if (fList) {
        fputs(",\n  \"needed\": [", out);
        const char* sep = "";
        for (PLOADED_FILE p = pLoadedFiles ? pLoadedFiles->pNext : nullptr; p; p = p->pNext) {
            fputs(sep, out);
            json_str(out, p->filespec);
            sep = ", ";
        }
        fputs("]", out);
    }
    fputs(",\n  \"missing\": [", out);
    for (size_t k = 0; k < RunRecord.problems.size(); k++) {
        fputs(k ? ",\n" : "\n", out);
        json_problem(out, RunRecord.problems[k]);
    }
    fputs(RunRecord.problems.empty() ? "]\n}\n" : "\n  ]\n}\n", out);
}

static const char kMissingStyle[] = ", style=dashed, color=red, fontcolor=red";

void print_dot_graph(FILE* out) {
    fputs("digraph talvek {\n  node [shape=box];\n", out);
    for (size_t i = 0; i < RunRecord.modules.size(); i++) {
        const RUN_MODULE& m = RunRecord.modules[i];
        fprintf(out, "  m%u [label=\"", unsigned(i));
        dot_str(out, base_name(m.filespec));
        bool fMissing = (m.fDone && m.result != 0) || !m.fOpened;
        if (!m.fOpened)
            fputs("\\ncannot be opened", out);
        else if (fMissing)
            fprintf(out, "\\ncheck failed (%d)", int(m.result));
        else if (m.format)
            fprintf(out, "\\n%s", m.format);
        if (fMissing && m.fOpened && !m.error.empty()) {
            fputs("\\n", out);
            dot_str(out, m.error);
        }
        fputs("\", tooltip=\"", out);
        dot_str(out, m.filespec);
        fprintf(out, "\"%s];\n", fMissing ? kMissingStyle : "");
    }
    // One node per DLL name that no module stands for, shared by all that import it.
    std::map<std::string, unsigned> named;
    for (const RUN_MODULE& m : RunRecord.modules) {
        for (const RUN_IMPORT& imp : m.imports) {
            if (imp.iModule >= 0 || named.count(imp.dll)) continue;
            unsigned n = unsigned(named.size());
            named.emplace(imp.dll, n);
            fprintf(out, "  n%u [label=\"", n);
            dot_str(out, imp.dll);
            if (imp.fLoadTested && !imp.fLoaded) fprintf(out, "\\nnot loaded (%d)", int(imp.load_error));
            fprintf(out, "\"%s];\n", imp.fLoadTested && !imp.fLoaded ? kMissingStyle : "");
        }
    }
    for (size_t i = 0; i < RunRecord.modules.size(); i++) {
        for (const RUN_IMPORT& imp : RunRecord.modules[i].imports) {
            size_t cFailed = 0;
            for (const RUN_ENTRY& e : imp.entries) cFailed += e.outcome != 0 && e.outcome != ENTRY_NOT_ASKED;
            if (imp.iModule >= 0)
                fprintf(out, "  m%u -> m%d [label=\"%u", unsigned(i), int(imp.iModule), unsigned(imp.entries.size()));
            else
                fprintf(out, "  m%u -> n%u [label=\"%u", unsigned(i), named[imp.dll], unsigned(imp.entries.size()));
            if (cFailed) fprintf(out, " (%u failed)", unsigned(cFailed));
            bool fMissing = cFailed || (imp.fLoadTested && !imp.fLoaded);
            fputs(fMissing ? "\", color=red, fontcolor=red];\n" : "\"];\n", out);
        }
    }
    fputs("}\n", out);
}

}  // namespace talvek
