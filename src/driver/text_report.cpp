// The text report: every event of the run as the lines the tool prints, indented by level.
#include "driver/escape.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/demangle.h"
#include "common/options.h"
#include "common/types.h"
#include "driver/messages.h"
#include "platform/console.h"
#include "platform/loader.h"
#include "platform/windows_dlls.h"
#include "talvek.h"

namespace talvek {

namespace {

// What the lines of an import need of the events before them: the format of each module on
// the recursion path (its entries are listed in its format's way), and the import at hand;
// whether the two streams are terminals, asked once; and the run of blanks the indentation
// is written from.
enum TERMINAL { TERMINAL_UNKNOWN, TERMINAL_NO, TERMINAL_YES };
struct TEXT_REPORT : REPORT_SINK {
    OPTIONS opt;
    std::vector<REPORT_FORMAT> formats;
    std::string dll;    // the last import's name, as shown
    std::string path;   // the loader's path of the last import, as shown
    TERMINAL out = TERMINAL_UNKNOWN, err = TERMINAL_UNKNOWN;
    std::vector<uint16_t> notedNoSystemFolder;   // the machines the note was given for
    std::vector<std::string> notedPassedOver;    // the --ship-from files named as passed over
    uint32_t level = 0;   // the level of the event at hand
    MEM_PTR<char> blanks;
    size_t cBlanks = 0;
    DEMANGLER dm;         // with -x, C++ entry names are shown demangled

    void event(const REPORT_EVENT& ev) override;
    void levelprint(FILE* stream);
    std::string shown(std::string_view name, FILE* stream);
    REPORT_FORMAT current_format() const { return formats.empty() ? FMT_NONE : formats.back(); }
    void put_name_line(std::string_view name, const char* end);
    void print_listed_entry(const REPORT_EVENT& ev, bool fNE);
    void print_loaded_entry(const REPORT_EVENT& ev);
    void print_format(const REPORT_EVENT& ev);
    void put_entry_name(std::string_view name, const char* end);
    void put_unresolved_name(std::string_view name);
    void print_note(const REPORT_EVENT& ev);
    void print_import(const REPORT_EVENT& ev);
    void print_loaded(const REPORT_EVENT& ev);
    void print_not_loaded(const REPORT_EVENT& ev);
    void print_fatal(const REPORT_EVENT& ev);
    void note_no_system_folder(const REPORT_EVENT& ev);
    void note_passed_over(const REPORT_EVENT& ev);
};

// Once a machine: a DLL that was not found while no system folder was known for the machine
// of its process says how to name one, as every system DLL of that machine then fails.
void TEXT_REPORT::note_no_system_folder(const REPORT_EVENT& ev) {
    if (!ev.cause || !ev.cause->fNoSystemFolder) return;
    if (std::find(notedNoSystemFolder.begin(), notedNoSystemFolder.end(), ev.machine) != notedNoSystemFolder.end()) return;
    notedNoSystemFolder.push_back(ev.machine);
    std::string machine = machine_name(ev.machine);
    fflush(stdout);
    fprintf(stderr, Msg_NoSystemFolder, machine.c_str(), machine.c_str());
}

// Once a file: a file of a --ship-from folder that the search passed over as an image of
// another machine is named, as what the user meant to ship is not what is checked.
void TEXT_REPORT::note_passed_over(const REPORT_EVENT& ev) {
    if (!ev.cause) return;
    const LOAD_FAILURE& c = *ev.cause;
    for (size_t k = 0; k < c.passedOver.size(); k++) {
        if (std::find(notedPassedOver.begin(), notedPassedOver.end(), c.passedOver[k]) != notedPassedOver.end()) continue;
        notedPassedOver.push_back(c.passedOver[k]);
        uint16_t fileMachine = k < c.passedOverMachines.size() ? c.passedOverMachines[k] : 0;
        fflush(stdout);
        fprintf(stderr, Msg_PassedOver, shown(c.passedOver[k], stderr).c_str(), machine_name(fileMachine).c_str(),
                machine_name(ev.machine).c_str());
    }
}

// Writes the indentation of the level at hand (2 x level - 2 blanks) to stream, in one write.
void TEXT_REPORT::levelprint(FILE* stream) {
    // Standard output may be buffered (see main); what it holds comes first.
    if (stream == stderr) fflush(stdout);
    if (level < 2) return;
    // One blank run, grown to the deepest level seen, so a line costs one write however
    // deep the recursion goes.
    size_t n = 2 * size_t(level) - 2;
    if (n > cBlanks) {
        size_t cap = std::max<size_t>(n, 2 * cBlanks);
        char* p = static_cast<char*>(realloc(blanks.get(), cap));
        if (p) {
            memset(p, ' ', cap);
            (void)blanks.release();
            blanks.reset(p);
            cBlanks = cap;
        }
    }
    // Without a long enough run (no memory), the blanks go out in pieces.
    while (n > 0) {
        static const char kSome[] = "                                ";
        size_t k = n <= cBlanks ? n : std::min(n, sizeof kSome - 1);
        fwrite(n <= cBlanks ? blanks.get() : kSome, 1, k, stream);
        n -= k;
    }
}

std::string TEXT_REPORT::shown(std::string_view name, FILE* stream) {
    TERMINAL* t = stream == stderr ? &err : &out;
    if (*t == TERMINAL_UNKNOWN) *t = is_terminal(stream) ? TERMINAL_YES : TERMINAL_NO;
    return talvek::shown(name, *t == TERMINAL_YES);
}

bool is_pe(REPORT_FORMAT f) { return f == FMT_PE32 || f == FMT_PE32PLUS; }

// Writes s at once: on a terminal standard output is unbuffered, and each write is a call to
// the system, so a line goes out whole.
void put(std::string_view s) {
    if (!s.empty()) fwrite(s.data(), 1, s.size(), stdout);
}

// The line "  NAME" and its end, as shown on standard output.
void TEXT_REPORT::put_name_line(std::string_view name, const char* end) {
    std::string line = "  " + shown(name, stdout);
    line += end;
    put(line);
}

// An entry of an LX or NE module, listed from its own tables: NE names end with a '.'; with
// -v each line comes twice (an NE name the second time without its '.').
void TEXT_REPORT::print_listed_entry(const REPORT_EVENT& ev, bool fNE) {
    for (int k = 0; k < (opt.LoadVerbose ? 2 : 1); k++) {
        levelprint(stdout);
        if (ev.fOrdinal) {
            fprintf(stdout, "  %3d (0x%04x)\n", int(int32_t(ev.ordinal)), unsigned(ev.ordinal));
        } else {
            put_name_line(ev.text, fNE && k == 0 ? ".\n" : "\n");
        }
    }
}

// An entry of a PE import: three lines when it did not resolve; with -v one line when it did.
void TEXT_REPORT::print_loaded_entry(const REPORT_EVENT& ev) {
    if (ev.code == ENTRY_NOT_ASKED) return;
    if (ev.code != 0) {
        levelprint(stdout);
        fprintf(stdout, Err_NoProcMain, dll.c_str(), path.c_str());
        levelprint(stdout);
        if (ev.fOrdinal)
            fprintf(stdout, Err_NoProcOrd, unsigned(ev.ordinal));
        else
            put_unresolved_name(ev.text);
        levelprint(stdout);
        fprintf(stdout, Err_GetProcRet, int(ev.code));
        return;
    }
    if (!opt.LoadVerbose) return;
    levelprint(stdout);
    const char* end = ev.fCallGate ? " (call gate)\n" : "\n";
    if (ev.fOrdinal)
        fprintf(stdout, "  %3d (0x%04x)%s", int(ev.ordinal), unsigned(ev.ordinal), end);
    else
        put_entry_name(ev.text, end);
}

// The -v line of a PE entry that resolved; with -x a C++ name shown demangled, " [RAW]" beside.
void TEXT_REPORT::put_entry_name(std::string_view name, const char* end) {
    std::string text = opt.check_failed_dlls ? demangled(&dm, name) : std::string();
    std::string line = "  " + shown(text.empty() ? name : std::string_view(text), stdout);
    if (!text.empty()) line += " [" + shown(name, stdout) + "]";
    put(line + end);
}

// The line of a PE entry that did not resolve; with -x a C++ name shown demangled, its raw
// name beside.
void TEXT_REPORT::put_unresolved_name(std::string_view name) {
    std::string text = opt.check_failed_dlls ? demangled(&dm, name) : std::string();
    if (text.empty())
        fprintf(stdout, Err_NoProcName, shown(name, stdout).c_str());
    else
        fprintf(stdout, Err_NoProcNameRaw, shown(text, stdout).c_str(), shown(name, stdout).c_str());
}

void TEXT_REPORT::print_format(const REPORT_EVENT& ev) {
    if (!formats.empty()) formats.back() = ev.format;
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

// The notes stand outside the indentation.
void TEXT_REPORT::print_note(const REPORT_EVENT& ev) {
    if (ev.note == NOTE_SHORT_HEADER) {
        put(Msg_ShortHeader);
    } else if (ev.note == NOTE_NO_MODULE_IN_FOLDER) {
        fflush(stdout);
        fprintf(stderr, Msg_NoModuleInFolder, shown(ev.text, stderr).c_str());
    } else if (ev.note == NOTE_PASSED_OVER) {
        note_passed_over(ev);
    } else {
        fflush(stdout);
        fputs(Msg_WindowsModule, stderr);
    }
}

// An LX or NE module's import heads the list of its entries; a PE module's starts the line of
// its load test, which its outcome completes.
void TEXT_REPORT::print_import(const REPORT_EVENT& ev) {
    dll = shown(ev.text, stdout);
    if (!is_pe(current_format())) {
        levelprint(stdout);
        fprintf(stdout, Msg_Referenced, dll.c_str());
    } else if (!opt.silent_recurse) {
        levelprint(stdout);
        fprintf(stdout, Msg_AttemptNT, dll.c_str());
    }
}

void TEXT_REPORT::print_loaded(const REPORT_EVENT& ev) {
    path = shown(ev.path, stdout);
    if (opt.silent_recurse) return;
    if (ev.origin == ORIGIN_ABSENT)
        fprintf(stdout, Msg_PartOfWindows, windows_display_name(WINDOWS_VERSION(opt.windows_version), ev.machine).c_str());
    else if (ev.fHost && ev.path.empty())
        put(Msg_LoadingProgram);
    else
        fprintf(stdout, Msg_ModName, path.c_str());
}

void TEXT_REPORT::print_not_loaded(const REPORT_EVENT& ev) {
    put(Msg_NotLoaded);
    levelprint(stdout);
    fprintf(stdout, Err_LoadModuleNT, dll.c_str(), int(ev.code));
    // A path longer than the system opens is named on standard error, whole.
    if (ev.cause && ev.cause->error == LOAD_ERR_FILENAME_EXCED_RANGE) {
        levelprint(stderr);
        fprintf(stderr, Err_PathTooLong, shown(ev.cause->reason, stderr).c_str());
    }
    note_no_system_folder(ev);
}

// Not indented; the PE format error ends without a newline.
void TEXT_REPORT::print_fatal(const REPORT_EVENT& ev) {
    fflush(stdout);
    if (ev.error == ERR_PE_FORMAT)
        fprintf(stderr, "%10s %50s", "ZOReve:  ", error_text(ev.error));
    else
        fputs(error_text(ev.error), stderr);
}

void TEXT_REPORT::event(const REPORT_EVENT& ev) {
    level = ev.level;
    switch (ev.kind) {
        case RPT_NAMED:
            // With -m and more than one module, a heading before each, as head and tail
            // write them: an empty line between two.
            if (ev.fNamed) fprintf(stdout, Msg_NamedHeading + (ev.code == 0), shown(ev.text, stdout).c_str());
            break;
        case RPT_MODULE: formats.push_back(FMT_NONE); break;
        case RPT_END:
            if (!formats.empty()) formats.pop_back();
            break;
        case RPT_FORMAT: print_format(ev); break;
        case RPT_ERROR:
            levelprint(stderr);
            fprintf(stderr, error_text(ev.error), shown(ev.text, stderr).c_str());
            break;
        case RPT_NOTE: print_note(ev); break;
        case RPT_COUNT:
            levelprint(stdout);
            fprintf(stdout, ev.fDelay ? Msg_DelayFound : Msg_ImportsFound, int(ev.code));
            break;
        case RPT_IMPORT: print_import(ev); break;
        case RPT_LOADED: print_loaded(ev); break;
        case RPT_NOT_LOADED: print_not_loaded(ev); break;
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
            if (opt.silent_recurse) break;
            levelprint(stdout);
            fprintf(stdout, Msg_OK, shown(ev.text, stdout).c_str());
            break;
        case RPT_FATAL: print_fatal(ev); break;
        case RPT_OPENED:
        case RPT_FORWARDED: break;
    }
}

}  // namespace

std::unique_ptr<REPORT_SINK> make_text_report(const OPTIONS& opt) {
    std::unique_ptr<TEXT_REPORT> text(new TEXT_REPORT);
    text->opt = opt;
    return text;
}

}  // namespace talvek
