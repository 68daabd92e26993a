// The text report: every event of the run as the lines the tool prints, indented by level.
#include "driver/text_report.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "platform/console.h"
#include "platform/windows_dlls.h"

namespace talvek {

void levelprint(FILE* stream) {
    // Standard output may be buffered (see tool_main); what it holds comes first.
    if (stream == stderr) fflush(stdout);
    if (level < 2) return;
    // One blank run, grown to the deepest level seen, so a line costs one write however
    // deep the recursion goes.
    static char* blanks = nullptr;
    static size_t cBlanks = 0;
    size_t n = 2 * size_t(level) - 2;
    if (n > cBlanks) {
        size_t cap = std::max<size_t>(n, 2 * cBlanks);
        char* p = static_cast<char*>(realloc(blanks, cap));
        if (p) {
            memset(p, ' ', cap);
            blanks = p;
            cBlanks = cap;
        }
    }
    // Without a long enough run (no memory), the blanks go out in pieces.
    while (n > 0) {
        static const char kSome[] = "                                ";
        size_t k = n <= cBlanks ? n : std::min(n, sizeof kSome - 1);
        fwrite(n <= cBlanks ? blanks : kSome, 1, k, stream);
        n -= k;
    }
}

namespace {

// What the lines of an import need of the events before them: the format of each module on
// the recursion path (its entries are listed in its format's way), and the import at hand;
// and whether the two streams are terminals, asked once.
enum TERMINAL { TERMINAL_UNKNOWN, TERMINAL_NO, TERMINAL_YES };
struct PRINTER {
    std::vector<REPORT_FORMAT> formats;
    std::string dll;    // the last import's name, as shown
    std::string path;   // the loader's path of the last import, as shown
    TERMINAL out = TERMINAL_UNKNOWN, err = TERMINAL_UNKNOWN;
    bool fNotedNoSystemFolder = false;
};
PRINTER& P = *new PRINTER;

REPORT_FORMAT current_format() { return P.formats.empty() ? FMT_NONE : P.formats.back(); }

bool is_pe(REPORT_FORMAT f) { return f == FMT_PE32 || f == FMT_PE32PLUS; }

// Writes s at once: on a terminal standard output is unbuffered, and each write is a call to
// the system, so a line goes out whole.
void put(std::string_view s) {
    if (!s.empty()) fwrite(s.data(), 1, s.size(), stdout);
}

// The line "  NAME" and its end, as shown on standard output.
void put_name_line(std::string_view name, const char* end) {
    std::string line = "  " + shown(name, stdout);
    line += end;
    put(line);
}

// An entry of an LX or NE module, listed from its own tables: NE names end with a '.'; with
// -v each line comes twice (an NE name the second time without its '.').
void print_listed_entry(const REPORT_EVENT& ev, bool fNE) {
    for (int k = 0; k < (LoadVerbose ? 2 : 1); k++) {
        levelprint(stdout);
        if (ev.fOrdinal) {
            fprintf(stdout, "  %3d (0x%04x)\n", int(int32_t(ev.ordinal)), unsigned(ev.ordinal));
        } else {
            put_name_line(ev.text, fNE && k == 0 ? ".\n" : "\n");
        }
    }
}

// An entry of a PE import: three lines when it did not resolve; with -v one line when it did.
void print_loaded_entry(const REPORT_EVENT& ev) {
    if (ev.code == ENTRY_NOT_ASKED) return;
    if (ev.code != 0) {
        levelprint(stdout);
        fprintf(stdout, Err_NoProcMain, P.dll.c_str(), P.path.c_str());
        levelprint(stdout);
        if (ev.fOrdinal)
            fprintf(stdout, Err_NoProcOrd, unsigned(ev.ordinal));
        else
            fprintf(stdout, Err_NoProcName, shown(ev.text, stdout).c_str());
        levelprint(stdout);
        fprintf(stdout, Err_GetProcRet, int(ev.code));
        return;
    }
    if (!LoadVerbose) return;
    levelprint(stdout);
    const char* end = ev.fCallGate ? " (call gate)\n" : "\n";
    if (ev.fOrdinal)
        fprintf(stdout, "  %3d (0x%04x)%s", int(ev.ordinal), unsigned(ev.ordinal), end);
    else
        put_name_line(ev.text, end);
}

void print_format(const REPORT_EVENT& ev) {
    if (!P.formats.empty()) P.formats.back() = ev.format;
    levelprint(stdout);
    switch (ev.format) {
        case FMT_LX: put("32-bit KAVRI 'LX' Module\n"); break;
        case FMT_NE: put("16-bit KAVRI 'NE' Module\n"); break;
        case FMT_PE32: put("32-bit NT 'PE' Module\n"); break;
        case FMT_PE32PLUS: put("64-bit NT 'PE' Module\n"); break;
        default:
            // The two bytes of the signature, as printf's %c writes them, shown as names are.
            std::string sig = shown(ev.text, stdout);
            std::string line = Msg_UnknownModule;
            line.replace(line.find("%c%c"), 4, sig);
            put(line);
            break;
    }
}

}  // namespace

void print_event(const REPORT_EVENT& ev) {
    switch (ev.kind) {
        case RPT_NAMED:
            // With -m, a heading before each module named after the first.
            if (ev.code > 0) fprintf(stdout, Msg_NamedHeading, shown(ev.text, stdout).c_str());
            break;
        case RPT_MODULE: P.formats.push_back(FMT_NONE); break;
        case RPT_END:
            if (!P.formats.empty()) P.formats.pop_back();
            break;
        case RPT_FORMAT: print_format(ev); break;
        case RPT_ERROR:
            levelprint(stderr);
            fprintf(stderr, error_text(ev.error), shown(ev.text, stderr).c_str());
            break;
        case RPT_NOTE:
            // Both notes stand outside the indentation.
            if (ev.note == NOTE_SHORT_HEADER) {
                put(Msg_ShortHeader);
            } else {
                fflush(stdout);
                fputs(Msg_WindowsModule, stderr);
            }
            break;
        case RPT_COUNT:
            levelprint(stdout);
            fprintf(stdout, ev.fDelay ? Msg_DelayFound : Msg_ImportsFound, int(ev.code));
            break;
        case RPT_IMPORT:
            P.dll = shown(ev.text, stdout);
            if (!is_pe(current_format())) {
                levelprint(stdout);
                fprintf(stdout, Msg_Referenced, P.dll.c_str());
            } else if (!silent_recurse) {
                levelprint(stdout);
                fprintf(stdout, Msg_AttemptNT, P.dll.c_str());
            }
            break;
        case RPT_LOADED:
            P.path = shown(ev.path, stdout);
            if (silent_recurse) break;
            if (ev.origin == ORIGIN_ABSENT)
                fprintf(stdout, Msg_PartOfWindows, windows_display_name(WINDOWS_VERSION(windows_version), ev.machine).c_str());
            else
                fprintf(stdout, Msg_ModName, P.path.c_str());
            break;
        case RPT_NOT_LOADED:
            put(Msg_NotLoaded);
            levelprint(stdout);
            fprintf(stdout, Err_LoadModuleNT, P.dll.c_str(), int(ev.code));
            // Once a run: a DLL that was not found while no system folder was known says how to
            // name one, as every system DLL then fails.
            if (ev.cause && ev.cause->fNoSystemFolder && !P.fNotedNoSystemFolder) {
                P.fNotedNoSystemFolder = true;
                fflush(stdout);
                fputs(Msg_NoSystemFolder, stderr);
            }
            break;
        case RPT_ENTRY:
            if (is_pe(current_format()))
                print_loaded_entry(ev);
            else
                print_listed_entry(ev, current_format() == FMT_NE);
            break;
        case RPT_LISTING:
            levelprint(stdout);
            put(shown(ev.text, stdout) + "\n");
            break;
        case RPT_ALL_LOADED:
            if (silent_recurse) break;
            levelprint(stdout);
            fprintf(stdout, Msg_OK, shown(ev.text, stdout).c_str());
            break;
        case RPT_FATAL:
            // Not indented; the PE format error ends without a newline.
            fflush(stdout);
            if (ev.error == ERR_PE_FORMAT)
                fprintf(stderr, "%10s %50s", "ZOReve:  ", error_text(ev.error));
            else
                fputs(error_text(ev.error), stderr);
            break;
        case RPT_OPENED:
        case RPT_FOLLOW: break;
    }
}

void reset_text_report() {
    P.formats.clear();
    P.dll.clear();
    P.path.clear();
    P.out = P.err = TERMINAL_UNKNOWN;
    P.fNotedNoSystemFolder = false;
}

std::string shown(std::string_view name, FILE* stream) {
    TERMINAL* t = stream == stderr ? &P.err : stream == stdout ? &P.out : nullptr;
    if (t && *t == TERMINAL_UNKNOWN) *t = is_terminal(stream) ? TERMINAL_YES : TERMINAL_NO;
    if (!t || *t == TERMINAL_NO) return std::string(name);
    std::string s;
    s.reserve(name.size());
    for (char c : name) {
        uint8_t b = uint8_t(c);
        if (b < 0x20 || b == 0x7F) {
            char hex[5];
            snprintf(hex, sizeof hex, "\\x%02X", unsigned(b));
            s += hex;
        } else {
            if (c == '\\') s += '\\';
            s += c;
        }
    }
    return s;
}

}  // namespace talvek
