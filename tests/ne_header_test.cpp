// NE header and tables: module kinds, link errors, the imported-names table size, short
// reads of every table, and the -s segment listing.
#include <gtest/gtest.h>

#include <functional>

#include "support/ne_writer.h"
#include "support/tool_runner.h"

namespace {

const std::string kNE = "16-bit KAVRI 'NE' Module\n";
const std::string kWindows = "File is actually a 16-bit Windows EXE\n";
const std::string kLinkErrors = "Module 'app.exe' is marked invalid (ie. there were link errors linking it).\n";
const std::string kReading = "Error reading .EXE file\n";
const std::string kNotKavri = "File is not a valid KAVRI .EXE or .DLL file\n";
const std::string kNoMemory = "Insufficient memory.\n";

TOOL_RUN run_app(const BYTES& file, std::vector<std::string> args = {}) {
    args.push_back("app.exe");
    return run_talvek(args, {{"app.exe", file}});
}

// One DLL, one ordinal: the smallest module that prints a listing.
NE_DESC one_import() { return ne_module({"DOSCALLS"}, {ne_ordinal(1, 5)}); }
const std::string kOneImportListing = kNE +
                                      "Referencing the following from DLL 'DOSCALLS':\n"
                                      "    5 (0x0005)\n"
                                      "All DLLs used by 'app.exe' could be loaded.\n";

TEST(NeHeader, OperatingSystemDecidesAcceptance) {
    struct {
        uint8_t op_sys;
        std::string out, err;
        int rc;
    } cases[] = {
        {0, kOneImportListing, "", 0},
        {1, kOneImportListing, "", 0},
        {2, kOneImportListing, kWindows, 0},
        {3, kNE, kNotKavri, 4},
        {0xFF, kNE, kNotKavri, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.op_sys));
        NE_DESC d = one_import();
        d.op_sys = c.op_sys;
        TOOL_RUN r = run_app(write_ne(d));
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exit_code, c.rc);
    }
}

TEST(NeHeader, LinkErrorFlagComesBeforeEverythingElse) {
    NE_DESC empty;   // imports nothing: the flag is tested before the table size
    struct {
        const char* what;
        NE_DESC d;
        uint16_t flags;
        uint8_t op_sys;
        std::string out, err;
        int rc;
    } cases[] = {
        {"flag", one_import(), 0x2000, 1, kNE, kLinkErrors, 12},
        {"flag on a Windows module", one_import(), 0x2000, 2, kNE, kWindows + kLinkErrors, 12},
        {"flag, empty table", empty, 0x2000, 1, kNE, kLinkErrors, 12},
        {"every other flag", one_import(), 0xDFFF, 1, kOneImportListing, "", 0},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.d.flags = c.flags;
        c.d.op_sys = c.op_sys;
        TOOL_RUN r = run_app(write_ne(c.d));
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exit_code, c.rc);
    }
}

TEST(NeHeader, EmptyImportedNamesTableEndsQuietly) {
    // Tables and relocations are present, but an empty imported-names table ends the
    // module before any of them is looked at, whatever the options.
    NE_DESC d = one_import();
    NE_LAYOUT l;
    BYTES file = write_ne(d, &l);
    put_u16(file, l.ne_hdr + NEF_OFS_ENTRY_TBL, rd_u16(file, l.ne_hdr + NEF_OFS_IMPNAM_TBL));
    TOOL_RUN r = run_app(file, {"-s", "-i", "-c", "-o", "-r", "-v", "-!"});
    EXPECT_EQ(r.out, kNE);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);

    put_u8(file, l.ne_hdr + NEF_OP_SYS, 2);
    r = run_app(file, {"-s"});
    EXPECT_EQ(r.out, kNE);
    EXPECT_EQ(r.err, kWindows);
    EXPECT_EQ(r.exit_code, 0);
}

TEST(NeHeader, EntryTableBeforeImportedNamesIsAMemoryFailure) {
    for (int back : {1, 0x40}) {
        SCOPED_TRACE(back);
        NE_LAYOUT l;
        BYTES file = write_ne(one_import(), &l);
        put_u16(file, l.ne_hdr + NEF_OFS_ENTRY_TBL, uint16_t(rd_u16(file, l.ne_hdr + NEF_OFS_IMPNAM_TBL) - back));
        TOOL_RUN r = run_app(file, {"-s"});
        EXPECT_EQ(r.out, kNE);
        EXPECT_EQ(r.err, kNoMemory);
        EXPECT_EQ(r.exit_code, 6);
    }
}

TEST(NeHeader, TablesTheFileCannotHoldAreShortReads) {
    NE_DESC d = one_import();
    d.segs.push_back(NE_SEG{});
    NE_LAYOUT l;
    const BYTES good = write_ne(d, &l);
    const size_t h = l.ne_hdr;
    // Points a table's offset so that it starts 3 bytes before the end of the file.
    auto near_end = [&](BYTES& f, size_t field) { put_u16(f, h + field, uint16_t(good.size() - 3 - h)); };
    struct {
        const char* what;
        std::function<void(BYTES&)> damage;
    } cases[] = {
        {"file ends inside the NE header", [&](BYTES& f) { f.resize(h + 40); }},
        {"imported-names table",
         [&](BYTES& f) {
             near_end(f, NEF_OFS_IMPNAM_TBL);
             put_u16(f, h + NEF_OFS_ENTRY_TBL, uint16_t(good.size() + 20 - h));
         }},
        {"segment table", [&](BYTES& f) { near_end(f, NEF_OFS_SEG_TBL); }},
        {"module reference table", [&](BYTES& f) { put_u16(f, h + NEF_OFS_MODREF_TBL, uint16_t(good.size() - 1 - h)); }},
        {"65535 segments", [&](BYTES& f) { put_u16(f, h + NEF_NUM_SEGS, 0xFFFF); }},
        {"65535 imported modules", [&](BYTES& f) { put_u16(f, h + NEF_NUM_MODREF, 0xFFFF); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        BYTES file = good;
        c.damage(file);
        TOOL_RUN r = run_app(file, {"-s", "-o"});
        EXPECT_EQ(r.out, kNE);
        EXPECT_EQ(r.err, kReading);
        EXPECT_EQ(r.exit_code, 3);
    }
}

TEST(NeHeader, EmptySegmentAndModuleTablesAreNoError) {
    NE_DESC d;
    d.names.add("UNUSED");   // a table with a name, but no module refers to it
    TOOL_RUN r = run_app(write_ne(d), {"-s", "-c"});
    EXPECT_EQ(r.out, kNE + "All DLLs used by 'app.exe' could be loaded.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
}

TEST(NeHeader, SegmentListingShowsFourFieldsInHex) {
    NE_DESC d = ne_module({"DOSCALLS"});
    d.segs.clear();
    NE_SEG a;
    a.sector_num = 0x12;
    a.seg_size = 0x1a0;
    a.seg_flags = 0x100;
    a.min_alloc = 0;
    NE_SEG b;
    b.sector_num = 0x20;
    b.seg_size = 0;
    b.seg_flags = 0x0c50;
    b.min_alloc = 0xFFFF;
    b.write_relocs = false;
    d.segs = {a, b};
    const std::string listing = "Referencing the following from DLL 'DOSCALLS':\n";
    TOOL_RUN r = run_app(write_ne(d), {"-s"});
    EXPECT_EQ(r.out, kNE + listing + "12 1a0 100 0\n20 0 c50 ffff\nAll DLLs used by 'app.exe' could be loaded.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);

    r = run_app(write_ne(d));
    EXPECT_EQ(r.out, kNE + listing + "All DLLs used by 'app.exe' could be loaded.\n");
}

}  // namespace
