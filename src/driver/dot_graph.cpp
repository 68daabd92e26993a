// The -g document: the run's record as a Graphviz DOT graph.
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "driver/escape.h"
#include "driver/run.h"
#include "platform/fs.h"

namespace talvek {

// A DOT string of file bytes (ESCAPE_DOT), without its quotes.
static void dot_str(FILE* out, std::string_view s) {
    std::string text = escaped(s, ESCAPE_DOT);
    fwrite(text.data(), 1, text.size(), out);
}

static const char kMissingStyle[] = ", style=dashed, color=red, fontcolor=red";
static const char kAbsentStyle[] = ", style=dotted, color=gray50, fontcolor=gray50";

// Under --windows, what a module node adds to its label and its style: where its file came
// from, part of Windows (filled grey), to ship (orange), in the application folder (green).
static const char* dot_origin(const RUN_RECORD& rec, FILE* out, const RUN_MODULE& m) {
    static const char* const kOrigins[] = {"", "application folder", "system folder", "elsewhere", "", "the host's"};
    if (m.origin == ORIGIN_UNKNOWN || m.origin == ORIGIN_ABSENT) return "";
    bool fShip = rec.shipSet.count(m.filespec) != 0;
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

void print_dot_graph(const RUN* run, FILE* out) {
    const RUN_RECORD& rec = run->record;
    fputs("digraph talvek {\n  node [shape=box];\n", out);
    // One node per file: with -m a module named is checked again under a record of its own,
    // and may have been reached before by its full path. Without -m each record is a node.
    std::vector<unsigned> nodes(rec.modules.size());
    std::unordered_map<std::string, unsigned> byPath;
    for (size_t i = 0; i < nodes.size(); i++) {
        const std::string& file = rec.modules[i].filespec;
        nodes[i] = run->opt.several_modules ? byPath.emplace(normal_path(file), unsigned(i)).first->second : unsigned(i);
    }
    auto node_of = [&](size_t i) { return nodes[i]; };
    for (size_t i = 0; i < rec.modules.size(); i++) {
        const RUN_MODULE& m = rec.modules[i];
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
        const char* style = fMissing ? kMissingStyle : dot_origin(rec, out, m);
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
    for (const RUN_MODULE& m : rec.modules)
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
            auto module = rec.byName.find(step.file);
            std::string to = !step.file.empty() && module != rec.byName.end()
                                 ? "m" + std::to_string(node_of(size_t(module->second)))
                                 : "n" + std::to_string(declare(step.dll, !step.fEntry, int32_t(step.error)));
            causes.push_back(CAUSE_EDGE{prev, to, &step});
            prev = to;
        }
    };
    for (const RUN_MODULE& m : rec.modules) {
        for (const RUN_IMPORT& imp : m.imports) {
            if (imp.fLoadTested && !imp.fLoaded) add_cause(import_node(imp), imp.cause);
            for (const RUN_ENTRY& e : imp.entries)
                if (e.outcome != 0 && e.outcome != ENTRY_NOT_ASKED) add_cause(import_node(imp), e.cause);
        }
    }
    for (size_t i = 0; i < rec.modules.size(); i++) {
        // A module named again with -m has its edges drawn once, from its first check.
        if (node_of(i) != i && !rec.modules[node_of(i)].imports.empty()) continue;
        for (const RUN_IMPORT& imp : rec.modules[i].imports) {
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
