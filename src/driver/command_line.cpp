// The command line: the options, read into a value, and the module names.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.h"
#include "driver/messages.h"
#include "platform/fs.h"
#include "platform/windows_dlls.h"
#include "talvek.h"

namespace talvek {

static void print_help() {
    fputs(Msg_Help, stderr);
    fputs(Msg_HelpA, stderr);
}

// The options of shipping a Windows program: --windows=VERSION, --ship, --ship=all,
// --ship-from=DIR, --deploy=DIR and --force. False for any other argument, and for a version
// or a folder that is none.
static bool shipping_option(OPTIONS* opt, const char* arg) {
    std::string_view a(arg);
    WINDOWS_VERSION version;
    if (a.substr(0, 10) == "--windows=" && parse_windows_version(a.substr(10), &version)) {
        opt->windows_version = version;
    } else if (a == "--ship" || a == "--ship=all") {
        opt->ship_list = true;
        if (a.size() > 6) opt->ship_all = true;
    } else if (a.substr(0, 9) == "--deploy=" && a.size() > 9) {
        opt->deploy_dir = arg + 9;
    } else if (a.substr(0, 12) == "--ship-from=" && a.size() > 12) {
        opt->ship_from.push_back(arg + 12);
    } else if (a == "--force") {
        opt->deploy_force = true;
    } else {
        return false;
    }
    return true;
}

// The folders the shipping options name: --ship-from's must be folders to read, --deploy's
// one to copy into. False after saying on standard error which is none.
static bool check_shipping_folders(const OPTIONS* opt) {
    for (const std::string& dir : opt->ship_from) {
        if (!is_folder(dir)) {
            fprintf(stderr, Err_NotAFolder, "--ship-from", dir.c_str());
            return false;
        }
    }
    if (!opt->deploy_dir.empty() && !is_folder(opt->deploy_dir)) {
        fprintf(stderr, Err_NotAFolder, "--deploy", opt->deploy_dir.c_str());
        return false;
    }
    return true;
}

// What the shipping options need and imply: --ship, --ship-from and --deploy need --windows,
// --ship and --deploy go with no other document on standard output (--ship=all with --deploy
// gathers the whole program), --force needs --deploy; --windows follows every DLL, since what
// a clean Windows lacks may be needed anywhere below; --deploy ends with -e's exit code and
// summary. False after saying on standard error what does not go together.
static bool check_shipping_options(OPTIONS* opt) {
    bool fDeploy = !opt->deploy_dir.empty();
    if (fDeploy && opt->ship_all) opt->ship_list = false;
    const char* needs = opt->ship_list ? "--ship" : fDeploy ? "--deploy" : !opt->ship_from.empty() ? "--ship-from" : nullptr;
    const char* err = nullptr;
    if (needs && opt->windows_version < 0)
        err = Err_NeedsWindows;
    else if ((opt->ship_list || fDeploy) && (opt->json_report || opt->graph_report || (opt->ship_list && fDeploy)))
        err = Err_ShipTogether;
    else if (opt->deploy_force && !fDeploy)
        err = Err_ForceNeedsDeploy;
    if (err) {
        fprintf(stderr, err, needs);
        return false;
    }
    if (!check_shipping_folders(opt)) return false;
    if (opt->windows_version >= 0) opt->recurse = true;
    if (fDeploy) opt->exit_missing = true;
    return true;
}

// The search modes by their names on the command line, in the order of SEARCH_MODE.
static const char* const SearchModeNames[] = {"classic", "altered", "safe"};

// The options of a plugin's host: --host=FILE, --search=MODE and --dll-dir=DIR, which may come
// again. False for any other argument; true with *pfRefused after saying on standard error
// what is wrong with one of them.
static bool host_option(OPTIONS* opt, const char* arg, bool* pfRefused) {
    std::string_view a(arg);
    if (a.substr(0, 7) == "--host=") {
        opt->host = arg + 7;
        *pfRefused = opt->host.empty();
        if (*pfRefused) fputs(Err_HostEmpty, stderr);
    } else if (a.substr(0, 9) == "--search=") {
        size_t k = 0;
        while (k < 3 && a.substr(9) != SearchModeNames[k]) k++;
        *pfRefused = k == 3;
        if (*pfRefused)
            fprintf(stderr, Err_SearchMode, arg + 9);
        else
            opt->search_mode = SEARCH_MODE(k);
    } else if (a.substr(0, 10) == "--dll-dir=") {
        opt->dll_dirs.push_back(arg + 10);
        *pfRefused = a.size() == 10;
        if (*pfRefused) fputs(Err_DllDirEmpty, stderr);
    } else {
        return false;
    }
    return true;
}

// What the host options need: --dll-dir the safe search. A --dll-dir that is no folder is said
// on standard error and dropped, as AddDllDirectory refuses it. False after saying what does
// not go together.
static bool check_host_options(OPTIONS* opt) {
    if (!opt->dll_dirs.empty() && opt->search_mode != SEARCH_SAFE) {
        fprintf(stderr, Err_DllDirNeedsSafe, SearchModeNames[opt->search_mode]);
        return false;
    }
    std::vector<std::string> dirs;
    for (std::string& dir : opt->dll_dirs) {
        if (is_folder(dir))
            dirs.push_back(std::move(dir));
        else
            fprintf(stderr, Err_DllDirMissing, dir.c_str());
    }
    opt->dll_dirs = std::move(dirs);
    return true;
}

// The long options: "--help" and "--version" answer the command line (*pfAnswered) with code
// 0; false for an argument that is no long option. *pfRefused: one that is, but wrongly given.
static bool long_option(OPTIONS* opt, const char* arg, bool* pfAnswered, bool* pfRefused) {
    if (strcmp(arg, "--help") == 0) {
        fputs(Msg_Help, stdout);
        fputs(Msg_HelpB, stdout);
        fputs(Msg_HelpA, stdout);
        *pfAnswered = true;
        return true;
    }
    if (strcmp(arg, "--version") == 0) {
        fprintf(stdout, "talvek %s\n", TalvekVersion);
        *pfAnswered = true;
        return true;
    }
    return shipping_option(opt, arg) || host_option(opt, arg, pfRefused);
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
    bool OPTIONS::*apFlags[3];
};
static const OPTION_LETTER OptionLetters[] = {
    {'!', false, false, {&OPTIONS::recurse}},
    {'c', true, false, {&OPTIONS::reloc_chain}},
    {'i', true, false, {&OPTIONS::imports}},
    {'o', true, false, {&OPTIONS::ordinals}},
    {'r', true, false, {&OPTIONS::relocation}},
    {'s', true, false, {&OPTIONS::segments}},
    {'v', true, false, {&OPTIONS::LoadVerbose}},
    {'l', true, false, {&OPTIONS::list_files, &OPTIONS::recurse}},
    {'q', false, false, {&OPTIONS::silent_recurse, &OPTIONS::list_files, &OPTIONS::recurse}},
    {'k', true, false, {&OPTIONS::wait_for_key}},
    {'d', true, true, {&OPTIONS::delay_load}},
    {'e', true, true, {&OPTIONS::exit_missing}},
    {'g', true, true, {&OPTIONS::graph_report, &OPTIONS::recurse}},
    {'j', true, true, {&OPTIONS::json_report}},
    {'x', true, true, {&OPTIONS::check_failed_dlls, &OPTIONS::recurse}},
    {'m', true, true, {&OPTIONS::several_modules}},
};

static const OPTION_LETTER* find_option_letter(char c) {
    char lower = ascii_lower(c);
    for (const OPTION_LETTER& o : OptionLetters)
        if (o.c == c || (o.fUpper && o.c == lower)) return &o;
    return nullptr;
}

// Sets the flags of one option character; false for a character that is no option.
static bool set_option(OPTIONS* opt, char c) {
    const OPTION_LETTER* o = find_option_letter(c);
    if (!o || !o->apFlags[0]) return false;
    for (bool OPTIONS::*flag : o->apFlags)
        if (flag) opt->*flag = true;
    return true;
}

// Sets the options of the argument arg: its second character alone, further ones ignored,
// as callers of the classic letters rely on; but every letter when any of them is a newer
// letter, so that "-qe" cannot silently drop the e. False at the first character that is no
// option, *pBad pointing at it (at the terminating NUL for a bare prefix).
static bool set_options(OPTIONS* opt, const char* arg, const char** pBad) {
    const char* letters = arg + 1;
    bool fEach = false;
    for (const char* p = letters; *p && !fEach; p++) {
        const OPTION_LETTER* o = find_option_letter(*p);
        fEach = o && o->fNewer;
    }
    size_t n = fEach ? strlen(letters) : 1;
    for (size_t i = 0; i < n; i++) {
        if (!set_option(opt, letters[i])) {
            *pBad = letters + i;
            return false;
        }
    }
    return true;
}

// Says what went wrong with the command line on standard error and ends it with code 1.
static COMMAND_LINE refused(COMMAND_LINE cl) {
    cl.fRun = false;
    cl.rc = RC_NOT_PROCESSED;
    return cl;
}

COMMAND_LINE parse_command_line(int argc, char** argv) {
    COMMAND_LINE cl;
    OPTIONS* opt = &cl.opt;
    if (argc < 2) {
        fputs(Err_InvalArgs, stderr);
        print_help();
        return refused(cl);
    }
    if (argv[1][0] == '?') {
        print_help();
        return refused(cl);
    }
    bool fFile = false;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (is_option(arg)) {
            const char* bad = nullptr;
            bool fAnswered = false, fRefused = false;
            if (!(arg[0] == '-' && arg[1] == '-' && long_option(opt, arg, &fAnswered, &fRefused)) &&
                !set_options(opt, arg, &bad)) {
                // "%.1s" prints nothing for the NUL that ends a bare "-" or "/".
                fprintf(stderr, "QUERNIX:  Invalid option '%.1s' specified\n", bad);
                return refused(cl);
            }
            if (fRefused) return refused(cl);
            if (fAnswered) return cl;   // help or version: code 0
        } else if (fFile && !opt->several_modules) {
            fprintf(stderr, "QUERNIX:  More than one file specified (at '%s')\n", arg);
            return refused(cl);
        } else {
            fFile = true;
            cl.names.push_back(arg);
        }
    }
    if (opt->json_report && opt->graph_report) {
        fputs("QUERNIX:  Options -j and -g cannot be used together\n", stderr);
        return refused(cl);
    }
    if (!check_shipping_options(opt) || !check_host_options(opt)) return refused(cl);
    if (!fFile) {
        fputs("No filename specified\n", stderr);
        return refused(cl);
    }
    cl.fRun = true;
    return cl;
}

}  // namespace talvek
