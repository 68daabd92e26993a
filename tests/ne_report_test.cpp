// NE per-DLL report and recursion: entry lines, -v, -q, nested NE and LX modules with the
// final list, long names, and the out-of-memory ends of every table and list.
#include <gtest/gtest.h>

#include <cstdlib>

#include "common/types.h"
#include "support/in_process.h"
#include "support/ne_writer.h"
#include "support/tool_runner.h"

using namespace talvek;

namespace {

const std::string kNE = "16-bit KAVRI 'NE' Module\n";
const std::string kLX = "32-bit KAVRI 'LX' Module\n";
const std::string kOK = "All DLLs used by 'app.exe' could be loaded.\n";

std::string heading(const std::string& dll) { return "Referencing the following from DLL '" + dll + "':\n"; }

TOOL_RUN run_app(const BYTES& file, std::vector<std::string> args = {}) {
    args.push_back("app.exe");
    return run_talvek(args, {{"app.exe", file}});
}

TEST(NeReport, EntryLinesAndTheirVerboseRepeat) {
    NE_DESC d = ne_module({"DOSCALLS", "UNUSED"});
    uint16_t foo = d.names.add("FOO");
    d.segs[0].relocs = {ne_ordinal(1, 5), ne_ordinal(1, 1234), ne_by_name(1, foo), ne_ordinal(1, 0xFFFF)};
    struct {
        std::vector<std::string> opts;
        std::string out;
    } cases[] = {
        {{},
         kNE + heading("DOSCALLS") + "  65535 (0xffff)\n  FOO.\n  1234 (0x04d2)\n    5 (0x0005)\n" + heading("UNUSED") + kOK},
        {{"-v"},
         kNE + heading("DOSCALLS") +
             "  65535 (0xffff)\n  65535 (0xffff)\n  FOO.\n  FOO\n  1234 (0x04d2)\n  1234 (0x04d2)\n"
             "    5 (0x0005)\n    5 (0x0005)\n" +
             heading("UNUSED") + kOK},
        // -q also turns on recursion; neither DLL file exists, which changes nothing here.
        {{"-q"}, kNE + heading("DOSCALLS") + "  65535 (0xffff)\n  FOO.\n  1234 (0x04d2)\n    5 (0x0005)\n" +
                     heading("UNUSED") + "\nThe following 2 DLLs are needed to load app.exe:\nDOSCALLS.DLL\nUNUSED.DLL\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.opts.empty() ? "none" : c.opts[0]);
        TOOL_RUN r = run_app(write_ne(d), c.opts);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.exit_code, 0);
    }
}

TEST(NeReport, LongNamesArePrintedWhole) {
    const std::string dll(250, 'M');
    const std::string entry(255, 'e');
    NE_DESC d = ne_module({dll});
    uint16_t ofs = d.names.add(entry);
    d.segs[0].relocs = {ne_by_name(1, ofs)};
    TOOL_RUN r = run_app(write_ne(d), {"-v", "-r", "-c"});
    EXPECT_EQ(r.out, kNE + "Name: mod_idx: >" + dll + "< (1)  proc_idx: >" + entry + "< (" + std::to_string(ofs) + ")\n" +
                         heading(dll) + "  " + entry + ".\n  " + entry + "\nName: >" + dll + "< >" + entry + "<\n" + kOK);
    EXPECT_EQ(r.exit_code, 0);
}

// app.exe imports LIBA and LIBB; LIBA (a Windows module) imports "libb", which finds the
// same file as LIBB; LIBB imports a DLL that does not exist.
std::vector<TOOL_FILE> chain_files() {
    NE_DESC app = ne_module({"LIBA", "LIBB"}, {ne_ordinal(1, 1), ne_ordinal(2, 3)});
    NE_DESC liba = ne_module({"libb"}, {ne_ordinal(1, 2)});
    liba.op_sys = 2;
    NE_DESC libb = ne_module({"MISSING"});
    return {{"app.exe", write_ne(app)}, {"LIBA.DLL", write_ne(liba)}, {"LIBB.DLL", write_ne(libb)}};
}

TEST(NeReport, RecursionFollowsEachDllAfterItsEntries) {
    TOOL_RUN r = run_talvek({"-!", "-o", "app.exe"}, chain_files(), RUN_OPTIONS{"", true, {}, "", 120});
    const std::string a = r.dir + "/LIBA.DLL", b = r.dir + "/LIBB.DLL";
    EXPECT_EQ(r.both, kNE +
                          "Ordinal: mod_idx: >LIBA< (1)  proc_idx 1\n"
                          "Ordinal: mod_idx: >LIBB< (2)  proc_idx 3\n" +
                          heading("LIBA") + "    1 (0x0001)\n  " + kNE +
                          "File is actually a 16-bit Windows EXE\n"
                          "  Ordinal: mod_idx: >libb< (1)  proc_idx 2\n"
                          "  " +
                          heading("libb") + "      2 (0x0002)\n    " + kNE + "    " + heading("MISSING") +
                          "      Unable to open 'MISSING.DLL'.\n"
                          "    All DLLs used by '" +
                          b + "' could be loaded.\n  All DLLs used by '" + a + "' could be loaded.\n" + heading("LIBB") +
                          "    3 (0x0003)\n" + kOK);
    EXPECT_EQ(r.exit_code, 0);
}

TEST(NeReport, FinalListAndSilentRecursion) {
    const std::string listing_l = kNE + heading("LIBA") + "    1 (0x0001)\n  " + kNE + "  " + heading("libb") +
                                  "      2 (0x0002)\n    " + kNE + "    " + heading("MISSING");
    const std::string tail = heading("LIBB") + "    3 (0x0003)\n";
    TOOL_RUN r = run_talvek({"-l", "app.exe"}, chain_files());
    const std::string a = r.dir + "/LIBA.DLL", b = r.dir + "/LIBB.DLL";
    const std::string list = "\nThe following 3 DLLs are needed to load app.exe:\n" + a + "\n" + b + "\nMISSING.DLL\n";
    EXPECT_EQ(r.out, listing_l + "    All DLLs used by '" + b + "' could be loaded.\n  All DLLs used by '" + a +
                         "' could be loaded.\n" + tail + kOK + list);
    EXPECT_EQ(r.err, "File is actually a 16-bit Windows EXE\n      Unable to open 'MISSING.DLL'.\n");
    EXPECT_EQ(r.exit_code, 0);

    r = run_talvek({"-q", "app.exe"}, chain_files());
    EXPECT_EQ(r.out, listing_l + tail + "\nThe following 3 DLLs are needed to load app.exe:\n" + r.dir + "/LIBA.DLL\n" +
                         r.dir + "/LIBB.DLL\nMISSING.DLL\n");
    EXPECT_EQ(r.exit_code, 0);
}

TEST(NeReport, FailingDllLeavesTheImporterUnchanged) {
    NE_DESC app = ne_module({"BROKEN", "NEXT"}, {ne_ordinal(1, 1), ne_ordinal(2, 2)});
    BYTES broken = write_ne(ne_module({"X"}, {ne_ordinal(1, 1)}));
    broken.resize(broken.size() - 3);   // its relocation table is cut short
    TOOL_RUN r = run_talvek({"-l", "app.exe"}, {{"app.exe", write_ne(app)}, {"BROKEN.DLL", broken}});
    EXPECT_EQ(r.out, kNE + heading("BROKEN") + "    1 (0x0001)\n  " + kNE + heading("NEXT") + "    2 (0x0002)\n" + kOK +
                         "\nThe following 2 DLLs are needed to load app.exe:\n" + r.dir + "/BROKEN.DLL\nNEXT.DLL\n");
    EXPECT_EQ(r.err, "  Error reading .EXE file\n  Unable to open 'NEXT.DLL'.\n");
    EXPECT_EQ(r.exit_code, 0);
}

// A DOS header and an LX header with empty import tables: enough for the driver to hand
// it to the LX processor.
BYTES minimal_lx() {
    BYTES lx(0xC4, 0);
    put_str(lx, 0, "LX");
    return write_module(DOS_DESC{}, lx);
}

TEST(NeReport, RecursionCrossesIntoLxModules) {
    NE_DESC app = ne_module({"LXMOD", "NEMOD"}, {ne_ordinal(1, 1)});
    NE_DESC nemod;   // imports nothing: only its format line
    TOOL_RUN r = run_talvek({"-l", "app.exe"},
                            {{"app.exe", write_ne(app)}, {"LXMOD.DLL", minimal_lx()}, {"NEMOD.DLL", write_ne(nemod)}});
    // What the LX processor prints after its format line is its own; the NE side around
    // it and the final list are checked whole.
    const std::string head = kNE + heading("LXMOD") + "    1 (0x0001)\n  " + kLX;
    const std::string tail = heading("NEMOD") + "  " + kNE + kOK + "\nThe following 2 DLLs are needed to load app.exe:\n" +
                             r.dir + "/LXMOD.DLL\n" + r.dir + "/NEMOD.DLL\n";
    ASSERT_GE(r.out.size(), head.size() + tail.size());
    EXPECT_EQ(r.out.substr(0, head.size()), head);
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_EQ(r.out.substr(head.size(), r.out.size() - head.size() - tail.size()).find(kOK), std::string::npos);
    EXPECT_EQ(r.exit_code, 0);
}

// In-process runs with an allocator that fails its n-th request.
int g_fail_at = -1;
int g_allocs = 0;
void* failing_alloc(size_t cb) {
    if (g_allocs++ == g_fail_at) return nullptr;
    return malloc(cb ? cb : 1);
}

struct IN_PROCESS_RUN {
    int32_t rc;
    std::string out, err;
    bool fRunEnded;
};

IN_PROCESS_RUN run_in_process(const std::string& path, int fail_at) {
    g_fail_at = fail_at;
    g_allocs = 0;
    OPTIONS opt;
    opt.alloc = failing_alloc;
    IN_PROCESS_RUN r;
    CHECK_RESULT c = check_in_process(path, opt, &r.out, &r.err);
    r.rc = c.rc;
    r.fRunEnded = c.fRunEnded;
    return r;
}

TEST(NeReport, EveryTableThatCannotBeHadEndsWithCodeSix) {
    // Two DLLs, two segments whose records import nothing: every table is taken, but no
    // list node, so each allocation can fail without ending the process.
    NE_DESC d = ne_module({"DOSCALLS", "KBDCALLS"}, {ne_internal_ref(), ne_os_fixup()});
    d.segs.push_back(d.segs[0]);
    const std::string dir = make_temp_dir();
    write_files(dir, {{"app.exe", write_ne(d)}});
    const std::string path = dir + "/app.exe";
    const std::string listing = kNE + heading("DOSCALLS") + heading("KBDCALLS") + "All DLLs used by '" + path + "' could be loaded.\n";

    int cNoMemory = 0;
    bool fCompleted = false;
    for (int n = 0; n < 40 && !fCompleted; n++) {
        SCOPED_TRACE(n);
        IN_PROCESS_RUN r = run_in_process(path, n);
        if (r.rc == 0) {
            EXPECT_EQ(r.out, listing);
            EXPECT_EQ(r.err, "");
            fCompleted = true;
        } else if (r.rc == 1) {
            EXPECT_EQ(r.err, "QUERNIX:  Unable to process any more files\n");   // the registry's own record
        } else {
            EXPECT_EQ(r.rc, 6);
            EXPECT_EQ(r.out, kNE);
            EXPECT_EQ(r.err, "Insufficient memory.\n");
            cNoMemory++;
        }
    }
    EXPECT_TRUE(fCompleted);
    // Imported names, segments, module references, list heads, the map of record slots
    // already scanned, two relocation tables.
    EXPECT_EQ(cNoMemory, 7);
    remove_tree(dir);
}

TEST(NeReport, ListNodeThatCannotBeHadEndsTheRun) {
    const std::string dir = make_temp_dir();
    write_files(dir, {{"plain.exe", write_ne(ne_module({"DOSCALLS"}, {ne_internal_ref()}))},
                      {"app.exe", write_ne(ne_module({"DOSCALLS"}, {ne_ordinal(1, 1)}))}});
    // The same tables in both modules: the first request after them is the first node's.
    IN_PROCESS_RUN plain = run_in_process(dir + "/plain.exe", -1);
    ASSERT_EQ(plain.rc, 0);
    const int first_node = g_allocs;
    IN_PROCESS_RUN r = run_in_process(dir + "/app.exe", first_node);
    EXPECT_TRUE(r.fRunEnded);
    EXPECT_EQ(r.rc, 6);
    EXPECT_EQ(r.err, "Insufficient memory.\n");
    remove_tree(dir);
}

}  // namespace
