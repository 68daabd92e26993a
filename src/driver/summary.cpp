// The summaries of a run in text: the final list of the DLLs needed and the -e summary of
// what is missing.
#include <cstdio>
#include <string>
#include <vector>

#include "common/demangle.h"
#include "driver/escape.h"
#include "driver/messages.h"
#include "driver/run.h"
#include "platform/console.h"

namespace talvek {

void print_needed_list(const RUN* run, const std::string& named, FILE* out) {
    const std::vector<PLOADED_FILE>& needed = run->registry.NeededFiles;
    bool fTerminal = is_terminal(out);
    unsigned count = unsigned(needed.size());
    fprintf(out, Msg_FilesNeeded, count, count == 1 ? " is" : "s are", named.c_str());
    for (PLOADED_FILE p : needed) fprintf(out, "%s\n", shown(p->filespec, fTerminal).c_str());
}

// The judgement of a DLL or API set the target Windows lacks: what brings it where Windows does
// not, then whether it can ship from here.
static std::string not_in_windows_text(const RUN_PROBLEM& p) {
    std::string s = filled(p.fApiSet && p.source != SOURCE_UCRT ? Msg_ApiSetNotPartOf : Msg_NotPartOf, {p.windows});
    if (p.fApiSet && p.source != SOURCE_UCRT) return s;
    if (p.source == SOURCE_VC_REDIST)
        s += Msg_SourceVc;
    else if (p.source == SOURCE_UCRT)
        s += Msg_SourceUcrt;
    else if (p.source == SOURCE_DIRECTX && !p.fShippable)
        s += Msg_SourceDirectX;
    return s + (p.fShippable ? Msg_ShipIt : p.fApiSet ? Msg_NoFileHere : Msg_OnlyWineCopy);
}

// An entry's name in quotes, and a C++ name's demangled form in quotes with the raw name beside
// it in brackets.
static std::string entry_shown(DEMANGLER* dm, const std::string& name, bool fTerminal) {
    std::string text = demangled(dm, name);
    if (text.empty()) return "'" + shown(name, fTerminal) + "'";
    return "'" + shown(text, fTerminal) + "' [" + shown(name, fTerminal) + "]";
}

// One line of the -e summary, as --ship and --deploy also say it.
static void print_problem(const RUN_PROBLEM& p, FILE* out, bool fTerminal, DEMANGLER* dm) {
    fprintf(out, "%s: ", shown(p.dll, fTerminal).c_str());
    std::string entry = p.fOrdinal ? "ordinal " + std::to_string(p.ulOrdinal) : "entry " + entry_shown(dm, p.entry, fTerminal);
    if (p.kind == PROBLEM_NOT_LOADED)
        fprintf(out, "not loaded (%d)%s%s", int(p.error), p.detail.empty() ? "" : ": ", shown(p.detail, fTerminal).c_str());
    else if (p.kind == PROBLEM_NOT_RESOLVED)
        fprintf(out, "%s not resolved (%d)", entry.c_str(), int(p.error));
    else if (p.kind == PROBLEM_NOT_VERIFIED)
        fprintf(out, "%s%s", entry.c_str(), filled(Msg_NotInWinesCopy, {std::to_string(p.error)}).c_str());
    else if (p.kind == PROBLEM_NOT_OPENED)
        fputs("cannot be opened", out);
    else if (p.kind == PROBLEM_NOT_LOADABLE)
        fprintf(out, "not a loadable image (%s)", shown(p.reason, fTerminal).c_str());
    else if (p.kind == PROBLEM_NOT_IN_WINDOWS)
        fputs(shown(not_in_windows_text(p), fTerminal).c_str(), out);
    else
        fprintf(out, "check failed (%d)", int(p.error));
    if (p.outside != OUTSIDE_NONE)
        fprintf(out, Msg_OutsideSearch, p.outside == OUTSIDE_PATH ? "on PATH" : "in the current folder");
    const char* sep = ", needed by ";
    for (const std::vector<std::string>& chain : p.chains) {
        fputs(sep, out);
        for (size_t k = 0; k < chain.size(); k++)
            fprintf(out, "%s%s", k ? " > " : "", shown(chain[k], fTerminal).c_str());
        sep = ", and by ";
    }
    fputs(p.fCauseUnknown ? "; cause not found\n" : "\n", out);
}

void print_missing_summary(const RUN* run, FILE* out) {
    const RUN_RECORD& rec = run->record;
    bool fTerminal = is_terminal(out);
    DEMANGLER dm;
    if (!rec.problems.empty()) fprintf(out, "\nMissing: %u\n", unsigned(rec.problems.size()));
    for (const RUN_PROBLEM& p : rec.problems) print_problem(p, out, fTerminal, &dm);
    // Under --windows, what only Wine's copies lack: listed apart, not counted.
    if (!rec.unverified.empty()) fprintf(out, Msg_NotVerified, unsigned(rec.unverified.size()));
    for (const RUN_PROBLEM& p : rec.unverified) print_problem(p, out, fTerminal, &dm);
}

size_t print_unshippable(const RUN* run, FILE* out) {
    size_t n = 0;
    bool fTerminal = is_terminal(out);
    DEMANGLER dm;
    for (const RUN_PROBLEM& p : run->record.problems) {
        if (!blocks_shipping(p)) continue;
        if (n++ == 0) fflush(stdout);
        print_problem(p, out, fTerminal, &dm);
    }
    return n;
}

}  // namespace talvek
