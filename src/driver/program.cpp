// The program flow: option flags, command line, the final list of DLLs and the end.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <string_view>

#include "common/text.h"
#include "driver/dllfile.h"
#include "driver/driver.h"
#include "driver/registry.h"
#include "driver/run_record.h"
#include "driver/shipping.h"
#include "driver/text_report.h"
#include "platform/console.h"
#include "platform/fs.h"
#include "platform/loader.h"
#include "platform/windows_dlls.h"

namespace talvek {

void XExit(int32_t rc) {
    if (wait_for_key) {
        fputs(Msg_PressAKey, stdout);
        fflush(stdout);
        read_console_key();
        wait_for_key = FALSE;
    }
    tool_exit(rc);
}

static void print_help() {
    fputs(Msg_Help, stderr);
    fputs(Msg_HelpA, stderr);
}

// The options of shipping a Windows program: --windows=VERSION, --ship, --ship=all,
// --deploy=DIR and --force. False for any other argument, and for a version or a folder
// that is none.
static bool shipping_option(const char* arg) {
    std::string_view a(arg);
    WINDOWS_VERSION version;
    if (a.substr(0, 10) == "--windows=" && parse_windows_version(a.substr(10), &version)) {
        windows_version = version;
    } else if (a == "--ship" || a == "--ship=all") {
        ship_list = TRUE;
        if (a.size() > 6) ship_all = TRUE;
    } else if (a.substr(0, 9) == "--deploy=" && a.size() > 9) {
        deploy_dir = arg + 9;
    } else if (a == "--force") {
        deploy_force = TRUE;
    } else {
        return false;
    }
    return true;
}

// What the shipping options need and imply: --ship and --deploy need --windows and go with
// no other document on standard output, --force needs --deploy; --windows follows every DLL,
// since what a clean Windows lacks may be needed anywhere below; --deploy ends with -e's
// exit code and summary.
static void check_shipping_options() {
    const char* needs = ship_list ? "--ship" : deploy_dir ? "--deploy" : nullptr;
    const char* err = nullptr;
    if (needs && windows_version < 0)
        err = Err_NeedsWindows;
    else if (needs && (json_report || graph_report || (ship_list && deploy_dir)))
        err = Err_ShipTogether;
    else if (deploy_force && !deploy_dir)
        err = Err_ForceNeedsDeploy;
    if (err) {
        fprintf(stderr, err, needs);
        XExit(RC_NOT_PROCESSED);
    }
    if (windows_version >= 0) recurse = TRUE;
    if (deploy_dir) exit_missing = TRUE;
}

// The long options: "--help" and "--version" end the run with code 0; false for any other.
static bool long_option(const char* arg) {
    if (strcmp(arg, "--help") == 0) {
        fputs(Msg_Help, stdout);
        fputs(Msg_HelpB, stdout);
        fputs(Msg_HelpA, stdout);
        XExit(RC_OK);
    }
    if (strcmp(arg, "--version") == 0) {
        fprintf(stdout, "talvek %s\n", TalvekVersion);
        XExit(RC_OK);
    }
    return shipping_option(arg);
}

// An argument that starts with '-' or '/' is an option. On systems whose paths start with
// '/', an argument holding a second '/' is an absolute path, not an option.
static bool is_option(const char* arg) {
    if (arg[0] == '-') return true;
    if (arg[0] != '/') return false;
#if defined(_WIN32)
    return true;
#else
    return strchr(arg + 1, '/') == nullptr;
#endif
}

// One option letter and the flags it sets (fUpper: the upper-case letter is accepted too).
// fNewer marks the letters of the options added after the classic set: an argument holding
// one of them is read letter by letter. A newer letter without flags is kept for an option
// to come; until it has flags it is no option, but it still makes its argument read so.
struct OPTION_LETTER {
    char c;
    bool fUpper;
    bool fNewer;
    BOOL* apFlags[3];
};
static const OPTION_LETTER OptionLetters[] = {
    {'!', false, false, {&recurse}},
    {'c', true, false, {&reloc_chain}},
    {'i', true, false, {&imports}},
    {'o', true, false, {&ordinals}},
    {'r', true, false, {&relocation}},
    {'s', true, false, {&segments}},
    {'v', true, false, {&LoadVerbose}},
    {'l', true, false, {&list_files, &recurse}},
    {'q', false, false, {&silent_recurse, &list_files, &recurse}},
    {'k', true, false, {&wait_for_key}},
    {'d', true, true, {&delay_load}},
    {'e', true, true, {&exit_missing}},
    {'g', true, true, {&graph_report, &recurse}},
    {'j', true, true, {&json_report}},
    {'x', true, true, {&check_failed_dlls, &recurse}},
    {'m', true, true, {&several_modules}},
};

static const OPTION_LETTER* find_option_letter(char c) {
    char lower = ascii_lower(c);
    for (const OPTION_LETTER& o : OptionLetters)
        if (o.c == c || (o.fUpper && o.c == lower)) return &o;
    return nullptr;
}

// Sets the flags of one option character; false for a character that is no option.
static bool set_option(char c) {
    const OPTION_LETTER* o = find_option_letter(c);
    if (!o || !o->apFlags[0]) return false;
    for (BOOL* pFlag : o->apFlags)
        if (pFlag) *pFlag = TRUE;
    return true;
}

// Sets the options of the argument arg: its second character alone, further ones ignored,
// as callers of the classic letters rely on; but every letter when any of them is a newer
// letter, so that "-qe" cannot silently drop the e. False at the first character that is no
// option, *pBad pointing at it (at the terminating NUL for a bare prefix).
static bool set_options(const char* arg, const char** pBad) {
    const char* letters = arg + 1;
    bool fEach = false;
    for (const char* p = letters; *p && !fEach; p++) {
        const OPTION_LETTER* o = find_option_letter(*p);
        fEach = o && o->fNewer;
    }
    size_t n = fEach ? strlen(letters) : 1;
    for (size_t i = 0; i < n; i++) {
        if (!set_option(letters[i])) {
            *pBad = letters + i;
            return false;
        }
    }
    return true;
}

PSZ Init(int argc, char** argv, std::vector<PSZ>* pNames) {
    if (argc < 2) {
        fputs(Err_InvalArgs, stderr);
        print_help();
        XExit(RC_NOT_PROCESSED);
    }
    if (argv[1][0] == '?') {
        print_help();
        XExit(RC_NOT_PROCESSED);
    }
    PSZ filespec = nullptr;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (is_option(arg)) {
            const char* bad = nullptr;
            if (!(arg[0] == '-' && arg[1] == '-' && long_option(arg)) && !set_options(arg, &bad)) {
                // "%.1s" prints nothing for the NUL that ends a bare "-" or "/".
                fprintf(stderr, "QUERNIX:  Invalid option '%.1s' specified\n", bad);
                XExit(RC_NOT_PROCESSED);
            }
        } else if (filespec && !several_modules) {
            fprintf(stderr, "QUERNIX:  More than one file specified (at '%s')\n", arg);
            XExit(RC_NOT_PROCESSED);
        } else {
            if (!filespec) filespec = arg;
            if (pNames) pNames->push_back(arg);
        }
    }
    if (json_report && graph_report) {
        fputs("QUERNIX:  Options -j and -g cannot be used together\n", stderr);
        XExit(RC_NOT_PROCESSED);
    }
    check_shipping_options();
    if (!filespec) {
        fputs("No filename specified\n", stderr);
        XExit(RC_NOT_PROCESSED);
    }
    return filespec;
}

// The DLLs met by the recursion, in the order first reached, needed to load what was named
// (the names as typed).
static void print_needed_list(const std::string& named) {
    unsigned count = unsigned(needed_files().size());
    fprintf(stdout, Msg_FilesNeeded, count, count == 1 ? " is" : "s are", named.c_str());
    for (PLOADED_FILE p : needed_files()) fprintf(stdout, "%s\n", shown(p->filespec, stdout).c_str());
}

// The -j or -g document goes to the stream standard output was before the run set it
// aside; it is written at every end of the run, so an early end still yields one.
static FILE* DocStream = nullptr;
static int DocArgc = 0;
static char** DocArgv = nullptr;

static void write_document(int rc) {
    if (!DocStream) return;
    if (ship_list)
        print_ship_list(DocStream);
    else if (json_report)
        print_json_report(DocStream, DocArgc, DocArgv, rc, list_files != FALSE);
    else
        print_dot_graph(DocStream);
    fflush(DocStream);
    DocStream = nullptr;
}

// The run's sink: the text report and the record hear every event; a module file that an
// import leads to is checked in turn when the run follows DLLs; a failure that ends the run
// gets the -e summary of what was met so far, then the end.
static void follow(const REPORT_EVENT& ev) {
    if (!recurse || (ev.fFailed && !check_failed_dlls)) return;
    std::string file = ev.fSearch ? dll_file_for(ev.text, std::string(ev.path).c_str()) : std::string(ev.path);
    proc_file(file.c_str(), FALSE);
}

// The first check of --deploy prints only what ends the run: the failures of the named module
// itself, and a failure that ends the run at once.
static bool QuietCheck = false;

static bool printed(const REPORT_EVENT& ev) {
    return !QuietCheck || ev.kind == RPT_FATAL || (ev.kind == RPT_ERROR && level == 1);
}

static void run_sink(const REPORT_EVENT& ev) {
    if (printed(ev)) print_event(ev);
    record_event(ev);
    if (ev.kind == RPT_FOLLOW) {
        follow(ev);
    } else if (ev.kind == RPT_FATAL) {
        if (exit_missing) print_missing_summary(stdout);
        // The PE format error ends the run at once, without the key wait.
        if (ev.error == ERR_PE_FORMAT) tool_exit(ev.code);
        XExit(ev.code);
    }
}

// With --windows, the loader judges every DLL by that version.
static void target_windows() {
    if (windows_version >= 0) loader_set_target_windows(WINDOWS_VERSION(windows_version));
}

// The modules named: the one, or with -m every file the names stand for.
static int32_t check_named(PSZ filespec, const std::vector<PSZ>& names) {
    return several_modules ? check_named_modules(named_module_files(names)) : check_named_module(filespec);
}

const char* CurrentNamedModule = nullptr;

// Forgets what the run has checked (the report's state, the record, the registry, the loaded
// modules and what the loader read of folders and files), keeping the options.
static void restart_run() {
    reset_text_report();
    RunRecord = RUN_RECORD{};
    CurrentNamedModule = nullptr;
    level = 0;
    reset_registry();
    loader_reset();
}

// --deploy: a first check, quiet, finds the DLLs to ship; they are copied into the folder;
// then the run starts afresh (registry, loader, folder listings, record), so that the closing
// check sees the folder as it is now. A named module that fails, or a DLL not copied, ends the
// run here.
static void deploy(PSZ filespec, const std::vector<PSZ>& names) {
    QuietCheck = true;
    int32_t rc = check_named(filespec, names);
    QuietCheck = false;
    if (rc == RC_OK) rc = deploy_ship_list(deploy_dir, deploy_force != FALSE);
    if (rc != RC_OK) XExit(rc);
    restart_run();
    RunRecord.fOn = true;
    target_windows();
}

void tool_main(int argc, char** argv) {
    // The two streams reach a console or a shared capture in the order lines are produced,
    // so both are unbuffered there. Where they go to different files no order between them
    // is recorded, and standard output is buffered: a long listing costs a few writes
    // instead of several per line. Every write to standard error flushes it first
    // (levelprint), which keeps the order for a reader of two separate pipes too.
    static char StdoutBuf[1 << 16];
    if (output_streams_share_file())
        setbuf(stdout, nullptr);
    else
        setvbuf(stdout, StdoutBuf, _IOFBF, sizeof StdoutBuf);
    setbuf(stderr, nullptr);
    ReportSink = run_sink;
    std::vector<PSZ> names;
    PSZ filespec = Init(argc, argv, &names);
    RunRecord.fOn = exit_missing || json_report || graph_report || windows_version >= 0;
    if (json_report || graph_report || ship_list) {
        DocStream = set_aside_stdout();
        if (!DocStream) {
            fputs("QUERNIX:  Unable to set aside standard output\n", stderr);
            XExit(RC_NOT_PROCESSED);
        }
        DocArgc = argc;
        DocArgv = argv;
        tool_exit_hook = write_document;
    }
    // The tool writes no files, so a folder lists the same entries for the whole run.
    remember_dir_listings(true);
    target_windows();
    // With -m: the largest result of the modules named, and with -e 10 when anything any of
    // them needs is missing.
    std::string named = filespec;
    for (size_t i = 1; i < names.size(); i++) named += std::string(", ") + names[i];
    if (deploy_dir) deploy(filespec, names);
    int32_t rc = check_named(filespec, names);
    if (list_files && !needed_files().empty()) print_needed_list(named);
    if (exit_missing) {
        print_missing_summary(stdout);
        if ((rc == RC_OK || several_modules) && !RunRecord.problems.empty()) rc = RC_MISSING;
    }
    XExit(rc);
}

int32_t check_named_module(const char* filespec) {
    // The DLL search starts in the folder of the module named on the command line.
    CurrentNamedModule = filespec;
    loader_set_application_path(filespec);
    return several_modules ? proc_named_file(filespec) : proc_file(filespec, TRUE);
}

void reset_run_state() {
    reset_options();
    ReportSink = run_sink;
    restart_run();
    forget_dir_listings();
}

}  // namespace talvek
