// End-to-end runs over PE files linked by clang and lld (tests/realpe): the whole report,
// the DLL search and letter case, on modules that no test-side writer made.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/system_dirs.h"
#include "support/pe_writer.h"
#include "support/tool_runner.h"

#ifdef TALVEK_REALPE_DIR

namespace {

const std::string kFull = TALVEK_REALPE_DIR "/full";
const std::string kMissing = TALVEK_REALPE_DIR "/missing";
const std::string kLacking = TALVEK_REALPE_DIR "/lacking";
const std::string kUnforwarded = TALVEK_REALPE_DIR "/unforwarded";
const std::string kFull64 = TALVEK_REALPE_DIR "/full64";
const std::string kModern = TALVEK_REALPE_DIR "/modern";
const std::string kModern64 = TALVEK_REALPE_DIR "/modern64";
const std::string kVcrt = TALVEK_REALPE_DIR "/vcrt";
const std::string kMingw = TALVEK_REALPE_DIR "/mingw";
const std::string kPlugin = TALVEK_REALPE_DIR "/plugin";

// A 64-bit module's report: the 32-bit one with the 64-bit format line.
std::string wide(std::string text) {
    for (size_t at = text.find("32-bit NT"); at != std::string::npos; at = text.find("32-bit NT", at))
        text.replace(at, 2, "64");
    return text;
}

// The text with every "$A" and "$B" replaced (the folders the loader finds the DLLs in).
std::string fill(std::string text, const std::string& a, const std::string& b = "") {
    for (const auto& [key, value] : {std::pair<std::string, std::string>{"$A", a}, {"$B", b}})
        for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size()))
            text.replace(at, key.size(), value);
    return text;
}

struct SEARCH_ENV {
    std::string cwd;        // run here; empty: a fresh empty directory
    std::string winepath;
    std::string path;       // empty: an empty directory
};

// Runs talvek with a DLL search that reaches no folder of the system: the current
// directory and PATH are empty directories unless given, WINEPATH is as given.
TOOL_RUN run_clean(const std::vector<std::string>& args, const SEARCH_ENV& se = {}) {
    std::string empty = make_temp_dir();
    RUN_OPTIONS opt;
    opt.env = {{"PATH", se.path.empty() ? empty : se.path}, {"WINEPATH", se.winepath}};
    TOOL_RUN r = run_talvek_in(se.cwd.empty() ? empty : se.cwd, args, opt);
    remove_tree(empty);
    return r;
}

// The whole tree loads: alpha.dll and beta.dll from the application's folder.
const char kFullRecursive[] = R"(32-bit NT 'PE' Module
2 imported module(s) found.
Loading 'alpha.dll' --> $A/alpha.dll.
  32-bit NT 'PE' Module
  1 imported module(s) found.
  Loading 'beta.dll' --> $B/beta.dll.
    32-bit NT 'PE' Module
    0 imported module(s) found.
    All DLLs used by '$B/beta.dll' could be loaded.
  All DLLs used by '$A/alpha.dll' could be loaded.
Loading 'beta.dll' --> $B/beta.dll.
All DLLs used by '$A/app.exe' could be loaded.
)";

const char kFullList[] = R"(
The following 2 DLLs are needed to load $A/app.exe:
$A/alpha.dll
$B/beta.dll
)";

struct REPORT_CASE {
    const char* option;
    std::string out;
};

void expect_reports(const std::string& folder, const std::vector<REPORT_CASE>& cases) {
    for (const REPORT_CASE& c : cases) {
        SCOPED_TRACE(folder + " " + c.option);
        TOOL_RUN r = run_clean({c.option, folder + "/app.exe"});
        EXPECT_EQ(r.out, fill(c.out, folder, folder));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exit_code, 0);
    }
}

TEST(RealPeReport, WholeTreeLoads) {
    expect_reports(kFull, {
        {"-!", kFullRecursive},
        // Entries are listed newest first, the reverse of the lookup tables, in which lld
        // sorts the names and puts the ordinal-only entry before them.
        {"-v", R"(32-bit NT 'PE' Module
2 imported module(s) found.
Loading 'alpha.dll' --> $A/alpha.dll.
  alpha_one
  alpha_fwd
Loading 'beta.dll' --> $A/beta.dll.
  beta_two
    7 (0x0007)
All DLLs used by '$A/app.exe' could be loaded.
)"},
        {"-l", std::string(kFullRecursive) + kFullList},
        {"-q", std::string(R"(32-bit NT 'PE' Module
2 imported module(s) found.
  32-bit NT 'PE' Module
  1 imported module(s) found.
    32-bit NT 'PE' Module
    0 imported module(s) found.
)") + kFullList},
    });
}

// beta.dll is missing, so alpha.dll, which needs it, does not load either; nothing is
// followed and no list of needed DLLs is printed.
TEST(RealPeReport, MissingDllLoadsNothing) {
    const std::string kNotLoaded = R"(32-bit NT 'PE' Module
2 imported module(s) found.
Loading 'alpha.dll' --> NOT loaded!
Unable to load DLL 'alpha.dll'.  LoadLibrary returned: 126
Loading 'beta.dll' --> NOT loaded!
Unable to load DLL 'beta.dll'.  LoadLibrary returned: 126
)";
    expect_reports(kMissing, {
        {"-!", kNotLoaded},
        {"-v", kNotLoaded},
        {"-l", kNotLoaded},
        {"-q", R"(32-bit NT 'PE' Module
2 imported module(s) found.
--> NOT loaded!
Unable to load DLL 'alpha.dll'.  LoadLibrary returned: 126
--> NOT loaded!
Unable to load DLL 'beta.dll'.  LoadLibrary returned: 126
)"},
    });
}

// beta.dll lacks beta_two: three lines for it, no closing line for app.exe, and both DLLs
// are still followed and listed.
TEST(RealPeReport, LackingEntryIsReported) {
    const std::string kUnresolved = R"(Unable to load procedure from beta.dll (file: $A/beta.dll)
Entry 'beta_two' could not be resolved.
DosQueryProcAddr returned: 127
)";
    const std::string kRecursive = R"(32-bit NT 'PE' Module
2 imported module(s) found.
Loading 'alpha.dll' --> $A/alpha.dll.
  32-bit NT 'PE' Module
  1 imported module(s) found.
  Loading 'beta.dll' --> $A/beta.dll.
    32-bit NT 'PE' Module
    0 imported module(s) found.
    All DLLs used by '$A/beta.dll' could be loaded.
  All DLLs used by '$A/alpha.dll' could be loaded.
Loading 'beta.dll' --> $A/beta.dll.
)" + kUnresolved;
    expect_reports(kLacking, {
        {"-!", kRecursive},
        {"-v", R"(32-bit NT 'PE' Module
2 imported module(s) found.
Loading 'alpha.dll' --> $A/alpha.dll.
  alpha_one
  alpha_fwd
Loading 'beta.dll' --> $A/beta.dll.
)" + kUnresolved + R"(    7 (0x0007)
)"},
        {"-l", kRecursive + kFullList},
        {"-q", R"(32-bit NT 'PE' Module
2 imported module(s) found.
  32-bit NT 'PE' Module
  1 imported module(s) found.
    32-bit NT 'PE' Module
    0 imported module(s) found.
)" + kUnresolved + kFullList},
    });
}

// alpha_fwd is a forwarder to beta.beta_target: it resolves with the full beta.dll (above)
// and fails, reported against alpha.dll, when beta.dll lacks the target.
TEST(RealPeReport, ForwardedEntryResolvesThroughItsTarget) {
    expect_reports(kUnforwarded, {
        {"-v", R"(32-bit NT 'PE' Module
2 imported module(s) found.
Loading 'alpha.dll' --> $A/alpha.dll.
  alpha_one
Unable to load procedure from alpha.dll (file: $A/alpha.dll)
Entry 'alpha_fwd' could not be resolved.
DosQueryProcAddr returned: 127
Loading 'beta.dll' --> $A/beta.dll.
  beta_two
    7 (0x0007)
)"},
    });
}

// The search order: the application's folder, the current directory, WINEPATH (';'),
// PATH (':'). Each case leaves beta.dll to a later place than the folder it is found in,
// so a place searched too early or skipped shows in the paths or as an unresolved entry.
TEST(RealPeSearch, DllsFoundInSearchOrder) {
    const std::string kNone = TALVEK_REALPE_DIR "/none";
    const struct {
        const char* what;
        std::string app_dir;    // app.exe and, unless missing, alpha.dll
        SEARCH_ENV se;
        std::string beta_dir;
    } cases[] = {
        {"current directory", kMissing, {kFull, "", ""}, kFull},
        {"WINEPATH entries", kMissing, {"", kNone + ";" + kFull, ""}, kFull},
        {"PATH entries", kMissing, {"", "", kNone + ":" + kFull}, kFull},
        {"current directory before WINEPATH", kMissing, {kFull, kLacking, ""}, kFull},
        {"WINEPATH before PATH", kMissing, {"", kFull, kLacking}, kFull},
        {"application folder before the rest", kFull, {kLacking, kLacking, kLacking}, kFull},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TOOL_RUN r = run_clean({"-l", c.app_dir + "/app.exe"}, c.se);
        EXPECT_EQ(r.out, fill(std::string(kFullRecursive) + kFullList, c.app_dir, c.beta_dir));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exit_code, 0);
    }
}

// Letter case: the exact name wins, else the first name that differs only in case, and
// the loader reports the file's own spelling. BETA.DLL (lacking beta_two) is never taken
// while beta.dll is there.
TEST(RealPeSearch, LetterCaseOfDllFiles) {
    std::string dir = make_temp_dir();
    write_files(dir, {{"app.exe", read_bytes(kFull + "/app.exe")},
                      {"Alpha.DLL", read_bytes(kFull + "/alpha.dll")},
                      {"beta.dll", read_bytes(kFull + "/beta.dll")},
                      {"BETA.DLL", read_bytes(kLacking + "/beta.dll")}});
    TOOL_RUN r = run_clean({"-l", dir + "/app.exe"});
    EXPECT_EQ(r.out, R"(32-bit NT 'PE' Module
2 imported module(s) found.
Loading 'alpha.dll' --> )" + dir + R"(/Alpha.DLL.
  32-bit NT 'PE' Module
  1 imported module(s) found.
  Loading 'beta.dll' --> )" + dir + R"(/beta.dll.
    32-bit NT 'PE' Module
    0 imported module(s) found.
    All DLLs used by ')" + dir + R"(/beta.dll' could be loaded.
  All DLLs used by ')" + dir + R"(/Alpha.DLL' could be loaded.
Loading 'beta.dll' --> )" + dir + R"(/beta.dll.
All DLLs used by ')" + dir + R"(/app.exe' could be loaded.

The following 2 DLLs are needed to load )" + dir + R"(/app.exe:
)" + dir + R"(/Alpha.DLL
)" + dir + R"(/beta.dll
)");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
    remove_tree(dir);
}

// The named module keeps the name as typed (relative here) in its closing line and the
// list header, while the DLLs carry the loader's absolute paths.
TEST(RealPeSearch, RelativeNameKeptAsTyped) {
    RUN_OPTIONS opt;
    std::string empty = make_temp_dir();
    opt.env = {{"PATH", empty}, {"WINEPATH", ""}};
    TOOL_RUN r = run_talvek_in(TALVEK_REALPE_DIR, {"-q", "full/app.exe"}, opt);
    remove_tree(empty);
    EXPECT_EQ(r.out, fill(R"(32-bit NT 'PE' Module
2 imported module(s) found.
  32-bit NT 'PE' Module
  1 imported module(s) found.
    32-bit NT 'PE' Module
    0 imported module(s) found.

The following 2 DLLs are needed to load full/app.exe:
$A/alpha.dll
$A/beta.dll
)", kFull));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
}

// The x64 build of the same tree is reported line for line as the 32-bit one.
TEST(RealPeReport, SixtyFourBitTreeLoads) {
    expect_reports(kFull64, {
        {"-!", wide(kFullRecursive)},
        {"-l", wide(std::string(kFullRecursive) + kFullList)},
    });
}

// The search passes over DLLs of the other machine and goes on, so one WINEPATH serves 32-bit
// and 64-bit programs; only DLLs of the other machine found is 193.
TEST(RealPeSearch, DllsOfTheOtherMachineArePassedOver) {
    std::string app32 = make_temp_dir(), app64 = make_temp_dir(), mixed = make_temp_dir();
    write_files(app32, {{"app.exe", read_bytes(kFull + "/app.exe")}});
    write_files(app64, {{"app.exe", read_bytes(kFull64 + "/app.exe")}});
    write_files(mixed, {{"app.exe", read_bytes(kFull + "/app.exe")},
                        {"alpha.dll", read_bytes(kFull64 + "/alpha.dll")},
                        {"beta.dll", read_bytes(kFull64 + "/beta.dll")}});
    const std::string kFound = std::string(kFullRecursive) + kFullList;
    const struct {
        const char* what;
        std::string app_dir, winepath, out, dll_dir;
    } cases[] = {
        {"32-bit program, 64-bit folder first", app32, kFull64 + ";" + kFull, kFound, kFull},
        {"32-bit program, 32-bit folder first", app32, kFull + ";" + kFull64, kFound, kFull},
        {"64-bit program, 32-bit folder first", app64, kFull + ";" + kFull64, wide(kFound), kFull64},
        {"64-bit program, 64-bit folder first", app64, kFull64 + ";" + kFull, wide(kFound), kFull64},
        {"64-bit DLLs beside a 32-bit program", mixed, kFull, kFound, kFull},
        {"only 64-bit DLLs for a 32-bit program", app32, kFull64, R"(32-bit NT 'PE' Module
2 imported module(s) found.
Loading 'alpha.dll' --> NOT loaded!
Unable to load DLL 'alpha.dll'.  LoadLibrary returned: 193
Loading 'beta.dll' --> NOT loaded!
Unable to load DLL 'beta.dll'.  LoadLibrary returned: 193
)", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TOOL_RUN r = run_clean({"-l", c.app_dir + "/app.exe"}, {"", c.winepath, ""});
        std::string out = fill(c.out, c.dll_dir, c.dll_dir);
        // The named module keeps its own folder in its closing line and the list header.
        for (const char* line : {"All DLLs used by '", "needed to load "}) {
            size_t at = out.find(std::string(line) + c.dll_dir + "/app.exe");
            if (at != std::string::npos) out.replace(at + strlen(line), c.dll_dir.size(), c.app_dir);
        }
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exit_code, 0);
    }
    for (const std::string& d : {app32, app64, mixed}) remove_tree(d);
}

// A program of current toolchains (modern.c): its C runtime through an API set, kernel32.dll,
// beta.dll delay-loaded. $S is the system folder, $A the program's.
const char kModernReport[] = R"(32-bit NT 'PE' Module
2 imported module(s) found.
Loading 'api-ms-win-crt-runtime-l1-1-0.dll' --> $S/ucrtbase.dll.
  _initterm
Loading 'kernel32.dll' --> $S/kernel32.dll.
  ExitProcess
1 delay-loaded module(s) found.
Loading 'beta.dll' --> $A/beta.dll.
  beta_one
All DLLs used by '$A/app.exe' could be loaded.
)";

// With a system folder of writer-made DLLs and schema named in WINEPATH, on any machine.
TEST(RealPeReport, ApiSetAndDelayLoadedDllOfACurrentToolchain) {
    APISET_DESC schema;
    schema.entries = {{"api-ms-win-crt-runtime-l1-1-0", {{"", "ucrtbase.dll"}}}};
    auto exporting = [](const char* name, bool fWide) {
        PE_DESC d;
        d.exports = {PE_EXPORT{1, name, "", 0}};
        return write_pe(fWide ? pe_wide(d) : d);
    };
    for (bool fWide : {false, true}) {
        SCOPED_TRACE(fWide ? "64-bit" : "32-bit");
        std::string sys = make_temp_dir();
        write_files(sys, {{"apisetschema.dll", write_apiset_dll(write_apiset(schema))},
                          {"ucrtbase.dll", exporting("_initterm", fWide)},
                          {"kernel32.dll", exporting("ExitProcess", fWide)}});
        const std::string& dir = fWide ? kModern64 : kModern;
        std::string want = fill(kModernReport, dir);
        for (size_t at = want.find("$S"); at != std::string::npos; at = want.find("$S", at)) want.replace(at, 2, sys);
        TOOL_RUN r = run_clean({"-d", "-v", dir + "/app.exe"}, {"", sys, ""});
        EXPECT_EQ(r.out, fWide ? wide(want) : want);
        EXPECT_EQ(r.exit_code, 0);
        remove_tree(sys);
    }
}

// The same with WINEPATH unset: Wine's own folder and schema, where Wine is installed.
TEST(RealPeReport, WineResolvesTheApiSetWithoutWinePath) {
    int checked = 0;
    for (bool fWide : {false, true}) {
        std::string wine = talvek::find_wine_dll_folder(fWide ? 0x8664 : 0x014C, "");
        if (wine.empty()) continue;
        SCOPED_TRACE(wine);
        checked++;
        const std::string& dir = fWide ? kModern64 : kModern;
        std::string want = fill(kModernReport, dir);
        for (size_t at = want.find("$S"); at != std::string::npos; at = want.find("$S", at)) want.replace(at, 2, wine);
        std::string empty = make_temp_dir();
        RUN_OPTIONS opt;
        opt.env = {{"PATH", empty}};
        opt.system_wine = true;
        TOOL_RUN r = run_talvek_in(empty, {"-d", "-v", dir + "/app.exe"}, opt);
        EXPECT_EQ(r.out, fWide ? wide(want) : want);
        // Recursion reaches ucrtbase.dll once, by its path, and loads all Wine's DLLs it needs.
        r = run_talvek_in(empty, {"-q", dir + "/app.exe"}, opt);
        EXPECT_EQ(r.out.find("NOT loaded"), std::string::npos) << r.out;
        size_t first = r.out.find("\n" + wine + "/ucrtbase.dll\n");
        EXPECT_NE(first, std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("\n" + wine + "/ucrtbase.dll\n", first + 1), std::string::npos) << r.out;
        remove_tree(empty);
    }
    if (checked == 0) GTEST_SKIP() << "Wine's DLLs are not installed (packages libwine, libwine:i386)";
}

// A clang program for the Visual C++ runtime, with vcruntime140.dll in the system folder only:
// a clean Windows 10 lacks it (kernel32.dll is part of it, though not here), until --deploy
// brings it beside the program.
TEST(RealPeShip, VisualCppRuntimeIsMissingUntilDeployed) {
    std::string dir = make_temp_dir();
    write_files(dir, {{"app.exe", read_bytes(kVcrt + "/app.exe")}});
    const std::string S = kVcrt + "/sys/vcruntime140.dll";
    TOOL_RUN r = run_clean({"--windows=10", "-e", "app.exe"}, {dir, kVcrt + "/sys", ""});
    EXPECT_NE(r.out.find("Loading 'kernel32.dll' --> part of Windows 10 (x64), not found here.\nAll DLLs used by "
                         "'app.exe' could be loaded.\n\nMissing: 1\nvcruntime140.dll: not part of Windows 10 (x64) but of "
                         "the Visual C++ Redistributable, ship it with the program, needed by app.exe\n"),
              std::string::npos) << r.out;
    EXPECT_EQ(r.exit_code, 10);
    r = run_clean({"--windows=10", "--deploy=.", "-q", "app.exe"}, {dir, kVcrt + "/sys", ""});
    EXPECT_EQ(r.out, "Copied '" + S + "' to './vcruntime140.dll'.\n64-bit NT 'PE' Module\n2 imported module(s) found.\n"
                     "  64-bit NT 'PE' Module\n  0 imported module(s) found.\n"
                     "\nThe following 1 DLL is needed to load app.exe:\n" + dir + "/vcruntime140.dll\n");
    EXPECT_EQ(r.exit_code, 0);
    remove_tree(dir);
}

// A C++ program of MinGW-w64 with the compiler's runtime folders as the system folders: it
// must bring libgcc_s_seh-1.dll, libwinpthread-1.dll (which both others need) and
// libstdc++-6.dll, in the order the run meets them.
TEST(RealPeShip, MinGwProgramBringsItsRuntime) {
#if defined(TALVEK_MINGW_DIR_libstdc___6_dll) && defined(TALVEK_MINGW_DIR_libwinpthread_1_dll)
    const std::string gcc = TALVEK_MINGW_DIR_libstdc___6_dll, lib = TALVEK_MINGW_DIR_libwinpthread_1_dll;
    if (read_bytes(kMingw + "/app.exe").empty() || gcc.empty() || lib.empty())
        GTEST_SKIP() << "the MinGW program was not built";
    const SEARCH_ENV se{"", gcc + ";" + lib, ""};
    TOOL_RUN r = run_clean({"--windows=10", "--ship", kMingw + "/app.exe"}, se);
    EXPECT_EQ(r.out, gcc + "/libgcc_s_seh-1.dll\n" + lib + "/libwinpthread-1.dll\n" + gcc + "/libstdc++-6.dll\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(run_clean({"--windows=10", "-e", "-q", kMingw + "/app.exe"}, se).exit_code, 10);
#else
    GTEST_SKIP() << "x86_64-w64-mingw32-g++-posix not found (Debian: g++-mingw-w64-x86-64)";
#endif
}

// A program of the test toolchains as the host of a plugin of theirs: the plugin's entries are
// checked against host.exe's exports, and beta.dll, which the host loaded for itself, is taken
// as loaded even by the altered search, which leaves the host's folder out.
TEST(RealPeHost, PluginOfARealProgram) {
    TOOL_RUN r = run_clean({"--host=" + kPlugin + "/host/host.exe", "--search=altered", "-v", "-e", kPlugin + "/ext/plugin.dll"});
    EXPECT_EQ(r.out, "64-bit NT 'PE' Module\n2 imported module(s) found.\nLoading 'host.exe' --> " + kPlugin +
                         "/host/host.exe.\n  host_api\nLoading 'beta.dll' --> " + kPlugin + "/host/beta.dll.\n  beta_one\n"
                         "All DLLs used by '" + kPlugin + "/ext/plugin.dll' could be loaded.\n");
    EXPECT_EQ(r.exit_code, 0);
}

}  // namespace

#endif  // TALVEK_REALPE_DIR
