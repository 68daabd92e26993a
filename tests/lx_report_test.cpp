// The per-DLL report of LX modules: entry lines, -v and -q, names of every shape, and the
// recursion into DLL files with the final list.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "driver/run.h"
#include "support/lx_writer.h"
#include "support/tool_runner.h"

using namespace talvek;

namespace {

const std::string kFormatLine = "32-bit KAVRI 'LX' Module\n";

RUN_OPTIONS combined() {
    RUN_OPTIONS o;
    o.combined = true;
    return o;
}

LX_DESC lx_importing(std::vector<std::string> modules, std::vector<LX_FIXUP_REC> records) {
    LX_DESC d;
    d.modules = std::move(modules);
    d.records = std::move(records);
    return d;
}

TEST(LxReport, EntryLinesAndOptions) {
    LX_DESC d = lx_importing({"DOSCALLS", "UNUSED"}, {lx_import_ordinal(1, 7), lx_import_ordinal(1, 12345),
                                                      lx_import_ordinal(1, 70000, 0x10), lx_import_name(1, 0)});
    d.procs = {"DosExit"};
    BYTES img = write_lx(d);
    struct CASE {
        std::vector<std::string> args;
        std::string out;
        std::string err;
    };
    std::vector<CASE> cases = {
        {{"app.exe"},
         kFormatLine +
             "Referencing the following from DLL 'DOSCALLS':\n"
             "  DosExit\n"
             "  70000 (0x11170)\n"
             "  12345 (0x3039)\n"
             "    7 (0x0007)\n"
             "Referencing the following from DLL 'UNUSED':\n"
             "All DLLs used by 'app.exe' could be loaded.\n",
         ""},
        {{"-v", "app.exe"},
         kFormatLine +
             "Referencing the following from DLL 'DOSCALLS':\n"
             "  DosExit\n"
             "  DosExit\n"
             "  70000 (0x11170)\n"
             "  70000 (0x11170)\n"
             "  12345 (0x3039)\n"
             "  12345 (0x3039)\n"
             "    7 (0x0007)\n"
             "    7 (0x0007)\n"
             "Referencing the following from DLL 'UNUSED':\n"
             "All DLLs used by 'app.exe' could be loaded.\n",
         ""},
        // -q still lists, leaves out the closing line and recurses: neither DLL is there.
        {{"-q", "app.exe"},
         kFormatLine +
             "Referencing the following from DLL 'DOSCALLS':\n"
             "  DosExit\n"
             "  70000 (0x11170)\n"
             "  12345 (0x3039)\n"
             "    7 (0x0007)\n"
             "Referencing the following from DLL 'UNUSED':\n"
             "\nThe following 2 DLLs are needed to load app.exe:\nDOSCALLS.DLL\nUNUSED.DLL\n",
         "  Unable to open 'DOSCALLS.DLL'.\n  Unable to open 'UNUSED.DLL'.\n"},
        // The NE-only options change nothing.
        {{"-c", "-i", "-o", "-r", "-s", "app.exe"},
         kFormatLine +
             "Referencing the following from DLL 'DOSCALLS':\n"
             "  DosExit\n"
             "  70000 (0x11170)\n"
             "  12345 (0x3039)\n"
             "    7 (0x0007)\n"
             "Referencing the following from DLL 'UNUSED':\n"
             "All DLLs used by 'app.exe' could be loaded.\n",
         ""},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.args[0]);
        TOOL_RUN r = run_talvek(c.args, {{"app.exe", img}});
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exit_code, 0);
    }
}

TEST(LxReport, NoImportsPrintsOnlyTheClosingLine) {
    BYTES img = write_lx(lx_importing({}, {}));
    TOOL_RUN r = run_talvek({"app.exe"}, {{"app.exe", img}});
    EXPECT_EQ(r.out, kFormatLine + "All DLLs used by 'app.exe' could be loaded.\n");
    EXPECT_EQ(r.exit_code, 0);
    r = run_talvek({"-q", "app.exe"}, {{"app.exe", img}});
    EXPECT_EQ(r.out, kFormatLine);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
}

TEST(LxReport, NamesArePrintedWholeAndNeverReadOutsideTheBuffer) {
    std::string longmod(255, 'M');
    std::string longproc(255, 'p');
    LX_DESC d = lx_importing({longmod, std::string("AB\0CD", 5)}, {});
    // Offsets: 0 "abc", 4 "x" (a NUL ends it), 10 the long name, 266 a name cut by the buffer's end.
    BYTES procs{3, 'a', 'b', 'c', 5, 'x', 0, 'y', 'z', 'w'};
    add_lstr(procs, longproc);
    add_bytes(procs, BYTES{10, 't', 'u'});
    d.procnm_raw = procs;
    d.records = {lx_import_name(1, 266), lx_import_name(1, 10), lx_import_name(1, 4), lx_import_name(1, 0),
                 lx_import_name(2, 269), lx_import_name(2, 0xFFFFFFFF, 0x10), lx_import_name(2, 268)};
    TOOL_RUN r = run_talvek({"app.exe"}, {{"app.exe", write_lx(d)}});
    EXPECT_EQ(r.out, kFormatLine + "Referencing the following from DLL '" + longmod + "':\n" +
                         "  abc\n"
                         "  x\n"
                         "  " + longproc + "\n"
                         "  tu\n"
                         "Referencing the following from DLL 'AB':\n"
                         "  \n"   // offset 268, the last byte: an empty name
                         "  \n"   // 0xFFFFFFFF: outside
                         "  \n"   // 269: just past the end
                         "All DLLs used by 'app.exe' could be loaded.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
}

// app.exe imports A, MISSING and b; A imports b; B imports a and A.DLL, a cycle back to A
// under two other spellings of its name.
std::vector<TOOL_FILE> cycle_files() {
    return {
        {"app.exe", write_lx(lx_importing({"A", "MISSING", "b"}, {lx_import_ordinal(1, 1), lx_import_ordinal(3, 4)}))},
        {"A.DLL", write_lx(lx_importing({"b"}, {lx_import_ordinal(1, 2)}))},
        {"B.DLL", write_lx(lx_importing({"a", "A.DLL"}, {lx_import_ordinal(1, 3)}))},
    };
}

TEST(LxReport, RecursionChecksEachDllFileOnceAndListsThem) {
    TOOL_RUN r = run_talvek({"-l", "app.exe"}, cycle_files(), combined());
    std::string a = r.dir + "/A.DLL", b = r.dir + "/B.DLL";
    EXPECT_EQ(r.both, kFormatLine +
                          "Referencing the following from DLL 'A':\n"
                          "    1 (0x0001)\n"
                          "  32-bit KAVRI 'LX' Module\n"
                          "  Referencing the following from DLL 'b':\n"
                          "      2 (0x0002)\n"
                          "    32-bit KAVRI 'LX' Module\n"
                          "    Referencing the following from DLL 'a':\n"
                          "        3 (0x0003)\n"
                          "    Referencing the following from DLL 'A.DLL':\n"
                          "    All DLLs used by '" + b + "' could be loaded.\n"
                          "  All DLLs used by '" + a + "' could be loaded.\n"
                          "Referencing the following from DLL 'MISSING':\n"
                          "  Unable to open 'MISSING.DLL'.\n"
                          "Referencing the following from DLL 'b':\n"
                          "    4 (0x0004)\n"
                          "All DLLs used by 'app.exe' could be loaded.\n"
                          "\nThe following 3 DLLs are needed to load app.exe:\n" +
                          a + "\n" + b + "\nMISSING.DLL\n");
    EXPECT_EQ(r.exit_code, 0);

    r = run_talvek({"-q", "app.exe"}, cycle_files(), combined());
    a = r.dir + "/A.DLL", b = r.dir + "/B.DLL";
    EXPECT_EQ(r.both, kFormatLine +
                          "Referencing the following from DLL 'A':\n"
                          "    1 (0x0001)\n"
                          "  32-bit KAVRI 'LX' Module\n"
                          "  Referencing the following from DLL 'b':\n"
                          "      2 (0x0002)\n"
                          "    32-bit KAVRI 'LX' Module\n"
                          "    Referencing the following from DLL 'a':\n"
                          "        3 (0x0003)\n"
                          "    Referencing the following from DLL 'A.DLL':\n"
                          "Referencing the following from DLL 'MISSING':\n"
                          "  Unable to open 'MISSING.DLL'.\n"
                          "Referencing the following from DLL 'b':\n"
                          "    4 (0x0004)\n"
                          "\nThe following 3 DLLs are needed to load app.exe:\n" +
                          a + "\n" + b + "\nMISSING.DLL\n");
    EXPECT_EQ(r.exit_code, 0);
}

TEST(LxReport, FailedDllChecksEndOnlyThemselves) {
    LX_DESC bad = lx_importing({"X"}, {});
    bad.num_import_ent = 2;
    LX_DESC linkerr = lx_importing({}, {});
    linkerr.flags = 0x2000;
    std::vector<TOOL_FILE> files = {
        {"bin/app.exe", write_lx(lx_importing({"bad", "LINKERR", "fine"}, {}))},
        {"bin/BAD.DLL", write_lx(bad)},
        {"bin/LINKERR.DLL", write_lx(linkerr)},
        {"bin/FINE.DLL", write_lx(lx_importing({}, {}))},
    };
    TOOL_RUN r = run_talvek({"-!", "bin/app.exe"}, files, combined());
    std::string bin = r.dir + "/bin/";
    EXPECT_EQ(r.both, kFormatLine +
                          "Referencing the following from DLL 'bad':\n"
                          "  32-bit KAVRI 'LX' Module\n"
                          "  Error - module table in header appears to be damaged.\n"
                          "Referencing the following from DLL 'LINKERR':\n"
                          "  32-bit KAVRI 'LX' Module\n"
                          "  Module '" + bin + "LINKERR.DLL' is marked invalid (ie. there were link errors linking it).\n"
                          "Referencing the following from DLL 'fine':\n"
                          "  32-bit KAVRI 'LX' Module\n"
                          "  All DLLs used by '" + bin + "FINE.DLL' could be loaded.\n"
                          "All DLLs used by 'bin/app.exe' could be loaded.\n");
    EXPECT_EQ(r.exit_code, 0);
}

// -e: the chain is the path by which the run first reached the module that needs the DLL;
// a DLL reached again is not reported again.
TEST(LxReport, MissingSummaryNamesTheChain) {
    LX_DESC bad = lx_importing({"X"}, {});
    bad.num_import_ent = 2;
    std::vector<TOOL_FILE> files = {
        {"bin/app.exe", write_lx(lx_importing({"DISPLAY", "BAD"}, {}))},
        {"bin/DISPLAY.DLL", write_lx(lx_importing({"CORE", "BAD"}, {}))},
        {"bin/BAD.DLL", write_lx(bad)},
    };
    TOOL_RUN r = run_talvek({"-e", "-l", "bin/app.exe"}, files);
    size_t at = r.out.find("\nMissing: ");
    ASSERT_NE(at, std::string::npos);
    // The module named is shown as typed, the DLLs relative to its folder.
    EXPECT_EQ(r.out.substr(at), "\nMissing: 2\n"
                                "CORE.DLL: cannot be opened, needed by bin/app.exe > DISPLAY.DLL\n"
                                "BAD.DLL: check failed (55), needed by bin/app.exe > DISPLAY.DLL\n");
    EXPECT_EQ(r.exit_code, 10);
    // Without recursion nothing is checked that could be missing.
    r = run_talvek({"-e", "bin/app.exe"}, files);
    EXPECT_EQ(r.out.find("Missing"), std::string::npos);
    EXPECT_EQ(r.exit_code, 0);
}

// -j: only the document on standard output, messages still on standard error; names keep
// their bytes (JSON escapes, well-formed UTF-8 as it is, other bytes as \udcNN).
TEST(LxReport, JsonDocumentKeepsEveryByte) {
    std::vector<TOOL_FILE> files = {
        {"app.exe", write_lx(lx_importing({"CAF\xE9", "\xC3\x89T\xE2\x82", "A\"B\\C\x01"}, {lx_import_ordinal(1, 7)}))},
    };
    TOOL_RUN r = run_talvek({"-!", "-J", "app.exe"}, files);
    EXPECT_EQ(r.out.compare(0, 2, "{\n"), 0);
    EXPECT_EQ(r.out.substr(r.out.size() - 2), "}\n");
    for (const char* part : {"{\"dll\": \"CAF\\udce9\", \"module\": 1,\n         \"entries\": [{\"ordinal\": 7}]}",
                             "\"file\": \"CAF\\udce9.DLL\", \"format\": null, \"level\": 2, \"opened\": false",
                             "\"dll\": \"\xC3\x89T\\udce2\\udc82\"", "\"dll\": \"A\\\"B\\\\C\\u0001\"",
                             "{\"kind\": \"not_opened\", \"dll\": \"CAF\\udce9.DLL\", \"error\": 1, \"module\": 1, \"chain\": [\"app.exe\"], "
                             "\"chains\": [[\"app.exe\"]], \"machine\": null}"}) {
        SCOPED_TRACE(part);
        EXPECT_NE(r.out.find(part), std::string::npos) << r.out;
    }
    EXPECT_EQ(r.err.find("  Unable to open 'CAF\xE9.DLL'.\n"), 0u) << r.err;
    EXPECT_EQ(r.exit_code, 0);
}

// Runs in a death test's child: checks the chain from first with at most 32 open files and
// reports what the registry holds.
[[noreturn]] void check_chain_with_few_files(const char* first, int cDepth) {
    rlimit lim{32, 32};
    setrlimit(RLIMIT_NOFILE, &lim);
    (void)!freopen("/dev/null", "w", stdout);
    OPTIONS opt;
    opt.recurse = true;
    RUN_PTR run = make_run(opt, nullptr);
    int32_t rc = check(run.get(), first).rc;
    const REGISTRY& reg = run->registry;
    bool fAllOpened = reg.cLoadedFiles == cDepth;
    for (PLOADED_FILE p = reg.pLoadedFiles; p; p = p->pNext) fAllOpened = fAllOpened && p->hFile;
    fprintf(stderr, "rc %d, %d files, all opened %d\n", rc, reg.cLoadedFiles, int(fAllOpened));
    exit(0);
}

// Each module's file is closed before its DLLs are checked, so a chain much deeper than
// the number of files a process may hold open is checked to its end.
TEST(LxReportDeathTest, DeepChainHoldsNoFilesOpen) {
    const int kDepth = 200;
    std::string dir = make_temp_dir();
    std::vector<TOOL_FILE> files;
    for (int i = 0; i < kDepth; i++) {
        std::vector<std::string> next;
        if (i + 1 < kDepth) next.push_back("D" + std::to_string(i + 1));
        files.push_back({"D" + std::to_string(i) + ".DLL", write_lx(lx_importing(next, {}))});
    }
    write_files(dir, files);
    std::string first = dir + "/D0.DLL";
    EXPECT_EXIT(check_chain_with_few_files(first.c_str(), kDepth), testing::ExitedWithCode(0),
                "rc 0, 200 files, all opened 1");
    remove_tree(dir);
}

}  // namespace
