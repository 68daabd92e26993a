// One module: open failures, the DOS header test, the signature dispatch, indentation.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "talvek.h"
#include "support/ne_writer.h"
#include "support/tool_runner.h"

namespace {

BYTES with_sig(const std::string& sig, DOS_DESC d = {}) {
    BYTES hdr;
    add_str(hdr, sig);
    return write_module(d, hdr);
}

TEST(Dispatch, NamedFileThatCannotBeOpened) {
    TOOL_RUN r = run_talvek({"app.exe"}, {}, RUN_OPTIONS{});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Unable to open 'app.exe'.\n");
    EXPECT_EQ(r.exit_code, 2);
}

TEST(Dispatch, DosHeaderFailures) {
    BYTES dos_program = write_dos(DOS_DESC{0x5A4D, 0x1C, 0x80});
    put_str(dos_program, 0x80, "PX");   // a stray offset into DOS code that spells no signature
    BYTES zm = with_sig("LX");
    zm[0] = 'Z';
    zm[1] = 'M';
    BYTES cut = with_sig("LX");
    cut.resize(63);
    BYTES no_reloc_no_sig = write_dos(DOS_DESC{0x5A4D, 0, 0x40});
    put_str(no_reloc_no_sig, 0x40, "PE");   // "PE" without its two zero bytes
    struct {
        const char* what;
        BYTES file;
        std::string err;
        int code;
    } cases[] = {
        {"empty file", {}, "Error reading .EXE file\n", 3},
        {"63 bytes", cut, "Error reading .EXE file\n", 3},
        {"plain DOS program", dos_program, "File is not a valid KAVRI .EXE or .DLL file\n", 3},
        {"no MZ", zm, "File is not a valid KAVRI .EXE or .DLL file\n", 3},
        {"PE without zeros and no 0x40", no_reloc_no_sig, "File is not a valid KAVRI .EXE or .DLL file\n", 3},
        {"signature past the end", write_dos(DOS_DESC{0x5A4D, 0x40, 0x1000}), "Error reading .EXE file\n", 3},
        {"one signature byte", with_sig("L"), "Error reading .EXE file\n", 3},
        {"signature offset near 4 GiB", write_dos(DOS_DESC{0x5A4D, 0x40, 0xFFFFFFFF}), "Error reading .EXE file\n", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TOOL_RUN r = run_talvek({"app.exe"}, {{"app.exe", c.file}});
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exit_code, c.code);
    }
}

// Only regular files are read. A directory, a FIFO that no one writes to and a link to one
// are files that cannot be read, named or reached as a DLL; none blocks the run.
TEST(Dispatch, FileThatIsNotRegularIsAReadError) {
    std::string dir = make_temp_dir();
    write_files(dir, {{"dir.exe/", {}}, {"app.exe", write_ne(ne_module({"PIPE"}, {ne_ordinal(1, 1)}))}});
    ASSERT_EQ(mkfifo((dir + "/fifo.exe").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((dir + "/PIPE.DLL").c_str(), 0600), 0);
    ASSERT_EQ(symlink("fifo.exe", (dir + "/link.exe").c_str()), 0);
    const std::string app = "16-bit KAVRI 'NE' Module\nReferencing the following from DLL 'PIPE':\n    1 (0x0001)\n"
                            "All DLLs used by 'app.exe' could be loaded.\n";
    struct {
        std::vector<std::string> args;
        std::string out, err;
        int code;
    } cases[] = {
        {{"dir.exe"}, "", "Error reading .EXE file\n", 3},
        {{"fifo.exe"}, "", "Error reading .EXE file\n", 3},
        {{"link.exe"}, "", "Error reading .EXE file\n", 3},
        {{"-!", "app.exe"}, app, "  Error reading .EXE file\n", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        RUN_OPTIONS opt;
        opt.timeout_s = 10;
        TOOL_RUN r = run_talvek_in(dir, c.args, opt);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exit_code, c.code);
    }
    remove_tree(dir);
}

TEST(Dispatch, UnknownSignature) {
    TOOL_RUN r = run_talvek({"app.exe"}, {{"app.exe", with_sig("LE")}}, [] {
        RUN_OPTIONS o;
        o.combined = true;
        return o;
    }());
    EXPECT_EQ(r.both, "Unknown 'LE' Module\nFile is not a valid KAVRI .EXE or .DLL file\n");
    EXPECT_EQ(r.exit_code, 4);
}

TEST(Dispatch, FormatLineBySignature) {
    struct {
        std::string sig;
        std::string line;
    } cases[] = {
        {"LX", "32-bit KAVRI 'LX' Module\n"},
        {"NE", "16-bit KAVRI 'NE' Module\n"},
        {std::string("PE\0\0", 4), "32-bit NT 'PE' Module\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        TOOL_RUN r = run_talvek({"app.exe"}, {{"app.exe", with_sig(c.sig)}});
        EXPECT_EQ(r.out.substr(0, c.line.size()), c.line);
    }
}

// Modules whose DOS header lacks the 0x40 mark are accepted when a real signature stands
// at the new-header offset; everything else keeps the strict test.
TEST(Dispatch, SignatureVouchesForModulesWithoutRelocationMark) {
    for (uint16_t reloc : {0x60, 0x00}) {
        SCOPED_TRACE(reloc);
        BYTES pe = with_sig(std::string("PE\0\0", 4), DOS_DESC{0x5A4D, reloc, 0x40});
        TOOL_RUN r = run_talvek({"app.exe"}, {{"app.exe", pe}});
        EXPECT_EQ(r.out.substr(0, 22), "32-bit NT 'PE' Module\n");
        BYTES ne = with_sig("NE", DOS_DESC{0x5A4D, reloc, 0x40});
        r = run_talvek({"app.exe"}, {{"app.exe", ne}});
        EXPECT_EQ(r.out.substr(0, 25), "16-bit KAVRI 'NE' Module\n");
    }
    // With the mark, an unknown signature is still dispatched as before.
    TOOL_RUN r = run_talvek({"app.exe"}, {{"app.exe", with_sig("ZZ", DOS_DESC{0x5A4D, 0x60, 0x40})}});
    EXPECT_EQ(r.err, "File is not a valid KAVRI .EXE or .DLL file\n");
    EXPECT_EQ(r.exit_code, 3);
}

TEST(Levelprint, TwoBlanksPerLevelBelowTheFirst) {
    struct {
        uint32_t level;
        std::string out;
    } cases[] = {{1, ""}, {2, "  "}, {3, "    "}, {5000, std::string(9998, ' ')}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.level);
        std::unique_ptr<talvek::REPORT_SINK> text = talvek::make_text_report(talvek::OPTIONS{});
        talvek::REPORT_EVENT ev{talvek::RPT_LISTING};
        ev.text = "x";
        ev.level = c.level;
        testing::internal::CaptureStdout();
        text->event(ev);
        fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out + "x\n");
    }
}

}  // namespace
