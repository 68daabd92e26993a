// The summaries of a run in text: the final list of the DLLs needed and the -e summary of
// what is missing.
#include <cstdio>
#include <string>
#include <vector>

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

void print_missing_summary(const RUN* run, FILE* out) {
    const RUN_RECORD& rec = run->record;
    if (rec.problems.empty()) return;
    bool fTerminal = is_terminal(out);
    fprintf(out, "\nMissing: %u\n", unsigned(rec.problems.size()));
    for (const RUN_PROBLEM& p : rec.problems) {
        fprintf(out, "%s: ", shown(p.dll, fTerminal).c_str());
        if (p.kind == PROBLEM_NOT_LOADED)
            fprintf(out, "not loaded (%d)", int(p.error));
        else if (p.kind == PROBLEM_NOT_RESOLVED && p.fOrdinal)
            fprintf(out, "ordinal %u not resolved (%d)", unsigned(p.ulOrdinal), int(p.error));
        else if (p.kind == PROBLEM_NOT_RESOLVED)
            fprintf(out, "entry '%s' not resolved (%d)", shown(p.entry, fTerminal).c_str(), int(p.error));
        else if (p.kind == PROBLEM_NOT_OPENED)
            fputs("cannot be opened", out);
        else if (p.kind == PROBLEM_NOT_IN_WINDOWS)
            fprintf(out, p.fVcRuntime ? Msg_NotInWindowsVc : Msg_NotInWindows, p.windows.c_str());
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
}


}  // namespace talvek
