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

// The setters of the long options that take a value: false for a value that is none.
static bool set_windows(OPTIONS* opt, std::string_view value) {
    WINDOWS_VERSION version;
    if (!parse_windows_version(value, &version)) return false;
    opt->windows_version = version;
    return true;
}

static bool set_ship(OPTIONS* opt, std::string_view value) {
    if (!value.empty() && value != "all") return false;
    opt->ship_list = true;
    opt->ship_all = !value.empty();
    return true;
}

static bool set_deploy(OPTIONS* opt, std::string_view value) {
    opt->deploy_dir = std::string(value);
    return true;
}

static bool set_ship_from(OPTIONS* opt, std::string_view value) {
    opt->ship_from.push_back(std::string(value));
    return true;
}

static bool set_force(OPTIONS* opt, std::string_view) {
    opt->deploy_force = true;
    return true;
}

static bool set_host(OPTIONS* opt, std::string_view value) {
    opt->host = std::string(value);
    return true;
}

// The search modes by their names on the command line, in the order of SEARCH_MODE.
static const char* const SearchModeNames[] = {"classic", "altered", "safe"};

static bool set_search(OPTIONS* opt, std::string_view value) {
    for (int k = 0; k < 3; k++) {
        if (value == SearchModeNames[k]) {
            opt->search_mode = SEARCH_MODE(k);
            return true;
        }
    }
    return false;
}

static bool set_dll_dir(OPTIONS* opt, std::string_view value) {
    opt->dll_dirs.push_back(std::string(value));
    return true;
}

// A long option: its name, whether it takes a value after '=', the value's name in messages
// (--windows=VERSION), what a bad value is called and the values it may be (null: any that is
// not empty), and what it sets (false for a value that is none of them). --help and --version,
// without a setter, answer the command line.
enum LONG_VALUE { LONG_NO_VALUE, LONG_VALUE_NEEDED, LONG_VALUE_OPTIONAL };
struct LONG_OPTION {
    const char* name;
    LONG_VALUE value;
    const char* meta;
    const char* what;
    const char* valid;
    bool (*set)(OPTIONS* opt, std::string_view value);
};
static const LONG_OPTION LongOptions[] = {
    {"--help", LONG_NO_VALUE, nullptr, nullptr, nullptr, nullptr},
    {"--version", LONG_NO_VALUE, nullptr, nullptr, nullptr, nullptr},
    {"--windows", LONG_VALUE_NEEDED, "VERSION", "version", "7, 8, 8.1, 10, 11", set_windows},
    {"--ship", LONG_VALUE_OPTIONAL, "all", "value", "all", set_ship},
    {"--ship-from", LONG_VALUE_NEEDED, "DIR", "folder", nullptr, set_ship_from},
    {"--deploy", LONG_VALUE_NEEDED, "DIR", "folder", nullptr, set_deploy},
    {"--force", LONG_NO_VALUE, nullptr, nullptr, nullptr, set_force},
    {"--host", LONG_VALUE_NEEDED, "FILE", "file", nullptr, set_host},
    {"--search", LONG_VALUE_NEEDED, "MODE", "mode", "classic, altered, safe", set_search},
    {"--dll-dir", LONG_VALUE_NEEDED, "DIR", "folder", nullptr, set_dll_dir},
};

// Answers --help or --version on standard output.
static void answer(const LONG_OPTION& o) {
    if (o.name[2] == 'h') {
        fputs(Msg_Help, stdout);
        fputs(Msg_HelpB, stdout);
        fputs(Msg_HelpA, stdout);
    } else {
        fprintf(stdout, "talvek %s\n", TalvekVersion);
    }
}

// Sets the long option arg ("--NAME" or "--NAME=VALUE"). An option that answers the command
// line sets *pfAnswered. False after saying on standard error what is wrong: an option that
// is none, a value missing, given where none is taken, or none of the values valid.
static bool long_option(OPTIONS* opt, const char* arg, bool* pfAnswered) {
    std::string_view a(arg);
    size_t eq = a.find('=');
    std::string_view name = a.substr(0, eq);
    const LONG_OPTION* o = nullptr;
    for (const LONG_OPTION& x : LongOptions)
        if (name == x.name) o = &x;
    if (!o) {
        fprintf(stderr, Err_InvalidLongOption, arg);
        return false;
    }
    bool fValue = eq != std::string_view::npos;
    std::string value(fValue ? a.substr(eq + 1) : std::string_view());
    if (o->value == LONG_NO_VALUE && fValue) {
        fprintf(stderr, Err_TakesNoValue, o->name, arg);
        return false;
    }
    if (o->value == LONG_VALUE_NEEDED && value.empty()) {
        std::string valid = o->valid ? std::string(" (") + o->valid + ")" : std::string();
        fprintf(stderr, Err_NeedsValue, o->name, o->name, o->meta, valid.c_str());
        return false;
    }
    if (!o->set) {
        answer(*o);
        *pfAnswered = true;
        return true;
    }
    if (!o->set(opt, value) || (o->value == LONG_VALUE_OPTIONAL && fValue && value.empty())) {
        fprintf(stderr, Err_BadValue, o->name, o->what, value.c_str(), o->valid ? o->valid : "");
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
// summary. False after saying on standard error what does not go together, naming the
// options given.
static bool check_shipping_options(OPTIONS* opt) {
    bool fDeploy = !opt->deploy_dir.empty();
    if (fDeploy && opt->ship_all) opt->ship_list = false;
    const char* needs = opt->ship_list ? "--ship" : fDeploy ? "--deploy" : !opt->ship_from.empty() ? "--ship-from" : nullptr;
    const char* other = opt->ship_list && fDeploy ? "--deploy" : opt->json_report ? "-j" : opt->graph_report ? "-g" : nullptr;
    if (needs && opt->windows_version < 0) {
        fprintf(stderr, Err_NeedsWindows, needs);
        return false;
    }
    if ((opt->ship_list || fDeploy) && other) {
        fprintf(stderr, Err_NotTogether, needs, other);
        return false;
    }
    if (opt->deploy_force && !fDeploy) {
        fputs(Err_ForceNeedsDeploy, stderr);
        return false;
    }
    if (!check_shipping_folders(opt)) return false;
    if (opt->windows_version >= 0) opt->recurse = true;
    if (fDeploy) opt->exit_missing = true;
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

// Whether an option argument asks for -m, which may stand after the names it lets through as
// it may stand before them. Asked once for the whole command line.
static bool asks_for_several_modules(int argc, char** argv) {
    for (int k = 1; k < argc; k++) {
        OPTIONS later;
        const char* bad = nullptr;
        if (is_option(argv[k]) && argv[k][1] != '-') set_options(&later, argv[k], &bad);
        if (later.several_modules) return true;
    }
    return false;
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
    const bool fSeveral = asks_for_several_modules(argc, argv);
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (is_option(arg)) {
            const char* bad = nullptr;
            bool fAnswered = false;
            if (arg[0] == '-' && arg[1] == '-') {
                if (!long_option(opt, arg, &fAnswered)) return refused(cl);
            } else if (!set_options(opt, arg, &bad)) {
                // "%.1s" prints nothing for the NUL that ends a bare "-" or "/".
                fprintf(stderr, "QUERNIX:  Invalid option '%.1s' specified\n", bad);
                return refused(cl);
            }
            if (fAnswered) return cl;   // help or version: code 0
        } else if (fFile && !fSeveral) {
            fprintf(stderr, "QUERNIX:  More than one file specified (at '%s')\n", arg);
            return refused(cl);
        } else {
            fFile = true;
            cl.names.push_back(arg);
        }
    }
    if (opt->json_report && opt->graph_report) {
        fprintf(stderr, Err_NotTogether, "-j", "-g");
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
