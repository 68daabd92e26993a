// The writers over the run record: the -e summary, the JSON document and the DOT graph.
#include <algorithm>
#include <cinttypes>
#include <map>
#include <set>
#include <string>
#include <unordered_map>

#include "common/options.h"
#include "driver/messages.h"
#include "driver/registry.h"
#include "driver/run_record.h"
#include "driver/text_report.h"
#include "platform/fs.h"

namespace talvek {

const char TalvekVersion[] = TALVEK_VERSION;

// The document's shape; raised when a field changes meaning or goes away.
static const int kJsonFormatVersion = 3;

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

static const char* problem_kind(RUN_PROBLEM_KIND kind) {
    switch (kind) {
        case PROBLEM_NOT_LOADED: return "not_loaded";
        case PROBLEM_NOT_RESOLVED: return "not_resolved";
        case PROBLEM_NOT_OPENED: return "not_opened";
        case PROBLEM_NOT_IN_WINDOWS: return "not_part_of_windows";
        default: return "check_failed";
    }
}

void print_missing_summary(FILE* out) {
    if (RunRecord.problems.empty()) return;
    fprintf(out, "\nMissing: %u\n", unsigned(RunRecord.problems.size()));
    for (const RUN_PROBLEM& p : RunRecord.problems) {
        fprintf(out, "%s: ", shown(p.dll, out).c_str());
        if (p.kind == PROBLEM_NOT_LOADED)
            fprintf(out, "not loaded (%d)", int(p.error));
        else if (p.kind == PROBLEM_NOT_RESOLVED && p.fOrdinal)
            fprintf(out, "ordinal %u not resolved (%d)", unsigned(p.ulOrdinal), int(p.error));
        else if (p.kind == PROBLEM_NOT_RESOLVED)
            fprintf(out, "entry '%s' not resolved (%d)", shown(p.entry, out).c_str(), int(p.error));
        else if (p.kind == PROBLEM_NOT_OPENED)
            fputs("cannot be opened", out);
        else if (p.kind == PROBLEM_NOT_IN_WINDOWS)
            fprintf(out, p.fVcRuntime ? Msg_NotInWindowsVc : Msg_NotInWindows, p.windows.c_str());
        else
            fprintf(out, "check failed (%d)", int(p.error));
        const char* sep = ", needed by ";
        for (const std::vector<std::string>& chain : p.chains) {
            fputs(sep, out);
            for (size_t k = 0; k < chain.size(); k++)
                fprintf(out, "%s%s", k ? " > " : "", shown(chain[k], out).c_str());
            sep = ", and by ";
        }
        fputs(p.fCauseUnknown ? "; cause not found\n" : "\n", out);
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

static void json_ref(FILE* out, bool fOrdinal, uint32_t ulOrdinal, std::string_view name) {
    if (fOrdinal) {
        fprintf(out, "{\"ordinal\": %u}", unsigned(ulOrdinal));
    } else {
        fputs("{\"name\": ", out);
        json_str(out, name);
        fputc('}', out);
    }
}

// Why a DLL did not load or an entry did not resolve: the loader's steps from what was asked
// for down to what is missing.
static void json_cause(FILE* out, const LOAD_FAILURE& c) {
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
            json_ref(out, step.fOrdinal, step.ordinal, step.entry);
        }
        fprintf(out, ", \"error\": %u}", unsigned(step.error));
    }
    fputs("], \"passed_over\": ", out);
    json_str_list(out, c.passedOver);
    fputs(", \"reason\": ", out);
    json_null_or_str(out, c.reason);
    fprintf(out, ", \"found\": %s}", c.fUnknown ? "false" : "true");
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
        if (e.outcome != 0) json_cause(out, e.cause);
    }
    fputc('}', out);
}

// Under --windows: where a loaded DLL came from, and whether it is part of the target Windows.
static void json_origin(FILE* out, DLL_ORIGIN origin, bool fWindows) {
    static const char* const kOrigins[] = {nullptr, "application", "system", "elsewhere", "absent"};
    if (origin == ORIGIN_UNKNOWN) return;
    fprintf(out, ", \"origin\": \"%s\", \"part_of_windows\": %s", kOrigins[origin], fWindows ? "true" : "false");
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
        if (imp.fLoaded && imp.origin != ORIGIN_ABSENT)
            json_str(out, imp.path);
        else
            fputs("null", out);
        fputs(", \"error\": ", out);
        if (imp.fLoaded)
            fputs("null", out);
        else
            fprintf(out, "%d", int(imp.load_error));
        if (!imp.fLoaded) json_cause(out, imp.cause);
        fprintf(out, ", \"delay_loaded\": %s", imp.fDelayLoaded ? "true" : "false");
        json_origin(out, imp.origin, imp.fWindows);
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
    if (!m.windows.empty()) {
        fputs(", \"windows\": ", out);
        json_str(out, m.windows);
    }
    fputs(",\n      \"imports\": [", out);
    for (size_t k = 0; k < m.imports.size(); k++) {
        fputs(k ? ",\n" : "\n", out);
        json_import(out, m.imports[k]);
    }
    fputs(m.imports.empty() ? "]}" : "\n      ]}", out);
}

static void json_problem(FILE* out, const RUN_PROBLEM& p) {
    fprintf(out, "    {\"kind\": \"%s\", \"dll\": ", problem_kind(p.kind));
    json_str(out, p.dll);
    if (p.kind == PROBLEM_NOT_RESOLVED) {
        fputs(", \"entry\": ", out);
        json_ref(out, p.fOrdinal, p.ulOrdinal, p.entry);
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
    // What the loader knows of a DLL or entry it could not load or resolve.
    if (p.kind == PROBLEM_NOT_LOADED || p.kind == PROBLEM_NOT_RESOLVED) {
        fputs(", \"reason\": ", out);
        json_null_or_str(out, p.reason);
        fputs(", \"passed_over\": ", out);
        json_str_list(out, p.passedOver);
        fprintf(out, ", \"cause_found\": %s", p.fCauseUnknown ? "false" : "true");
    }
    if (p.kind == PROBLEM_NOT_IN_WINDOWS) {
        fputs(", \"path\": ", out);
        json_str(out, p.file);
        fputs(", \"windows\": ", out);
        json_str(out, p.windows);
        fprintf(out, ", \"vc_redistributable\": %s", p.fVcRuntime ? "true" : "false");
    }
    fputc('}', out);
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
    // With -m, every module named and the record of its check; without, the one.
    fputs(",\n  \"named_modules\": [", out);
    if (RunRecord.named.empty() && !RunRecord.modules.empty()) {
        fputs("{\"file\": ", out);
        json_str(out, RunRecord.modules[0].filespec);
        fputs(", \"module\": 0}", out);
    }
    for (size_t k = 0; k < RunRecord.named.size(); k++) {
        fputs(k ? ", {\"file\": " : "{\"file\": ", out);
        json_str(out, RunRecord.named[k].file);
        fputs(", \"module\": ", out);
        if (RunRecord.named[k].iModule < 0)
            fputs("null}", out);
        else
            fprintf(out, "%d}", int(RunRecord.named[k].iModule));
    }
    fputc(']', out);
    fprintf(out, ",\n  \"exit_code\": %d,\n  \"modules\": [", int(exit_code));
    for (size_t i = 0; i < RunRecord.modules.size(); i++) {
        fputs(i ? ",\n" : "\n", out);
        json_module(out, RunRecord.modules[i], i);
    }
    fputs(RunRecord.modules.empty() ? "]" : "\n  ]", out);
    if (fList) {
        fputs(",\n  \"needed\": [", out);
        const char* sep = "";
        for (PLOADED_FILE p : needed_files()) {
            fputs(sep, out);
            json_str(out, p->filespec);
            sep = ", ";
        }
        fputs("]", out);
    }
    if (windows_version >= 0) {
        fputs(",\n  \"ship\": ", out);
        json_str_list(out, RunRecord.ship);
    }
    fputs(",\n  \"missing\": [", out);
    for (size_t k = 0; k < RunRecord.problems.size(); k++) {
        fputs(k ? ",\n" : "\n", out);
        json_problem(out, RunRecord.problems[k]);
    }
    fputs(RunRecord.problems.empty() ? "]\n}\n" : "\n  ]\n}\n", out);
}

static const char kMissingStyle[] = ", style=dashed, color=red, fontcolor=red";
static const char kAbsentStyle[] = ", style=dotted, color=gray50, fontcolor=gray50";

// Under --windows, what a module node adds to its label and its style: where its file came
// from, part of Windows (filled grey), to ship (orange), in the application folder (green).
static const char* dot_origin(FILE* out, const RUN_MODULE& m) {
    static const char* const kOrigins[] = {"", "application folder", "system folder", "elsewhere", ""};
    if (m.origin == ORIGIN_UNKNOWN || m.origin == ORIGIN_ABSENT) return "";
    bool fShip = RunRecord.shipSet.count(m.filespec) != 0;
    fprintf(out, "\\n%s%s%s", kOrigins[m.origin], m.fWindows ? ", part of Windows" : "", fShip ? ", to ship" : "");
    if (fShip) return ", color=darkorange, fontcolor=darkorange, penwidth=2";
    if (m.fWindows) return ", style=filled, fillcolor=gray90";
    return m.origin == ORIGIN_APPLICATION ? ", color=darkgreen" : "";
}

// An edge the loader met below a failed import: from the DLL that needs step's DLL to it.
struct CAUSE_EDGE {
    std::string from, to;
    const LOAD_STEP* step;
};

void print_dot_graph(FILE* out) {
    fputs("digraph talvek {\n  node [shape=box];\n", out);
    // One node per file: with -m a module named is checked again under a record of its own,
    // and may have been reached before by its full path. Without -m each record is a node.
    std::vector<unsigned> nodes(RunRecord.modules.size());
    std::unordered_map<std::string, unsigned> byPath;
    for (size_t i = 0; i < nodes.size(); i++) {
        const std::string& file = RunRecord.modules[i].filespec;
        nodes[i] = several_modules ? byPath.emplace(normal_path(file), unsigned(i)).first->second : unsigned(i);
    }
    auto node_of = [&](size_t i) { return nodes[i]; };
    for (size_t i = 0; i < RunRecord.modules.size(); i++) {
        const RUN_MODULE& m = RunRecord.modules[i];
        if (node_of(i) != i) continue;
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
        const char* style = fMissing ? kMissingStyle : dot_origin(out, m);
        fputs("\", tooltip=\"", out);
        dot_str(out, m.filespec);
        fprintf(out, "\"%s];\n", style);
    }
    // One node per DLL name that no module stands for, shared by all that import it.
    std::map<std::string, unsigned> named;
    // absent: the Windows a stand-in stands for a DLL of.
    auto declare = [&](const std::string& dll, bool fMissing, int32_t error, const std::string* absent = nullptr) {
        auto it = named.find(dll);
        if (it != named.end()) return it->second;
        unsigned n = unsigned(named.size());
        named.emplace(dll, n);
        fprintf(out, "  n%u [label=\"", n);
        dot_str(out, dll);
        if (fMissing) fprintf(out, "\\nnot loaded (%d)", int(error));
        if (absent) {
            fputs("\\npart of ", out);
            dot_str(out, *absent);
            fputs(", not here", out);
        }
        fprintf(out, "\"%s];\n", fMissing ? kMissingStyle : absent ? kAbsentStyle : "");
        return n;
    };
    auto import_node = [&](const RUN_IMPORT& imp) {
        return imp.iModule >= 0 ? "m" + std::to_string(node_of(size_t(imp.iModule))) : "n" + std::to_string(named[imp.dll]);
    };
    for (const RUN_MODULE& m : RunRecord.modules)
        for (const RUN_IMPORT& imp : m.imports)
            if (imp.iModule < 0)
                declare(imp.dll, imp.fLoadTested && !imp.fLoaded, imp.load_error,
                        imp.origin == ORIGIN_ABSENT ? &m.windows : nullptr);
    // The DLLs the loader met on the way down to what a failed import lacks, each with an
    // edge from the DLL that needs it; a DLL that did not load is drawn as missing, one of
    // which only an entry is missing is not.
    std::vector<CAUSE_EDGE> causes;
    auto add_cause = [&](const std::string& from, const LOAD_FAILURE& cause) {
        std::string prev = from;
        for (size_t k = 1; k < cause.chain.size(); k++) {
            const LOAD_STEP& step = cause.chain[k];
            auto module = RunRecord.byName.find(step.file);
            std::string to = !step.file.empty() && module != RunRecord.byName.end()
                                 ? "m" + std::to_string(node_of(size_t(module->second)))
                                 : "n" + std::to_string(declare(step.dll, !step.fEntry, int32_t(step.error)));
            causes.push_back(CAUSE_EDGE{prev, to, &step});
            prev = to;
        }
    };
    for (const RUN_MODULE& m : RunRecord.modules) {
        for (const RUN_IMPORT& imp : m.imports) {
            if (imp.fLoadTested && !imp.fLoaded) add_cause(import_node(imp), imp.cause);
            for (const RUN_ENTRY& e : imp.entries)
                if (e.outcome != 0 && e.outcome != ENTRY_NOT_ASKED) add_cause(import_node(imp), e.cause);
        }
    }
    for (size_t i = 0; i < RunRecord.modules.size(); i++) {
        // A module named again with -m has its edges drawn once, from its first check.
        if (node_of(i) != i && !RunRecord.modules[node_of(i)].imports.empty()) continue;
        for (const RUN_IMPORT& imp : RunRecord.modules[i].imports) {
            size_t cFailed = 0;
            for (const RUN_ENTRY& e : imp.entries) cFailed += e.outcome != 0 && e.outcome != ENTRY_NOT_ASKED;
            fprintf(out, "  m%u -> %s [label=\"%u", node_of(i), import_node(imp).c_str(), unsigned(imp.entries.size()));
            if (cFailed) fprintf(out, " (%u failed)", unsigned(cFailed));
            bool fMissing = cFailed || (imp.fLoadTested && !imp.fLoaded);
            fputs(fMissing ? "\", color=red, fontcolor=red];\n" : "\"];\n", out);
        }
    }
    std::set<std::string> drawn;
    for (const CAUSE_EDGE& c : causes) {
        const LOAD_STEP& step = *c.step;
        std::string key = c.from + ">" + c.to + ">" + (step.fEntry ? step.entry + "#" + std::to_string(step.ordinal) : "");
        if (!drawn.insert(key).second) continue;
        fprintf(out, "  %s -> %s [", c.from.c_str(), c.to.c_str());
        if (step.fEntry && step.fOrdinal) {
            fprintf(out, "label=\"ordinal %u not resolved\", ", unsigned(step.ordinal));
        } else if (step.fEntry) {
            fputs("label=\"'", out);
            dot_str(out, step.entry);
            fputs("' not resolved\", ", out);
        }
        fputs("color=red, fontcolor=red];\n", out);
    }
    fputs("}\n", out);
}

}  // namespace talvek
