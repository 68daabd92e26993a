// LX header checks, the fixup section's bounds, the import module name table, and the
// failures of each with their messages and result codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "common/types.h"
#include "support/in_process.h"
#include "support/lx_writer.h"
#include "support/tool_runner.h"

using namespace talvek;

namespace {

const std::string kFormatLine = "32-bit KAVRI 'LX' Module\n";
const std::string kReading = "Error reading .EXE file\n";
const std::string kNotValid = "File is not a valid KAVRI .EXE or .DLL file\n";
const std::string kBadEndian = "Error bad byte or word ordering.\n";
const std::string kLinkErrors = "Module 'app.exe' is marked invalid (ie. there were link errors linking it).\n";
const std::string kBadTable = "Error - module table in header appears to be damaged.\n";
const std::string kNoMemory = "Insufficient memory.\n";

// A module importing two entries from one DLL.
LX_DESC lx_minimal() {
    LX_DESC d;
    d.modules = {"DOSCALLS"};
    d.procs = {"DosExit"};
    d.records = {lx_import_ordinal(1, 7), lx_import_name(1, 0)};
    return d;
}

const std::string kMinimalOut = kFormatLine +
                                "Referencing the following from DLL 'DOSCALLS':\n"
                                "  DosExit\n"
                                "    7 (0x0007)\n"
                                "All DLLs used by 'app.exe' could be loaded.\n";

struct HEADER_CASE {
    const char* what;
    std::function<void(LX_DESC&)> desc;                     // changes to the description
    std::function<void(BYTES&, const LX_DESC&)> image;      // damage to the written file
    std::string out;
    std::string err;
    int code;
};

void run_cases(const std::vector<HEADER_CASE>& cases) {
    for (const HEADER_CASE& c : cases) {
        SCOPED_TRACE(c.what);
        LX_DESC d = lx_minimal();
        if (c.desc) c.desc(d);
        BYTES img = write_lx(d);
        if (c.image) c.image(img, d);
        TOOL_RUN r = run_talvek({"app.exe"}, {{"app.exe", img}});
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exit_code, c.code);
    }
}

TEST(LxHeader, ChecksRunInOrderAndEachHasItsCode) {
    run_cases({
        {"valid", nullptr, nullptr, kMinimalOut, "", 0},
        {"os_type 0 is accepted", [](LX_DESC& d) { d.os_type = 0; }, nullptr, kMinimalOut, "", 0},
        {"other flag bits are ignored", [](LX_DESC& d) { d.flags = ~0x2000u; }, nullptr, kMinimalOut, "", 0},
        {"header cut short",
         nullptr, [](BYTES& b, const LX_DESC&) { b.resize(64 + 171); }, kFormatLine, kReading, 3},
        {"foreign os_type", [](LX_DESC& d) { d.os_type = 2; }, nullptr, kFormatLine, kNotValid, 4},
        {"foreign os_type wins over link errors",
         [](LX_DESC& d) {
             d.os_type = 2;
             d.flags = 0x2000;
         },
         nullptr, kFormatLine, kNotValid, 4},
        {"word order", [](LX_DESC& d) { d.word_order = 1; }, nullptr, kFormatLine, kBadEndian, 4},
        {"byte order", [](LX_DESC& d) { d.byte_order = 1; }, nullptr, kFormatLine, kBadEndian, 4},
        {"bad order wins over link errors",
         [](LX_DESC& d) {
             d.byte_order = 1;
             d.flags = 0x2000;
         },
         nullptr, kFormatLine, kBadEndian, 4},
        {"link errors", [](LX_DESC& d) { d.flags = 0x2000; }, nullptr, kFormatLine, kLinkErrors, 12},
        {"link errors win over tables out of order",
         [](LX_DESC& d) {
             d.flags = 0x2000;
             d.ofs_fixup_rec_tbl = 0;
         },
         nullptr, kFormatLine, kLinkErrors, 12},
        {"fixup section cut short in the file",
         nullptr, [](BYTES& b, const LX_DESC&) { b.pop_back(); }, kFormatLine, kReading, 3},
    });
}

TEST(LxHeader, TableOffsetsOutOfOrderAreNotAModule) {
    // Header-relative layout of lx_minimal: page table at 172 (8 bytes), records at 180.
    run_cases({
        {"records before the page table", [](LX_DESC& d) { d.ofs_fixup_rec_tbl = 171; }, nullptr, kFormatLine,
         kNotValid, 4},
        {"module names before the records", [](LX_DESC& d) { d.ofs_impmod_tbl = 179; }, nullptr, kFormatLine,
         kNotValid, 4},
        {"procedure names before the module names", [](LX_DESC& d) { d.ofs_import_proc_tbl = 0; }, nullptr,
         kFormatLine, kNotValid, 4},
        {"procedure names past the section",
         nullptr,
         [](BYTES& b, const LX_DESC& d) {
             damage_lx_u32(b, d, LXW_OFS_IMPORT_PROC_TBL, 172 + rd_u32(b, 64 + LXW_FIXUP_SIZE) + 1);
         },
         kFormatLine, kNotValid, 4},
        {"section end beyond 4 GiB does not wrap",
         [](LX_DESC& d) {
             d.ofs_fixup_pg_tbl = 0xFFFFFFF0u;
             d.ofs_fixup_rec_tbl = d.ofs_impmod_tbl = d.ofs_import_proc_tbl = 0x10;
             d.num_import_ent = 0;
         },
         nullptr, kFormatLine, kNotValid, 4},
    });
}

TEST(LxHeader, FixupSectionBeyondTheFileIsAReadError) {
    run_cases({
        {"fixup_size of 4 GiB",
         [](LX_DESC& d) {
             d.fixup_size = 0xFFFFFFFFu;
             d.ofs_import_proc_tbl = 0xFFFFFFF0u;
         },
         nullptr, kFormatLine, kReading, 3},
        {"section start past 4 GiB from the file start",
         [](LX_DESC& d) {
             d.dos.ofs_new_hdr = 0x80;
             d.ofs_fixup_pg_tbl = d.ofs_fixup_rec_tbl = d.ofs_impmod_tbl = d.ofs_import_proc_tbl = 0xFFFFFFC0u;
             d.fixup_size = 0x10;
             d.num_import_ent = 0;
         },
         nullptr, kFormatLine, kReading, 3},
        {"empty section past the end is no read at all",
         [](LX_DESC& d) {
             d.ofs_fixup_pg_tbl = d.ofs_fixup_rec_tbl = d.ofs_impmod_tbl = d.ofs_import_proc_tbl = 0x100000u;
             d.fixup_size = 0;
             d.modules.clear();
         },
         nullptr, kFormatLine + "All DLLs used by 'app.exe' could be loaded.\n", "", 0},
    });
}

TEST(LxHeader, ModuleNameTableMustMatchTheCount) {
    auto names = [](std::vector<std::string> m, uint32_t n) {
        return [m, n](LX_DESC& d) {
            d.modules = m;
            d.num_import_ent = n;
            d.records.clear();
        };
    };
    std::string ok1 = kFormatLine + "Referencing the following from DLL 'A':\n" +
                      "All DLLs used by 'app.exe' could be loaded.\n";
    run_cases({
        {"no names, no bytes", names({}, 0), nullptr, kFormatLine + "All DLLs used by 'app.exe' could be loaded.\n",
         "", 0},
        {"no names, one byte", names({""}, 0), nullptr, kFormatLine, kBadTable, 55},
        {"two counted, three present", names({"A", "B", "C"}, 2), nullptr, kFormatLine, kBadTable, 55},
        {"two counted, one present", names({"A"}, 2), nullptr, kFormatLine, kBadTable, 55},
        {"more counted than bytes", names({"A"}, 0xFFFFFFFFu), nullptr, kFormatLine, kBadTable, 55},
        {"one counted, one present", names({"A"}, 1), nullptr, ok1, "", 0},
        {"last name runs past the buffer",
         [](LX_DESC& d) {
             d.impmod_raw = BYTES{5, 'A', 'B'};
             d.num_import_ent = 1;
             d.procs.clear();
             d.records.clear();
         },
         nullptr, kFormatLine, kBadTable, 55},
        {"last name runs into the procedure name table",
         [](LX_DESC& d) {
             d.impmod_raw = BYTES{4, 'A', 'B'};
             d.procs = {"X"};
             d.num_import_ent = 1;
             d.records.clear();
         },
         nullptr,
         kFormatLine + "Referencing the following from DLL 'AB\x01X':\n" +
             "All DLLs used by 'app.exe' could be loaded.\n",
         "", 0},
    });
}

// Allocations made through tool_alloc in-process: the n-th fails, and the largest is kept.
int g_fail_at = 0;
int g_calls = 0;
size_t g_largest = 0;
std::vector<size_t> g_sizes;
void* failing_alloc(size_t cb) {
    g_calls++;
    g_largest = std::max(g_largest, cb);
    g_sizes.push_back(cb);
    if (g_fail_at != 0 && g_calls >= g_fail_at) return nullptr;
    return malloc(cb ? cb : 1);
}

struct IN_PROCESS {
    std::string dir = make_temp_dir();
    std::string path;
    std::string out, err;
    explicit IN_PROCESS(const BYTES& img) {
        write_files(dir, {{"app.exe", img}});
        path = dir + "/app.exe";
    }
    ~IN_PROCESS() { remove_tree(dir); }
    CHECK_RESULT check(int fail_at) {
        g_fail_at = fail_at;
        g_calls = 0;
        g_largest = 0;
        g_sizes.clear();
        OPTIONS opt;
        opt.alloc = failing_alloc;
        return check_in_process(path, opt, &out, &err);
    }
    int32_t run(int fail_at) { return check(fail_at).rc; }
};

TEST(LxHeader, EachTableAllocationFailureIsCodeSix) {
    LX_DESC d = lx_minimal();
    d.records.clear();                      // no reference nodes: every allocation is one the module reports
    d.fixup_page_table = BYTES(1000, 0);    // a fixup section of a size no other allocation has
    const size_t cbFixup = 1000 + 9 + 8;
    IN_PROCESS p(write_lx(d));
    ASSERT_EQ(p.run(0), 0);
    // The allocations before the fixup section's are the registry's.
    auto it = std::find(g_sizes.begin(), g_sizes.end(), cbFixup);
    ASSERT_NE(it, g_sizes.end());
    int first = int(it - g_sizes.begin()) + 1;
    int cCalls = g_calls;
    ASSERT_GE(cCalls - first, 2);   // the lists and the name table follow
    for (int n = first; n <= cCalls; n++) {
        SCOPED_TRACE(n);
        EXPECT_EQ(p.run(n), 6);
        EXPECT_EQ(p.out, kFormatLine);
        EXPECT_EQ(p.err, kNoMemory);
    }
}

TEST(LxHeader, HostileSizesTakeNoLargeBuffer) {
    for (uint32_t n : {0xFFFFFFFFu, 0x20000000u}) {
        SCOPED_TRACE(n);
        LX_DESC d = lx_minimal();
        d.fixup_size = n;
        d.ofs_import_proc_tbl = 0x1000;
        IN_PROCESS p(write_lx(d));
        EXPECT_EQ(p.run(0), 3);
        EXPECT_EQ(p.err, kReading);
        EXPECT_LT(g_largest, size_t(4096));
    }
    // A count no table can hold is refused before either table is taken.
    LX_DESC d = lx_minimal();
    d.num_import_ent = 0x7FFFFFFF;
    IN_PROCESS p(write_lx(d));
    EXPECT_EQ(p.run(0), 55);
    EXPECT_EQ(p.err, kBadTable);
    EXPECT_LT(g_largest, size_t(4096));
}

// The last allocations are the reference list's; failing them ends the run, which comes back
// to the caller as its value.
TEST(LxHeader, NodeAllocationFailureEndsTheRun) {
    LX_DESC d = lx_minimal();
    d.procs.clear();
    d.records = {lx_import_ordinal(1, 7)};
    IN_PROCESS p(write_lx(d));
    ASSERT_EQ(p.run(0), 0);
    CHECK_RESULT r = p.check(g_calls);
    EXPECT_TRUE(r.fRunEnded);
    EXPECT_EQ(r.rc, 6);
    EXPECT_EQ(r.error, ERR_NO_MEMORY);
    EXPECT_EQ(p.err, kNoMemory);
}

}  // namespace
