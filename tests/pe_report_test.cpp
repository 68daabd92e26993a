// The PE load test as the user sees it: load and resolve lines, -v, -q, recursion, final list.
#include <gtest/gtest.h>

#include <unistd.h>

#include "support/in_process.h"
#include "support/loader_fixture.h"
#include "support/pe_writer.h"
#include "support/tool_runner.h"

namespace {

// fWide: an x64 DLL.
BYTES dll(const std::vector<std::string>& names, const std::vector<PE_IMPORT>& imports = {}, bool fWide = false) {
    return export_dll(names, imports, fWide);
}

BYTES app(const std::vector<PE_IMPORT>& imports) { return import_app(imports); }

typedef TEST_FOLDER FOLDER;

TEST(PeReport, LoadedModulesAndEntriesThatResolve) {
    FOLDER f;
    std::vector<TOOL_FILE> files = {
        {"app.exe", app({{"a.dll", {pe_name("fa1"), pe_name("fa2"), pe_ord(5)}}, {"b.dll", {pe_name("fb")}}})},
        {"a.dll", dll({"fa1", "fa2", "x3", "x4", "x5"})},
        {"b.dll", dll({"fb"})},
    };
    const std::string D = f.dir;
    TOOL_RUN r = f.run({"app.exe"}, files);
    EXPECT_EQ(r.out, "32-bit NT 'PE' Module\n"
                     "2 imported module(s) found.\n"
                     "Loading 'a.dll' --> " + D + "/a.dll.\n"
                     "Loading 'b.dll' --> " + D + "/b.dll.\n"
                     "All DLLs used by 'app.exe' could be loaded.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);

    // -v lists the resolved entries, newest first: the reverse of the lookup table.
    r = f.run({"-v", "app.exe"}, {});
    EXPECT_EQ(r.out, "32-bit NT 'PE' Module\n"
                     "2 imported module(s) found.\n"
                     "Loading 'a.dll' --> " + D + "/a.dll.\n"
                     "    5 (0x0005)\n"
                     "  fa2\n"
                     "  fa1\n"
                     "Loading 'b.dll' --> " + D + "/b.dll.\n"
                     "  fb\n"
                     "All DLLs used by 'app.exe' could be loaded.\n");
}

TEST(PeReport, FailuresAreReportedAndTheResultStaysZero) {
    FOLDER f;
    std::vector<TOOL_FILE> files = {
        {"app.exe", app({{"a.dll", {pe_name("fa"), pe_name("gone"), pe_ord(9), pe_ord(0x12345)}},
                         {"c.dll", {pe_name("fc")}}})},
        {"a.dll", dll({"fa"})},
    };
    const std::string D = f.dir;
    TOOL_RUN r = f.run({"app.exe"}, files);
    EXPECT_EQ(r.out, "32-bit NT 'PE' Module\n"
                     "2 imported module(s) found.\n"
                     "Loading 'a.dll' --> " + D + "/a.dll.\n"
                     "Unable to load procedure from a.dll (file: " + D + "/a.dll)\n"
                     "Ordinal entry 74565 could not be resolved.\n"
                     "DosQueryProcAddr returned: 127\n"
                     "Unable to load procedure from a.dll (file: " + D + "/a.dll)\n"
                     "Ordinal entry 9 could not be resolved.\n"
                     "DosQueryProcAddr returned: 127\n"
                     "Unable to load procedure from a.dll (file: " + D + "/a.dll)\n"
                     "Entry 'gone' could not be resolved.\n"
                     "DosQueryProcAddr returned: 127\n"
                     "Loading 'c.dll' --> NOT loaded!\n"
                     "Unable to load DLL 'c.dll'.  LoadLibrary returned: 126\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);

    // -q: no progress, the failure lines still, "--> NOT loaded!" at the start of its line.
    r = f.run({"-q", "app.exe"}, {});
    EXPECT_EQ(r.out, "32-bit NT 'PE' Module\n"
                     "2 imported module(s) found.\n"
                     "Unable to load procedure from a.dll (file: " + D + "/a.dll)\n"
                     "Ordinal entry 74565 could not be resolved.\n"
                     "DosQueryProcAddr returned: 127\n"
                     "Unable to load procedure from a.dll (file: " + D + "/a.dll)\n"
                     "Ordinal entry 9 could not be resolved.\n"
                     "DosQueryProcAddr returned: 127\n"
                     "Unable to load procedure from a.dll (file: " + D + "/a.dll)\n"
                     "Entry 'gone' could not be resolved.\n"
                     "DosQueryProcAddr returned: 127\n"
                     "  32-bit NT 'PE' Module\n"
                     "  0 imported module(s) found.\n"
                     "--> NOT loaded!\n"
                     "Unable to load DLL 'c.dll'.  LoadLibrary returned: 126\n"
                     "\nThe following 1 DLL is needed to load app.exe:\n" + D + "/a.dll\n");
    EXPECT_EQ(r.exit_code, 0);
}

// -e: each problem once, in the order the run met it, and exit code 10 where it was 0.
TEST(PeReport, MissingSummaryAndExitCode) {
    FOLDER f;
    std::vector<TOOL_FILE> files = {
        {"app.exe", app({{"a.dll", {pe_name("fa"), pe_name("gone"), pe_ord(9)}}, {"c.dll", {pe_name("fc")}}})},
        {"a.dll", dll({"fa"})},
    };
    TOOL_RUN plain = f.run({"-!", "app.exe"}, files);
    TOOL_RUN r = f.run({"-!", "-e", "app.exe"}, {});
    EXPECT_EQ(r.out, plain.out + "\nMissing: 3\n"
                                 "a.dll: ordinal 9 not resolved (127), needed by app.exe\n"
                                 "a.dll: entry 'gone' not resolved (127), needed by app.exe\n"
                                 "c.dll: not loaded (126), needed by app.exe\n");
    EXPECT_EQ(plain.exit_code, 0);
    EXPECT_EQ(r.exit_code, 10);

    r = f.run({"/E", "a.dll"}, {});
    EXPECT_EQ(r.out, "32-bit NT 'PE' Module\n0 imported module(s) found.\nAll DLLs used by 'a.dll' could be loaded.\n");
    EXPECT_EQ(r.exit_code, 0);
    // The named module's own failure stays its exit code.
    r = f.run({"-e", "none.exe"}, {});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.exit_code, 2);
}

TEST(PeReport, RecursionFollowsTheLoadersPathAndChecksEachDllOnce) {
    FOLDER f;
    std::vector<TOOL_FILE> files = {
        {"app.exe", app({{"a.dll", {pe_name("fa")}}, {"B.DLL", {pe_name("fb")}}})},
        {"a.dll", dll({"fa"}, {{"c.dll", {pe_name("fc")}}})},
        {"b.dll", dll({"fb"}, {{"C.dll", {pe_ord(1)}}})},
        {"c.dll", dll({"fc"})},
    };
    const std::string D = f.dir;
    TOOL_RUN r = f.run({"-l", "app.exe"}, files, RUN_OPTIONS{"", true, {}, "", 120});
    EXPECT_EQ(r.both, "32-bit NT 'PE' Module\n"
                      "2 imported module(s) found.\n"
                      "Loading 'a.dll' --> " + D + "/a.dll.\n"
                      "  32-bit NT 'PE' Module\n"
                      "  1 imported module(s) found.\n"
                      "  Loading 'c.dll' --> " + D + "/c.dll.\n"
                      "    32-bit NT 'PE' Module\n"
                      "    0 imported module(s) found.\n"
                      "    All DLLs used by '" + D + "/c.dll' could be loaded.\n"
                      "  All DLLs used by '" + D + "/a.dll' could be loaded.\n"
                      "Loading 'B.DLL' --> " + D + "/b.dll.\n"
                      "  32-bit NT 'PE' Module\n"
                      "  1 imported module(s) found.\n"
                      "  Loading 'C.dll' --> " + D + "/c.dll.\n"
                      "  All DLLs used by '" + D + "/b.dll' could be loaded.\n"
                      "All DLLs used by 'app.exe' could be loaded.\n"
                      "\nThe following 3 DLLs are needed to load app.exe:\n" +
                      D + "/a.dll\n" + D + "/c.dll\n" + D + "/b.dll\n");
    EXPECT_EQ(r.exit_code, 0);
}

// The library in one process gives what the program gives: each of two runs made one after
// the other checks as if it were the only one, the second skipping nothing the first checked.
TEST(PeReport, TwoRunsInOneProcessEachGiveTheProgramsReport) {
    FOLDER f;
    std::vector<TOOL_FILE> files = {
        {"app.exe", app({{"a.dll", {pe_name("fa"), pe_name("gone")}}, {"lost.dll", {pe_ord(1)}}})},
        {"a.dll", dll({"fa"}, {{"c.dll", {pe_name("fc")}}})},
        {"c.dll", dll({"fc"})},
    };
    TOOL_RUN r = f.run({"-!", "-v", "app.exe"}, files);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(f.dir.c_str()), 0);
    talvek::OPTIONS opt;
    opt.recurse = opt.LoadVerbose = true;
    for (int k = 0; k < 2; k++) {
        SCOPED_TRACE(k);
        std::string out, err;
        talvek::CHECK_RESULT c = check_in_process("app.exe", opt, &out, &err);
        EXPECT_EQ(out, r.out);
        EXPECT_EQ(err, r.err);
        EXPECT_EQ(c.rc, r.exit_code);
        EXPECT_FALSE(c.fRunEnded);
    }
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_NE(r.out.find("  Loading 'c.dll' --> "), std::string::npos) << r.out;
}

TEST(PeReport, ModuleWithoutImports) {
    for (bool fQuiet : {false, true}) {
        SCOPED_TRACE(fQuiet);
        TOOL_RUN r = run_talvek({fQuiet ? "-q" : "-!", "x.dll"}, {{"x.dll", dll({"f"})}});
        EXPECT_EQ(r.out, fQuiet ? "32-bit NT 'PE' Module\n0 imported module(s) found.\n"
                                : "32-bit NT 'PE' Module\n0 imported module(s) found.\n"
                                  "All DLLs used by 'x.dll' could be loaded.\n");
        EXPECT_EQ(r.exit_code, 0);
    }
}

// The named module is registered as typed; a DLL importing it back leads to it once more
// under the loader's path.
TEST(PeReport, NamedModuleImportedBackIsCheckedAgainUnderItsPath) {
    FOLDER f;
    std::vector<TOOL_FILE> files = {
        {"main.dll", dll({"m"}, {{"a.dll", {pe_name("fa")}}})},
        {"a.dll", dll({"fa"}, {{"main.dll", {pe_name("m")}}})},
    };
    const std::string D = f.dir;
    TOOL_RUN r = f.run({"-l", "main.dll"}, files);
    EXPECT_EQ(r.out, "32-bit NT 'PE' Module\n"
                     "1 imported module(s) found.\n"
                     "Loading 'a.dll' --> " + D + "/a.dll.\n"
                     "  32-bit NT 'PE' Module\n"
                     "  1 imported module(s) found.\n"
                     "  Loading 'main.dll' --> " + D + "/main.dll.\n"
                     "    32-bit NT 'PE' Module\n"
                     "    1 imported module(s) found.\n"
                     "    Loading 'a.dll' --> " + D + "/a.dll.\n"
                     "    All DLLs used by '" + D + "/main.dll' could be loaded.\n"
                     "  All DLLs used by '" + D + "/a.dll' could be loaded.\n"
                     "All DLLs used by 'main.dll' could be loaded.\n"
                     "\nThe following 2 DLLs are needed to load main.dll:\n" + D + "/a.dll\n" + D + "/main.dll\n");
}

// The search starts in the named module's directory, wherever the tool runs.
TEST(PeReport, DllsAreFoundBesideTheNamedModule) {
    FOLDER f;
    std::vector<TOOL_FILE> files = {
        {"prog/app.exe", app({{"a.dll", {pe_name("fa")}}})},
        {"prog/a.dll", dll({"fa"})},
        {"a.dll", dll({"other"})},
        {"run/", {}},
    };
    const std::string D = f.dir;
    RUN_OPTIONS opt;
    opt.workdir = "run";
    TOOL_RUN r = f.run({"../prog/app.exe"}, files, opt);
    EXPECT_EQ(r.out, "32-bit NT 'PE' Module\n"
                     "1 imported module(s) found.\n"
                     "Loading 'a.dll' --> " + D + "/prog/a.dll.\n"
                     "All DLLs used by '../prog/app.exe' could be loaded.\n");
}

// A tree of 64-bit modules is reported line for line as the same tree of 32-bit ones, but for
// the format lines. Its ordinal entry also sets bits 31 to 62, which a 64-bit entry ignores
// (cut to 32 bits, it is the same ordinal's 32-bit entry).
TEST(PeReport, SixtyFourBitTreeReportsAsTheThirtyTwoBitOne) {
    PE_REF noisy;
    noisy.value = 0xFFFFFFFF80000005ull;
    auto tree = [&](bool fWide) {
        auto make = [&](PE_DESC d) { return write_pe(fWide ? pe_wide(d) : d); };
        PE_DESC a, c, application;
        for (uint32_t k = 1; k <= 5; k++) a.exports.push_back(PE_EXPORT{k, "fa" + std::to_string(k), "", 0});
        a.imports = {{"c.dll", {pe_name("fc")}}};
        c.exports = {PE_EXPORT{1, "fc", "", 0}};
        application.imports = {{"a.dll", {pe_name("fa1"), noisy, pe_name("gone"), pe_ord(0x12345)}},
                               {"b.dll", {pe_name("fb")}}};
        return std::vector<TOOL_FILE>{{"app.exe", make(application)}, {"a.dll", make(a)}, {"c.dll", make(c)}};
    };
    FOLDER f32, f64;
    for (const char* opt : {"-v", "-l"}) {
        SCOPED_TRACE(opt);
        TOOL_RUN r32 = f32.run({opt, "app.exe"}, tree(false));
        TOOL_RUN r64 = f64.run({opt, "app.exe"}, tree(true));
        std::string want = r32.out;
        for (size_t at = want.find(f32.dir); at != std::string::npos; at = want.find(f32.dir, at))
            want.replace(at, f32.dir.size(), f64.dir);
        for (size_t at = want.find("32-bit NT"); at != std::string::npos; at = want.find("32-bit NT", at))
            want.replace(at, 2, "64");
        EXPECT_EQ(r64.out, want);
        EXPECT_EQ(r64.err, r32.err);
        EXPECT_EQ(r64.exit_code, r32.exit_code);
    }
    // The 32-bit run itself: the noisy ordinal resolved as 5, the large one did not.
    TOOL_RUN r = f32.run({"-v", "app.exe"}, {});
    EXPECT_NE(r.out.find("\n    5 (0x0005)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Ordinal entry 74565 could not be resolved."), std::string::npos) << r.out;
}

// -d: the delay-loaded DLLs after the static ones and their recursion, through the same
// module test; without -d not a byte of the report changes. The loader itself never loads a
// DLL's delay-loaded DLLs (b.dll loads without nothere.dll). The tables as RVAs, as VAs, and
// in a 64-bit tree report alike. In the VA form a value outside the image's address range
// (below ImageBase: an RVA) is taken as an RVA, in the descriptor and in its name table.
TEST(PeReport, DelayLoadedModulesWithD) {
    struct FORM {
        const char* what;
        bool fVA, fRvaFields, fRvaEntries, fWide;
    } forms[] = {{"RVAs", false, false, false, false},
                 {"VAs", true, false, false, false},
                 {"VA form, RVA entries", true, false, true, false},
                 {"VA form, RVA fields", true, true, false, false},
                 {"64-bit", false, false, false, true}};
    for (const FORM& form : forms) {
        SCOPED_TRACE(form.what);
        auto make = [&](PE_DESC d) {
            d.delay_va = form.fVA;
            d.delay_rva_fields = form.fRvaFields;
            d.delay_rva_entries = form.fRvaEntries;
            return write_pe(form.fWide ? pe_wide(d) : d);
        };
        PE_DESC application, a, b, c;
        application.imports = {{"a.dll", {pe_name("fa")}}};
        application.delay_imports = {{"b.dll", {pe_name("fb"), pe_ord(1)}}, {"gone.dll", {pe_name("x")}}};
        a.exports = {PE_EXPORT{1, "fa", "", 0}};
        b.exports = {PE_EXPORT{1, "fb", "", 0}};
        b.imports = {{"c.dll", {}}};
        b.delay_imports = {{"nothere.dll", {pe_name("y")}}};
        c.export_dir = true;
        FOLDER f;
        std::vector<TOOL_FILE> files = {{"app.exe", make(application)}, {"a.dll", make(a)}, {"b.dll", make(b)}, {"c.dll", make(c)}};
        const std::string D = f.dir, F = form.fWide ? "64-bit NT 'PE' Module\n" : "32-bit NT 'PE' Module\n";
        const std::string gone = "--> NOT loaded!\nUnable to load DLL 'gone.dll'.  LoadLibrary returned: 126\n";
        const std::string nothere = "--> NOT loaded!\n  Unable to load DLL 'nothere.dll'.  LoadLibrary returned: 126\n";
        struct {
            std::vector<std::string> args;
            std::string out;
        } cases[] = {
            {{"app.exe"}, F + "1 imported module(s) found.\nLoading 'a.dll' --> " + D + "/a.dll.\n"
                          "All DLLs used by 'app.exe' could be loaded.\n"},
            {{"-d", "app.exe"}, F + "1 imported module(s) found.\nLoading 'a.dll' --> " + D + "/a.dll.\n"
                                "2 delay-loaded module(s) found.\nLoading 'b.dll' --> " + D + "/b.dll.\n"
                                "Loading 'gone.dll' " + gone},
            {{"-D", "-v", "app.exe"}, F + "1 imported module(s) found.\nLoading 'a.dll' --> " + D + "/a.dll.\n  fa\n"
                                      "2 delay-loaded module(s) found.\nLoading 'b.dll' --> " + D + "/b.dll.\n"
                                      "    1 (0x0001)\n  fb\nLoading 'gone.dll' " + gone},
            {{"-d", "-q", "app.exe"}, F + "1 imported module(s) found.\n  " + F + "  0 imported module(s) found.\n"
                                      "  0 delay-loaded module(s) found.\n2 delay-loaded module(s) found.\n  " + F +
                                      "  1 imported module(s) found.\n    " + F + "    0 imported module(s) found.\n"
                                      "    0 delay-loaded module(s) found.\n  1 delay-loaded module(s) found.\n" +
                                      nothere + gone + "\nThe following 3 DLLs are needed to load app.exe:\n" + D +
                                      "/a.dll\n" + D + "/b.dll\n" + D + "/c.dll\n"},
            {{"-d", "-!", "app.exe"}, F + "1 imported module(s) found.\nLoading 'a.dll' --> " + D + "/a.dll.\n  " + F +
                                      "  0 imported module(s) found.\n  0 delay-loaded module(s) found.\n"
                                      "  All DLLs used by '" + D + "/a.dll' could be loaded.\n"
                                      "2 delay-loaded module(s) found.\nLoading 'b.dll' --> " + D + "/b.dll.\n  " + F +
                                      "  1 imported module(s) found.\n  Loading 'c.dll' --> " + D + "/c.dll.\n    " + F +
                                      "    0 imported module(s) found.\n    0 delay-loaded module(s) found.\n"
                                      "    All DLLs used by '" + D + "/c.dll' could be loaded.\n"
                                      "  1 delay-loaded module(s) found.\n  Loading 'nothere.dll' " + nothere +
                                      "Loading 'gone.dll' " + gone},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::PrintToString(c.args));
            TOOL_RUN r = f.run(c.args, files);
            EXPECT_EQ(r.out, c.out);
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(r.exit_code, 0);
        }
    }
}

BYTES dll64(const std::vector<std::string>& names, const std::vector<PE_IMPORT>& imports = {}) {
    return dll(names, imports, true);
}

RUN_OPTIONS search_env(const std::string& winepath, const std::string& path = "") {
    RUN_OPTIONS opt;
    opt.env = {{"WINEPATH", winepath}, {"PATH", path}};
    return opt;
}

// --windows=10 against a stand-in system folder: a DLL of Windows 10 found there, one absent
// (a stand-in, not followed, not missing), DLLs it lacks found there (to ship and missing for
// -e, once with every way), one in the application folder and one on PATH (to ship, not
// missing), and one a DLL of Windows needs (Windows' own concern).
TEST(PeReport, WindowsTargetJudgesEachDllByWhereItComesFrom) {
    FOLDER f;
    const std::string D = f.dir;
    std::vector<TOOL_FILE> files = {
        {"app.exe", dll64({}, {{"kernel32.dll", {pe_name("Sleep")}}, {"d3d12.dll", {pe_name("D3D12CreateDevice")}},
                               {"vcruntime140.dll", {pe_name("v")}}, {"mine.dll", {pe_name("m")}},
                               {"zlib1.dll", {pe_name("z")}}, {"extra.dll", {}}, {"gone.dll", {}}})},
        {"mine.dll", dll64({"m"}, {{"zlib1.dll", {pe_name("z")}}})},
        {"sys/kernel32.dll", dll64({"Sleep"}, {{"wined3d.dll", {}}})},
        {"sys/wined3d.dll", dll64({})},
        {"sys/vcruntime140.dll", dll64({"v"})},
        {"sys/zlib1.dll", dll64({"z"})},
        {"p/extra.dll", dll64({})},
    };
    const RUN_OPTIONS env = search_env(D + "/sys", D + "/p");
    TOOL_RUN r = f.run({"--windows=10", "-e", "app.exe"}, files, env);
    EXPECT_EQ(r.out.substr(r.out.find("\nMissing: ")),
              "\nMissing: 3\nvcruntime140.dll: not part of Windows 10 (x64) but of the Visual C++ Redistributable, ship "
              "it with the program, needed by app.exe\nzlib1.dll: not part of Windows 10 (x64), ship it with the program, "
              "needed by app.exe > mine.dll, and by app.exe\ngone.dll: not loaded (126), needed by app.exe\n");
    EXPECT_EQ(r.exit_code, 10);
    for (const char* ship : {"--ship", "--ship=all"}) {
        SCOPED_TRACE(ship);
        r = f.run({"--windows=10", ship, "app.exe"}, {}, env);
        EXPECT_EQ(r.out, D + "/sys/vcruntime140.dll\n" + (ship[6] ? D + "/mine.dll\n" : "") + D + "/sys/zlib1.dll\n" + D +
                             "/p/extra.dll\n");
        // What cannot ship is said, and fails the run.
        EXPECT_EQ(r.err, "gone.dll: not loaded (126), needed by app.exe\n");
        EXPECT_EQ(r.exit_code, 10);
    }
    r = f.run({"--windows=10", "-g", "app.exe"}, {}, env);
    EXPECT_NE(r.out.find("[label=\"zlib1.dll\\nPE32+\\nsystem folder, to ship\", tooltip=\"" + D +
                         "/sys/zlib1.dll\", color=darkorange, fontcolor=darkorange, penwidth=2];\n"), std::string::npos);
    EXPECT_NE(r.out.find("[label=\"d3d12.dll\\npart of Windows 10 (x64), not here\", style=dotted, color=gray50, "
                         "fontcolor=gray50];\n"), std::string::npos);
}

// An x64 DLL as Wine installs its own: its builtin marker after the DOS header.
BYTES wine64(const std::vector<std::string>& names, const std::vector<PE_IMPORT>& imports = {}) {
    PE_DESC d;
    uint32_t ord = 1;
    for (const std::string& n : names) d.exports.push_back(PE_EXPORT{ord++, n, "", 0});
    d.export_dir = true;
    d.imports = imports;
    d = pe_wide(d);
    d.dos.ofs_new_hdr = 0x80;
    d.dos_stub = {'W', 'i', 'n', 'e', ' ', 'b', 'u', 'i', 'l', 't', 'i', 'n', ' ', 'D', 'L', 'L', 0};
    return write_pe(d);
}

// Wine's own files never ship: the Visual C++ and DirectX runtimes found only as Wine's are
// missing with where the real file comes from, and what they import is not judged; an entry
// only Wine's copy of a DLL of Windows lacks is not verified and not counted, and a DLL that
// imports it loads; --ship-from
// comes first for a DLL to ship (a file of another machine there is passed over and named);
// --ship=all takes an application-folder DLL that shadows one of Windows; --ship says what
// cannot ship and fails.
TEST(PeReport, WinesOwnFilesNeverShip) {
    FOLDER f;
    const std::string D = f.dir;
    std::vector<TOOL_FILE> files = {
        {"app.exe", dll64({}, {{"kernel32.dll", {pe_name("Sleep")}}, {"wlanapi.dll", {pe_name("WFDCloseSession")}},
                               {"vcruntime140.dll", {pe_name("v")}}, {"d3dx9_43.dll", {pe_name("d")}},
                               {"zlib1.dll", {pe_name("z")}}, {"DirectML.dll", {pe_name("m")}},
                               {"mylib.dll", {pe_name("l")}}, {"gone.dll", {}}})},
        {"DirectML.dll", dll64({"m"}, {{"wlanapi.dll", {pe_name("WFDCloseSession")}}})},
        {"sys/kernel32.dll", wine64({"Sleep"})},
        {"sys/wlanapi.dll", wine64({"WlanOpenHandle"})},
        {"sys/vcruntime140.dll", wine64({"v"})},
        {"sys/d3dx9_43.dll", wine64({"d"}, {{"wined3d.dll", {}}})},
        {"sys/wined3d.dll", wine64({})},
        {"sys/zlib1.dll", wine64({"z"})},
        {"ship/zlib1.dll", dll64({"z"})},
        {"ship/mylib.dll", dll({"l"})},
        {"p/mylib.dll", dll64({"l"})},
    };
    const RUN_OPTIONS env = search_env(D + "/sys", D + "/p");
    const std::string passed = "QUERNIX:  Passed over '" + D + "/ship/mylib.dll' (--ship-from): an image for x86, not x64\n";
    const std::string cannot =
        "vcruntime140.dll: not part of Windows 10 (x64) but of the Visual C++ Redistributable, only Wine's own copy was "
        "found here, needed by app.exe\n"
        "d3dx9_43.dll: not part of Windows 10 (x64) but of the DirectX End-User Runtime, only Wine's own copy was found "
        "here, needed by app.exe\n"
        "gone.dll: not loaded (126), needed by app.exe\n";
    TOOL_RUN r = f.run({"--windows=10", "-e", "--ship-from=ship", "app.exe"}, files, env);
    EXPECT_EQ(r.out.substr(r.out.find("\nMissing: ")),
              "\nMissing: 3\n" + cannot +
                  "\nNot verified: 1\nwlanapi.dll: entry 'WFDCloseSession' is not in Wine's copy (127), Windows' own "
                  "copy could not be checked here, needed by app.exe, and by app.exe > DirectML.dll\n");
    EXPECT_EQ(r.err, passed);
    EXPECT_EQ(r.exit_code, 10);
    for (const char* ship : {"--ship", "--ship=all"}) {
        SCOPED_TRACE(ship);
        r = f.run({"--windows=10", ship, "--ship-from=ship", "app.exe"}, {}, env);
        EXPECT_EQ(r.out, D + "/ship/zlib1.dll\n" + (ship[6] ? D + "/DirectML.dll\n" : "") + D + "/p/mylib.dll\n");
        EXPECT_EQ(r.err, passed + cannot);
        EXPECT_EQ(r.exit_code, 10);
    }
    // -j marks the entry and the files.
    r = f.run({"--windows=10", "-j", "app.exe"}, {}, env);
    for (const char* part : {"\"found\": true, \"unverified\": true}", "\"origin\": \"system\", \"part_of_windows\": false, "
                             "\"wine_builtin\": true", "\"source\": \"directx\", \"shippable\": false, \"wine_builtin\": true"}) {
        SCOPED_TRACE(part);
        EXPECT_NE(r.out.find(part), std::string::npos) << r.out;
    }
}

// API sets by the target Windows, with Wine's schema here: a contract 7 lacks is missing though
// the schema resolves it (or when nothing does), 8 has it; the UCRT comes to 7 with an update, and its forwarders and
// ucrtbase.dll found in a --ship-from folder are deployed so that the first closing check
// passes: Wine's kernel32.dll importing ucrtbase.dll no longer makes it a known DLL on 7.
TEST(PeReport, ApiSetsAndTheUcrtByTheTargetWindows) {
    FOLDER f;
    const std::string D = f.dir, F = "64-bit NT 'PE' Module\n";
    APISET_DESC schema;
    schema.entries = {{"api-ms-win-core-synch-l1-2-0", {{"", "kernelbase.dll"}}},
                      {"api-ms-win-crt-runtime-l1-1-0", {{"", "ucrtbase.dll"}}}};
    PE_DESC forwarder;
    forwarder.exports = {PE_EXPORT{1, "_initterm", "ucrtbase._initterm", 0}};
    forwarder.export_dir = true;
    write_files(D, {{"sys/apisetschema.dll", write_apiset_dll(write_apiset(schema))},
                    {"sys/kernelbase.dll", wine64({"WaitOnAddress"})},
                    {"sys/ucrtbase.dll", wine64({"_initterm"})},
                    {"sys/kernel32.dll", wine64({"Sleep"}, {{"ucrtbase.dll", {pe_name("_initterm")}}})},
                    {"ucrt/ucrtbase.dll", dll64({"_initterm"})},
                    {"ucrt/api-ms-win-crt-runtime-l1-1-0.dll", write_pe(pe_wide(forwarder))}});
    const PE_IMPORT synch{"api-ms-win-core-synch-l1-2-0.dll", {pe_name("WaitOnAddress")}};
    const PE_IMPORT crt{"api-ms-win-crt-runtime-l1-1-0.dll", {pe_name("_initterm")}};
    const std::string ucrt7 = "not part of Windows 7 SP1 (x64) but of the Universal C Runtime update (KB2999226)";
    const struct {
        const char* version;
        PE_IMPORT import;
        std::string missing;   // the -e summary
    } cases[] = {
        {"7", synch, "\nMissing: 1\napi-ms-win-core-synch-l1-2-0.dll: API set not part of Windows 7 SP1 (x64), needed by app.exe\n"},
        {"8", synch, ""},
        {"7", {"api-ms-win-core-none-l9-9-0.dll", {pe_name("f")}},   // no schema holds it, nor any file
         "\nMissing: 1\napi-ms-win-core-none-l9-9-0.dll: API set not part of Windows 7 SP1 (x64), needed by app.exe\n"},
        {"7", crt, "\nMissing: 2\napi-ms-win-crt-runtime-l1-1-0.dll: " + ucrt7 + ", no file of it was found here, needed "
                   "by app.exe\nucrtbase.dll: " + ucrt7 + ", only Wine's own copy was found here, needed by app.exe\n"},
        {"10", crt, ""},
    };
    const RUN_OPTIONS env = search_env(D + "/sys");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.version) + " " + c.import.dll);
        TOOL_RUN r = f.run({std::string("--windows=") + c.version, "-e", "-q", "app.exe"},
                           {{"app.exe", dll64({}, {c.import, {"kernel32.dll", {pe_name("Sleep")}}})}}, env);
        size_t at = r.out.find("\nMissing: ");
        EXPECT_EQ(at == std::string::npos ? "" : r.out.substr(at), c.missing);
        EXPECT_EQ(r.exit_code, c.missing.empty() ? 0 : 10);
    }
    TOOL_RUN r = f.run({"--windows=7", "--ship-from=ucrt", "--deploy=.", "-q", "app.exe"}, {}, env);
    EXPECT_EQ(r.out, "Copied '" + D + "/ucrt/api-ms-win-crt-runtime-l1-1-0.dll' to './api-ms-win-crt-runtime-l1-1-0.dll'.\n"
                     "Copied '" + D + "/ucrt/ucrtbase.dll' to './ucrtbase.dll'.\n" + F + "2 imported module(s) found.\n  " +
                     F + "  0 imported module(s) found.\n  " + F + "  1 imported module(s) found.\n    " + F +
                     "    0 imported module(s) found.\n"
                     "\nThe following 3 DLLs are needed to load app.exe:\n" + D + "/api-ms-win-crt-runtime-l1-1-0.dll\n" +
                     D + "/sys/kernel32.dll\n" + D + "/ucrtbase.dll\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
}

// A DLL or API set of the target Windows that is absent stands in as part of it; one that the
// version's list for the module's machine lacks does not load. Each machine has its own list.
TEST(PeReport, PartOfWindowsByVersionAndMachine) {
    const struct {
        uint16_t machine;
        const char* version;
        const char* name;
        const char* windows;   // null: not part of it
    } cases[] = {
        {0x8664, "10", "ucrtbase.dll", "Windows 10 (x64)"},
        {0x8664, "11", "UCRTBASE", "Windows 11 (x64)"},
        {0x8664, "7", "ucrtbase.dll", nullptr},
        {0x014C, "8.1", "ucrtbase.dll", nullptr},
        {0x014C, "10", "appventsubsystems32.dll", "Windows 10 (x86 on x64)"},
        {0x8664, "10", "appventsubsystems32.dll", nullptr},
        {0xAA64, "11", "xtajit.dll", "Windows 11 (ARM64)"},
        {0x8664, "11", "xtajit.dll", nullptr},
        {0xAA64, "8", "kernel32.dll", nullptr},
        {0x8664, "10", "sub/d3d12.dll", nullptr},   // a name with a folder part names that file only
        // API sets without a schema here: every contract is part of 10 and 11, on 7 to 8.1 the
        // version's list decides.
        {0xAA64, "10", "api-ms-win-crt-runtime-l1-1-0.dll", "Windows 10 (ARM64)"},
        {0x8664, "11", "ext-ms-win-none-such-l1-1-0", "Windows 11 (x64)"},
        {0x8664, "7", "api-ms-win-core-synch-l1-1-0.dll", "Windows 7 SP1 (x64)"},
        {0x8664, "7", "api-ms-win-core-synch-l1-2-0.dll", nullptr},
        {0x014C, "8", "API-MS-WIN-CORE-SYNCH-L1-2-0.DLL", "Windows 8 (x86 on x64)"},
        {0xAA64, "8.1", "api-ms-win-core-synch-l1-1-0.dll", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.machine << " " << c.version << " " << c.name);
        PE_DESC d;
        d.imports = {{c.name, {pe_name("f")}}};
        if (c.machine != 0x014C) d = pe_wide(d);
        d.machine = c.machine;
        TOOL_RUN r = run_talvek({std::string("--windows=") + c.version, "app.exe"}, {{"app.exe", write_pe(d)}});
        const std::string head = std::string(c.machine == 0x014C ? "32" : "64") + "-bit NT 'PE' Module\n"
                                 "1 imported module(s) found.\nLoading '" + c.name + "' ";
        EXPECT_EQ(r.out, c.windows ? head + "--> part of " + c.windows + ", not found here.\n"
                                     "All DLLs used by 'app.exe' could be loaded.\n"
                                   : head + "--> NOT loaded!\nUnable to load DLL '" + c.name + "'.  LoadLibrary returned: 126\n");
        EXPECT_EQ(r.exit_code, 0);
    }
}

// --deploy copies what --ship lists into the folder, then checks the module again from
// scratch. A file in the way is replaced only with --force (here a DLL of another machine,
// which the search passes over); an identical one is left alone; a copy that fails leaves no
// file behind and ends the run before the check.
TEST(PeReport, DeployCopiesTheDllsToShipThenChecksAgain) {
    FOLDER f;
    const std::string D = f.dir, S = D + "/sys", F = "64-bit NT 'PE' Module\n";
    const BYTES x86 = dll({"z"}), zlib = dll64({"z"});
    std::vector<TOOL_FILE> files = {
        {"app.exe", dll64({}, {{"vcruntime140.dll", {pe_name("v")}}, {"zlib1.dll", {pe_name("z")}}, {"kernel32.dll", {}}})},
        {"zlib1.dll", x86},
        {"sys/vcruntime140.dll", dll64({"v"})},
        {"sys/zlib1.dll", zlib},
        {"sub/zlib1.dll/", {}},
    };
    const RUN_OPTIONS env = search_env(S);
    const std::string after = F + "3 imported module(s) found.\n  " + F + "  0 imported module(s) found.\n  " + F +
                              "  0 imported module(s) found.\n\nThe following 2 DLLs are needed to load app.exe:\n" + D +
                              "/vcruntime140.dll\n" + D + "/zlib1.dll\n";
    const std::string in_the_way = "QUERNIX:  Unable to copy '" + S + "/zlib1.dll' to 'sub/zlib1.dll' (sub/zlib1.dll: Is a directory)\n";
    EXPECT_EQ(f.run({"--windows=10", "-e", "app.exe"}, files, env).exit_code, 10);
    struct {
        std::vector<std::string> args;
        std::string out, err;
        int exit_code;
        const BYTES* zlib;   // what ./zlib1.dll holds afterwards
    } steps[] = {
        {{"--force", "--deploy=sub"}, "Copied '" + S + "/vcruntime140.dll' to 'sub/vcruntime140.dll'.\n", in_the_way, 11, &x86},
        {{"--deploy=sub"}, "Left 'sub/vcruntime140.dll' alone: the same as '" + S + "/vcruntime140.dll'.\n", in_the_way, 11, &x86},
        {{"--deploy=."}, "Copied '" + S + "/vcruntime140.dll' to './vcruntime140.dll'.\n",
         "QUERNIX:  './zlib1.dll' differs from '" + S + "/zlib1.dll' and is not replaced (--force replaces it)\n", 11, &x86},
        {{"--deploy=.", "--force"}, "Replaced './zlib1.dll' with '" + S + "/zlib1.dll'.\n" + after, "", 0, &zlib},
        {{"--deploy=."}, after, "", 0, &zlib},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(testing::PrintToString(step.args));
        std::vector<std::string> args = {"--windows=10", "-q"};
        args.insert(args.end(), step.args.begin(), step.args.end());
        args.push_back("app.exe");
        TOOL_RUN r = f.run(args, {}, env);
        EXPECT_EQ(r.out, step.out);
        EXPECT_EQ(r.err, step.err);
        EXPECT_EQ(r.exit_code, step.exit_code);
        EXPECT_EQ(read_bytes(D + "/zlib1.dll"), *step.zlib);
    }
    // The failed copies left nothing beside the folder in their way.
    EXPECT_EQ(dir_entries(D + "/sub"), (std::vector<std::string>{"vcruntime140.dll", "zlib1.dll"}));
}

// -m --deploy into a new bundle folder: the closing check checks each module named as if it
// lay there, so what the modules' own folders hold but the bundle does not is missing, until
// --ship=all gathers the whole program, the modules too.
TEST(PeReport, DeployIntoANewBundleFolder) {
    FOLDER f;
    const std::string D = f.dir;
    write_files(D, {{"build/a.exe", dll64({}, {{"zlib1.dll", {pe_name("z")}}, {"kernel32.dll", {}}})},
                    {"build/sub/b.exe", dll64({}, {{"zlib1.dll", {pe_name("z")}}, {"mine.dll", {pe_name("m")}}})},
                    {"build/sub/mine.dll", dll64({"m"})},
                    {"sys/zlib1.dll", dll64({"z"})},
                    {"bundle/", {}}});
    const RUN_OPTIONS env = search_env(D + "/sys");
    TOOL_RUN r = f.run({"-m", "--windows=10", "-e", "--deploy=bundle", "build"}, {}, env);
    EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), "Copied '" + D + "/sys/zlib1.dll' to 'bundle/zlib1.dll'.\n");
    EXPECT_EQ(r.out.substr(r.out.find("\nMissing: ")), "\nMissing: 1\nmine.dll: not loaded (126), needed by sub/b.exe\n");
    EXPECT_EQ(r.exit_code, 10);
    r = f.run({"-m", "--windows=10", "-q", "--ship=all", "--deploy=bundle", "build"}, {}, env);
    EXPECT_EQ(r.out.substr(0, r.out.find("64-bit")),
              "Copied 'build/a.exe' to 'bundle/a.exe'.\nCopied 'build/sub/b.exe' to 'bundle/b.exe'.\n"
              "Copied 'build/sub/mine.dll' to 'bundle/mine.dll'.\n"
              "Left 'bundle/zlib1.dll' alone: the same as '" + D + "/sys/zlib1.dll'.\n==> build/a.exe <==\n");
    EXPECT_EQ(r.out.substr(r.out.find("\nThe following")),
              "\nThe following 2 DLLs are needed to load build:\n" + D + "/bundle/zlib1.dll\n" + D + "/bundle/mine.dll\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(dir_entries(D + "/bundle"), (std::vector<std::string>{"a.exe", "b.exe", "mine.dll", "zlib1.dll"}));
}

// A Python extension module needs python312.dll, which python.exe loads for itself, and
// libfoo.dll of its ".libs" folder, which the safe search finds only with --dll-dir; -e says
// where it lies that the search leaves out, and what the host loads is not shipped. A Node addon
// delay-loads node.exe: the program that loads it, or with --host that program, its entries
// checked; the altered search finds the addon's DLL beside it, and -m loads each addon into a
// fresh process. A program's import of a program stays a missing DLL.
TEST(PePlugin, PythonModulesAndNodeAddons) {
    FOLDER f;
    const std::string D = f.dir, H = "--host=" + D + "/py/python.exe", M = D + "/site/pkg/mod.pyd", L = D + "/site/pkg.libs";
    PE_DESC addon;
    addon.imports = {{"uv.dll", {pe_name("uv_run")}}};
    addon.delay_imports = {{"Node.exe", {pe_name("napi_create_object"), pe_name("napi_gone")}}};
    write_files(D, {{"py/python.exe", export_dll({}, {{"python312.dll", {pe_name("Py_Initialize")}}}, false, true)},
                    {"py/python312.dll", dll({"Py_Initialize", "PyArg_Parse"})},
                    {"py/broken.exe", export_dll({}, {{"gone.dll", {}}, {"python312.dll", {}}}, false, true)},
                    {"py/text.exe", BYTES(200, 'x')},
                    {"py64/python.exe", export_dll({}, {}, true, true)},
                    {"site/pkg/mod.pyd", dll({}, {{"python312.dll", {pe_name("PyArg_Parse")}}, {"libfoo.dll", {pe_name("foo")}}})},
                    {"site/pkg.libs/libfoo.dll", dll({"foo"})},
                    {"node/node.exe", export_dll({"napi_create_object"}, {}, false, true)},
                    {"a/watcher.node", write_pe(addon)},
                    {"a/uv.dll", dll({"uv_run"})},
                    {"b/other.node", dll({}, {{"uv.dll", {pe_name("uv_run")}}})},
                    {"b/uv.dll", dll({"uv_run"})},
                    {"app.exe", export_dll({}, {{"node.exe", {}}}, false, true)}});
    const std::string head = "32-bit NT 'PE' Module\n2 imported module(s) found.\nLoading 'python312.dll' --> " + D +
                             "/py/python312.dll.\nLoading 'libfoo.dll' --> ";
    const std::string failed = head + "NOT loaded!\nUnable to load DLL 'libfoo.dll'.  LoadLibrary returned: 126\n\n"
                                      "Missing: 1\nlibfoo.dll: not loaded (126)";
    const std::string unused = ", which this host's search does not use (--dll-dir=DIR adds a folder), needed by " + M + "\n";
    const std::string passed = head + L + "/libfoo.dll.\nAll DLLs used by '" + M + "' could be loaded.\n";
    const std::string safe = "--search=safe", dd = "--dll-dir=" + L, host = "QUERNIX:  --host: '" + D, N = "--host=node/node.exe";
    const std::string F = "32-bit NT 'PE' Module\n1 imported module(s) found.\nLoading '";
    const std::string delay = "1 delay-loaded module(s) found.\nLoading 'Node.exe' --> ";
    const struct {
        std::vector<std::string> args;
        std::string path, workdir, out, err;
        int exit_code;
    } cases[] = {
        {{H, safe, "-e", M}, "", "", failed + ", needed by " + M + "\n", "", 10},
        {{H, safe, "-e", M}, L, "", failed + ", found only on PATH" + unused, "", 10},
        {{H, safe, "-e", M}, "", "site/pkg.libs", failed + ", found only in the current folder" + unused, "", 10},
        {{H, safe, "--dll-dir=" + D + "/none", dd, "-e", M}, "", "", passed,
         "QUERNIX:  --dll-dir: no folder '" + D + "/none'; skipped, as AddDllDirectory refuses it\n", 0},
        {{H, safe, dd, "--windows=10", "--ship", M}, "", "", L + "/libfoo.dll\n", "", 0},
        {{"--host=" + D + "/py/broken.exe", safe, dd, M}, "", "", passed,
         "QUERNIX:  --host: 'gone.dll', which the host imports, does not load (126)\n", 0},
        {{"--host=" + D + "/py/python312.dll", M}, "", "", "", host + "/py/python312.dll' is a DLL, not a program\n", 1},
        {{"--host=" + D + "/py/text.exe", M}, "", "", "", host + "/py/text.exe' is no PE module\n", 1},
        {{"--host=" + D + "/py64/python.exe", M}, "", "", "",
         host + "/py64/python.exe' is a program for x64, '" + M + "' a module for x86\n", 1},
        {{"-d", "-e", "a/watcher.node"}, "", "",
         F + "uv.dll' --> " + D + "/a/uv.dll.\n" + delay +
             "the program that loads this module (name it with --host=FILE to check its entries).\n"
             "All DLLs used by 'a/watcher.node' could be loaded.\n",
         "", 0},
        {{N, "-d", "-e", "a/watcher.node"}, "", "",
         F + "uv.dll' --> NOT loaded!\nUnable to load DLL 'uv.dll'.  LoadLibrary returned: 126\n" + delay + D +
             "/node/node.exe.\nUnable to load procedure from Node.exe (file: " + D + "/node/node.exe)\n"
             "Entry 'napi_gone' could not be resolved.\nDosQueryProcAddr returned: 127\n\nMissing: 2\n"
             "uv.dll: not loaded (126), needed by a/watcher.node\n"
             "Node.exe: entry 'napi_gone' not resolved (127), needed by a/watcher.node\n",
         "", 10},
        {{"-m", N, "--search=altered", "a/watcher.node", "b/other.node"}, "", "",
         "==> a/watcher.node <==\n" + F + "uv.dll' --> " + D + "/a/uv.dll.\nAll DLLs used by 'a/watcher.node' could be loaded.\n\n==> b/other.node <==\n" +
             F + "uv.dll' --> " + D + "/b/uv.dll.\nAll DLLs used by 'b/other.node' could be loaded.\n",
         "", 0},
        {{"-e", "app.exe"}, "", "",
         F + "node.exe' --> NOT loaded!\nUnable to load DLL 'node.exe'.  LoadLibrary returned: 126\n\nMissing: 1\n"
             "node.exe: not loaded (126), needed by app.exe\n",
         "", 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args) + " PATH=" + c.path + " in " + c.workdir);
        RUN_OPTIONS opt = search_env("", c.path);
        opt.workdir = c.workdir;
        TOOL_RUN r = f.run(c.args, {}, opt);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exit_code, c.exit_code);
    }
    TOOL_RUN r = f.run({"-j", safe, H, M}, {}, search_env("", L));
    EXPECT_NE(r.out.find("\"found_outside_search\": {\"place\": \"PATH\", \"file\": \"" + L + "/libfoo.dll\"}}"),
              std::string::npos) << r.out;
    r = f.run({"-g", "-d", "a/watcher.node"});
    EXPECT_NE(r.out.find("n0 [label=\"Node.exe\\nthe program that loads the module\", style=rounded];"), std::string::npos) << r.out;
    // --deploy checks twice; the host's failing import is said once.
    r = f.run({"--host=" + D + "/py/broken.exe", safe, dd, "--windows=10", "--deploy=" + D + "/site/pkg", M});
    EXPECT_EQ(r.err, "QUERNIX:  --host: 'gone.dll', which the host imports, does not load (126)\n");
    EXPECT_EQ(r.out.rfind("Copied '" + L + "/libfoo.dll' to '" + D + "/site/pkg/libfoo.dll'.\n", 0), 0u) << r.out;
}

}  // namespace

// What really is missing behind a DLL that does not load: -e names the leaf with every chain
// to it, -g draws it with an edge from the DLL that needs it, -j carries the loader's steps,
// -x checks the DLL that was found but did not load; the plain text stays as it was.
TEST(PeReport, TheCauseOfEveryFailure) {
    PE_DESC x64 = pe_wide(PE_DESC{});
    x64.exports = {PE_EXPORT{1, "f", "", 0}};
    x64.export_dir = true;
    struct {
        const char* name;
        std::vector<TOOL_FILE> files;
        std::string summary;     // the -e lines after "Missing: N"
        std::string edge;        // a line of the -g document
        std::string xtree;       // with -x: the lines after the first failure's own two lines
    } cases[] = {
        {"missing dependency of a dependency",
         {{"app.exe", app({{"mid.dll", {pe_name("m")}}})},
          {"mid.dll", dll({"m"}, {{"dep.dll", {pe_name("d")}}})}},
         "Missing: 1\ndep.dll: not loaded (126), needed by app.exe > mid.dll\n",
         "  n0 -> n1 [color=red, fontcolor=red];\n",
         "  32-bit NT 'PE' Module\n  1 imported module(s) found.\n"
         "  Loading 'dep.dll' --> NOT loaded!\n  Unable to load DLL 'dep.dll'.  LoadLibrary returned: 126\n"},
        {"dependency of another machine",
         {{"app.exe", app({{"mid.dll", {pe_name("m")}}})},
          {"mid.dll", dll({"m"}, {{"dep.dll", {pe_name("f")}}})},
          {"dep.dll", write_pe(x64)}},
         "Missing: 1\ndep.dll: not loaded (193): only an x64 image was found (dep.dll); the process is x86, needed by "
         "app.exe > mid.dll\n",
         "  n0 -> n1 [color=red, fontcolor=red];\n", ""},
        {"entry missing two levels down",
         {{"app.exe", app({{"a.dll", {pe_name("fa")}}})},
          {"a.dll", dll({"fa"}, {{"b.dll", {pe_name("fb")}}})},
          {"b.dll", dll({"fb"}, {{"c.dll", {pe_name("gone")}}})},
          {"c.dll", dll({"fc"})}},
         "Missing: 1\nc.dll: entry 'gone' not resolved (127), needed by app.exe > a.dll > b.dll\n",
         "  n1 -> n2 [label=\"'gone' not resolved\", color=red, fontcolor=red];\n",
         "  32-bit NT 'PE' Module\n  1 imported module(s) found.\n"
         "  Loading 'b.dll' --> NOT loaded!\n  Unable to load DLL 'b.dll'.  LoadLibrary returned: 127\n"
         "    32-bit NT 'PE' Module\n    1 imported module(s) found.\n"
         "    Loading 'c.dll' --> %D%/c.dll.\n"
         "    Unable to load procedure from c.dll (file: %D%/c.dll)\n"
         "    Entry 'gone' could not be resolved.\n    DosQueryProcAddr returned: 127\n"
         "      32-bit NT 'PE' Module\n      0 imported module(s) found.\n"
         "      All DLLs used by '%D%/c.dll' could be loaded.\n"},
        {"the same leaf reached twice",
         {{"app.exe", app({{"m1.dll", {pe_name("m")}}, {"m2.dll", {pe_name("m")}}})},
          {"m1.dll", dll({"m"}, {{"dep.dll", {pe_name("d")}}})},
          {"m2.dll", dll({"m"}, {{"DEP.DLL", {pe_name("d")}}})}},
         "Missing: 1\ndep.dll: not loaded (126), needed by app.exe > m1.dll, and by app.exe > m2.dll\n",
         "  n1 -> n3 [color=red, fontcolor=red];\n", ""},
        {"one file named two ways",
         {{"app.exe", app({{"ALPHA77", {pe_name("a")}}, {"ALPHA77.dll", {pe_name("a")}}, {"alpha77.DLL", {}}})}},
         "Missing: 1\nALPHA77: not loaded (126), needed by app.exe\n",
         "  m0 -> n1 [label=\"1\", color=red, fontcolor=red];\n", ""},
        {"a cycle",
         {{"app.exe", app({{"a.dll", {pe_name("fa")}}})},
          {"a.dll", dll({"fa"}, {{"b.dll", {pe_name("fb")}}})},
          {"b.dll", dll({"fb"}, {{"a.dll", {pe_name("fa")}}, {"gone.dll", {pe_name("g")}}})}},
         "Missing: 1\ngone.dll: not loaded (126), needed by app.exe > a.dll > b.dll\n",
         "  n1 -> n2 [color=red, fontcolor=red];\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FOLDER f;
        const std::string D = f.dir;
        TOOL_RUN plain = f.run({"-!", "app.exe"}, c.files);
        TOOL_RUN e = f.run({"-!", "-e", "app.exe"}, {});
        EXPECT_EQ(e.out, plain.out + "\n" + c.summary);
        EXPECT_EQ(e.exit_code, 10);
        TOOL_RUN g = f.run({"-g", "app.exe"}, {});
        EXPECT_NE(g.out.find(c.edge), std::string::npos) << g.out;
        TOOL_RUN j = f.run({"-j", "-e", "app.exe"}, {});
        EXPECT_NE(j.out.find("\"format_version\": 4"), std::string::npos);
        EXPECT_NE(j.out.find("\"cause\": {\"steps\": [{\"importer\": null, \"dll\": \""), std::string::npos) << j.out;
        if (*c.xtree.c_str() == 0) continue;
        // Without -x the failed DLL's own lines are all the text says of it.
        size_t cut = plain.out.find("LoadLibrary returned");
        ASSERT_NE(cut, std::string::npos);
        cut = plain.out.find('\n', cut) + 1;
        std::string xtree = c.xtree;
        for (size_t at; (at = xtree.find("%D%")) != std::string::npos;) xtree.replace(at, 3, D);
        TOOL_RUN x = f.run({"-x", "app.exe"}, {});
        EXPECT_EQ(x.out, plain.out.substr(0, cut) + xtree + plain.out.substr(cut));
    }
}

// A module named that the loader would refuse as a DLL: under -e, -j and -x the loader's reason
// and place make it a failure; the classic report reads it as before. A DLL that -x checks
// after its 193 gets no closing line, and is counted once, where its load failed.
TEST(PeReport, NamedModuleTheLoaderWouldRefuse) {
    PE_LAYOUT l;
    BYTES whole = write_pe(PE_DESC{}, &l);
    PE_DESC magic;
    magic.machine = 0x8664;   // x64 with the PE32 magic: passed over as a DLL, so -x has no file
    const std::string head = "32-bit NT 'PE' Module\n0 imported module(s) found.\n";
    struct {
        BYTES image;
        std::string reason;
        bool fFollowed;   // -x checks it after its 193
    } cases[] = {
        {BYTES(whole.begin(), whole.begin() + long(l.sect_ofs) + 20), "the section table runs past the end of the file, at 0x138", true},
        {write_pe(magic), "the optional header's magic 0x10b is not that of its machine 0x8664, at 0x58", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        FOLDER f;
        TOOL_RUN plain = f.run({"x.dll"}, {{"x.dll", c.image}, {"app.exe", app({{"x.dll", {}}})}});
        EXPECT_EQ(plain.out + plain.err, head + "All DLLs used by 'x.dll' could be loaded.\n");
        TOOL_RUN e = f.run({"-e", "x.dll"});
        EXPECT_EQ(e.out, head + "\nMissing: 1\nx.dll: not a loadable image (" + c.reason + ")\n");
        EXPECT_EQ(e.err, "Not a loadable image (" + c.reason + ")\n");
        EXPECT_EQ(e.exit_code, 10);
        // --deploy says it as what keeps the program from shipping, then once as the check does.
        EXPECT_EQ(f.run({"--windows=10", "--deploy=.", "x.dll"}).err, "x.dll: not a loadable image (" + c.reason + ")\n" + e.err);
        TOOL_RUN j = f.run({"-j", "x.dll"});
        EXPECT_NE(j.out.find("\"error\": \"Not a loadable image (" + c.reason + ")\", \"reached_from\": null, "), std::string::npos);
        EXPECT_NE(j.out.find("\"cause\": {\"steps\": [{\"importer\": null, \"dll\": \"x.dll\", \"file\": \"x.dll\", \"error\": 193}]"),
                  std::string::npos);
        EXPECT_EQ(f.run({"-x", "x.dll"}).out, head);
        if (!c.fFollowed) continue;
        TOOL_RUN x = f.run({"-x", "-e", "app.exe"});
        EXPECT_EQ(x.out, "32-bit NT 'PE' Module\n1 imported module(s) found.\nLoading 'x.dll' --> NOT loaded!\n"
                         "Unable to load DLL 'x.dll'.  LoadLibrary returned: 193\n  32-bit NT 'PE' Module\n  0 imported module(s) found.\n"
                         "\nMissing: 1\nx.dll: not loaded (193), needed by app.exe\n");
        EXPECT_EQ(x.err, "  Not a loadable image (" + c.reason + ")\n");
    }
}

// C++ entry names: an Itanium name is shown demangled beside the raw one in -e, -x and -j; an
// MSVC name stays raw, as does one whose references could make a gigabyte of text (each level
// a pair of the one before). The classic lines keep the raw name.
TEST(PeReport, CppEntryNamesDemangled) {
    std::string bomb = "_Z1fISt4pairIiiE";
    for (int k = 1; k < 25; k++) bomb += "S0_IS" + std::to_string(k) + "_S" + std::to_string(k) + "_E";
    bomb += "EvT_";
    const std::string itanium = "_Z13mylib_threadsi", msvc = "?mylib_threads@@YAXH@Z", tail = " not resolved (127), needed by app.exe\n";
    FOLDER f;
    TOOL_RUN e = f.run({"-e", "app.exe"}, {{"app.exe", app({{"lib.dll", {pe_name(itanium), pe_name(msvc), pe_name(bomb)}}})},
                                          {"lib.dll", dll({"other"})}});
    EXPECT_NE(e.out.find("Entry '" + itanium + "' could not be resolved.\n"), std::string::npos) << e.out;
    EXPECT_NE(e.out.find("\nMissing: 3\nlib.dll: entry '" + bomb + "'" + tail + "lib.dll: entry '" + msvc + "'" + tail +
                         "lib.dll: entry 'mylib_threads(int)' [" + itanium + "]" + tail),
              std::string::npos)
        << e.out;
    TOOL_RUN x = f.run({"-x", "app.exe"});
    EXPECT_NE(x.out.find("Entry 'mylib_threads(int)' [" + itanium + "] could not be resolved.\n"), std::string::npos) << x.out;
    EXPECT_NE(x.out.find("Entry '" + msvc + "' could not be resolved.\n"), std::string::npos) << x.out;
    TOOL_RUN j = f.run({"-j", "app.exe"});
    EXPECT_NE(j.out.find("\"entry\": {\"name\": \"" + itanium + "\", \"demangled\": \"mylib_threads(int)\"}"), std::string::npos);
    EXPECT_EQ(j.out.find("std::pair"), std::string::npos);
}

// A program in a folder whose path is longer than Windows' 260-character buffer: every path
// is whole, in the report, the final list and the summary.
TEST(PeReport, PathsLongerThanAWindowsBufferStayWhole) {
    FOLDER f;
    const std::string sub = std::string(150, 'c') + "/" + std::string(150, 'c'), D = f.dir + "/" + sub;
    TOOL_RUN r = f.run({"-l", "-e", sub + "/app.exe"}, {{sub + "/app.exe", app({{"a.dll", {pe_name("fa")}}})},
                                                     {sub + "/a.dll", dll({"fa"})}});
    EXPECT_EQ(r.out + r.err, "32-bit NT 'PE' Module\n1 imported module(s) found.\nLoading 'a.dll' --> " + D + "/a.dll.\n"
                             "  32-bit NT 'PE' Module\n  0 imported module(s) found.\n  All DLLs used by '" + D + "/a.dll' could be loaded.\n"
                             "All DLLs used by '" + sub + "/app.exe' could be loaded.\n"
                             "\nThe following 1 DLL is needed to load " + sub + "/app.exe:\n" + D + "/a.dll\n");
}

// A DLL reached by recursion whose headers end the run: its error and the exit code are in
// the -j document and in the -e summary, as for any other end.
TEST(PeReport, FormatErrorOfADllIsInTheDocumentAndTheSummary) {
    FOLDER f;
    PE_DESC bad;
    bad.opt_size = 240;   // a PE32 magic with the PE32+ header size: the loader takes it, the report does not
    std::vector<TOOL_FILE> files = {{"app.exe", app({{"bad.dll", {}}})}, {"bad.dll", write_pe(bad)}};
    TOOL_RUN e = f.run({"-!", "-e", "app.exe"}, files);
    EXPECT_EQ(e.out, "32-bit NT 'PE' Module\n1 imported module(s) found.\nLoading 'bad.dll' --> " + f.dir +
                         "/bad.dll.\n  32-bit NT 'PE' Module\n\nMissing: 1\nbad.dll: check failed (8), needed by app.exe\n");
    EXPECT_EQ(e.exit_code, 8);
    TOOL_RUN j = f.run({"-!", "-j", "app.exe"}, {});
    EXPECT_NE(j.out.find("\"format\": \"PE32\", \"level\": 2, \"opened\": true, \"result\": 8, "
                         "\"error\": \"File error - format is incorrect\""),
              std::string::npos)
        << j.out;
    EXPECT_NE(j.out.find("\"exit_code\": 8,"), std::string::npos);
    EXPECT_EQ(j.exit_code, 8);
}

// Names from module files reach a terminal with their control bytes and backslashes shown as
// text, so an escape sequence in a name cannot rewrite it; a pipe or file gets every byte.
TEST(PeReport, ControlBytesOfNamesOnATerminal) {
    const std::string dll = "e\x1b]0;x\x07.dll", entry = "f\\g\x7f";
    std::vector<TOOL_FILE> files = {{"app.exe", app({{dll, {pe_name(entry)}}})}};
    const std::string report = "32-bit NT 'PE' Module\n1 imported module(s) found.\nLoading '%D' --> NOT loaded!\n"
                               "Unable to load DLL '%D'.  LoadLibrary returned: 126\n\nMissing: 1\n"
                               "%D: not loaded (126), needed by app.exe\n";
    for (bool fTerminal : {false, true}) {
        SCOPED_TRACE(fTerminal ? "terminal" : "pipe");
        RUN_OPTIONS opt;
        opt.terminal = fTerminal;
        TOOL_RUN r = run_talvek({"-e", "app.exe"}, files, opt);
        std::string want = report;
        const std::string shown = fTerminal ? "e\\x1B]0;x\\x07.dll" : dll;
        for (size_t at; (at = want.find("%D")) != std::string::npos;) want.replace(at, 2, shown);
        EXPECT_EQ(r.out, want);
        EXPECT_EQ(r.exit_code, 10);
    }
    // Entry names and backslashes alike, in the -v listing of a DLL that loads.
    files.push_back({dll, ::dll({entry})});
    RUN_OPTIONS opt;
    opt.terminal = true;
    TOOL_RUN r = run_talvek({"-v", "app.exe"}, files, opt);
    EXPECT_NE(r.out.find("\n  f\\\\g\\x7F\n"), std::string::npos) << r.out;
}
