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
static const char kHostStyle[] = ", style=rounded";

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

// The graph of one run as it is written: module nodes, then the nodes of DLL names no module
// stands for, then the import edges, then the edges of the causes of failures.
struct DOT_WRITER {
    const RUN* run;
    const RUN_RECORD& rec;
    FILE* out;
    std::vector<unsigned> nodes;             // module record -> the record whose node stands for its file
    std::map<std::string, unsigned> named;   // a DLL name no module stands for -> its node
    std::vector<CAUSE_EDGE> causes;

    // One node per file: with -m a module named is checked again under a record of its own,
    // and may have been reached before by its full path. Without -m each record is a node.
    void number_nodes() {
        nodes.resize(rec.modules.size());
        std::unordered_map<std::string, unsigned> byPath;
        for (size_t i = 0; i < nodes.size(); i++) {
            const std::string& file = rec.modules[i].filespec;
            nodes[i] = run->opt.several_modules ? byPath.emplace(normal_path(file), unsigned(i)).first->second : unsigned(i);
        }
    }

    void write_module_node(size_t i) {
        const RUN_MODULE& m = rec.modules[i];
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

    // The node of a DLL name that no module stands for, shared by all that import it; written
    // when first met. absent: the Windows a stand-in stands for a DLL of; fHost: the program
    // that loads the module, without --host.
    unsigned declare(const std::string& dll, bool fMissing, int32_t error, const std::string* absent = nullptr,
                     bool fHost = false) {
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
        if (fHost) fputs("\\nthe program that loads the module", out);
        fprintf(out, "\"%s];\n", fMissing ? kMissingStyle : absent ? kAbsentStyle : fHost ? kHostStyle : "");
        return n;
    }

    std::string import_node(const RUN_IMPORT& imp) {
        return imp.iModule >= 0 ? "m" + std::to_string(nodes[size_t(imp.iModule)]) : "n" + std::to_string(named[imp.dll]);
    }

    // The DLLs the loader met on the way down to what a failed import lacks, each with an
    // edge from the DLL that needs it; a DLL that did not load is drawn as missing, one of
    // which only an entry is missing is not.
    void add_cause(const std::string& from, const LOAD_FAILURE& cause) {
        std::string prev = from;
        for (size_t k = 1; k < cause.chain.size(); k++) {
            const LOAD_STEP& step = cause.chain[k];
            auto module = rec.byName.find(step.file);
            std::string to = !step.file.empty() && module != rec.byName.end()
                                 ? "m" + std::to_string(nodes[size_t(module->second)])
                                 : "n" + std::to_string(declare(step.dll, !step.fEntry, int32_t(step.error)));
            causes.push_back(CAUSE_EDGE{prev, to, &step});
            prev = to;
        }
    }

    void write_import_edges(size_t i) {
        for (const RUN_IMPORT& imp : rec.modules[i].imports) {
            size_t cFailed = 0;
            for (const RUN_ENTRY& e : imp.entries) cFailed += e.outcome != 0 && e.outcome != ENTRY_NOT_ASKED;
            fprintf(out, "  m%u -> %s [label=\"%u", nodes[i], import_node(imp).c_str(), unsigned(imp.entries.size()));
            if (cFailed) fprintf(out, " (%u failed)", unsigned(cFailed));
            bool fMissing = cFailed || (imp.fLoadTested && !imp.fLoaded);
            fputs(fMissing ? "\", color=red, fontcolor=red];\n" : "\"];\n", out);
        }
    }

    // Each edge of a cause once, labelled with the entry where only an entry is missing.
    void write_cause_edges() {
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
    }
};

void print_dot_graph(const RUN* run, FILE* out) {
    DOT_WRITER w{run, run->record, out, {}, {}, {}};
    const RUN_RECORD& rec = w.rec;
    fputs("digraph talvek {\n  node [shape=box];\n", out);
    w.number_nodes();
    for (size_t i = 0; i < rec.modules.size(); i++)
        if (w.nodes[i] == i) w.write_module_node(i);
    for (const RUN_MODULE& m : rec.modules)
        for (const RUN_IMPORT& imp : m.imports)
            if (imp.iModule < 0)
                w.declare(imp.dll, imp.fLoadTested && !imp.fLoaded, imp.load_error,
                          imp.origin == ORIGIN_ABSENT ? &m.windows : nullptr, imp.fHost);
    for (const RUN_MODULE& m : rec.modules) {
        for (const RUN_IMPORT& imp : m.imports) {
            if (imp.fLoadTested && !imp.fLoaded) w.add_cause(w.import_node(imp), imp.cause);
            for (const RUN_ENTRY& e : imp.entries)
                if (e.outcome != 0 && e.outcome != ENTRY_NOT_ASKED && e.cause) w.add_cause(w.import_node(imp), *e.cause);
        }
    }
    // A module named again with -m has its edges drawn once, from its first check.
    for (size_t i = 0; i < rec.modules.size(); i++)
        if (w.nodes[i] == i || rec.modules[w.nodes[i]].imports.empty()) w.write_import_edges(i);
    w.write_cause_edges();
    fputs("}\n", out);
}

}  // namespace talvek
