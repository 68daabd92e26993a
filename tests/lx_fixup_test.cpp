// LX fixup records: the size of every record kind, what each enters into the lists, and
// the records that do not fit or name no imported module.
#include <gtest/gtest.h>

#include <functional>

#include "lx/lx_internal.h"
#include "support/lx_writer.h"
#include "support/tool_runner.h"

using namespace talvek;

namespace {

LX_FIXUP_REC rec(uint8_t src, uint8_t flags, uint16_t first, uint32_t second, uint32_t additive = 0,
                 std::vector<uint16_t> list = {}) {
    LX_FIXUP_REC r;
    r.src = src;
    r.flags = flags;
    r.first = first;
    r.second = second;
    r.additive = additive;
    r.src_list = std::move(list);
    return r;
}

struct SIZE_CASE {
    const char* what;
    LX_FIXUP_REC r;
    uint64_t size;          // counted by hand from the record layout
    uint8_t target_type;
    uint16_t mod;
    uint32_t num;
};

const std::vector<SIZE_CASE> kSizes = {
    {"ordinal, 16-bit", rec(0x07, 0x01, 1, 0x1234), 7, 1, 1, 0x1234},
    {"ordinal, 8-bit", rec(0x07, 0x81, 1, 0xAB), 6, 1, 1, 0xAB},
    {"ordinal, 8-bit wins over 32-bit", rec(0x07, 0x91, 1, 0xAB), 6, 1, 1, 0xAB},
    {"ordinal, 32-bit", rec(0x07, 0x11, 1, 0x12345678), 9, 1, 1, 0x12345678},
    {"ordinal, 16-bit module ordinal", rec(0x07, 0x41, 0x0102, 9), 8, 1, 0x0102, 9},
    {"ordinal, additive 16", rec(0x07, 0x05, 3, 9, 0xFFFF), 9, 1, 3, 9},
    {"ordinal, additive 32", rec(0x07, 0x25, 3, 9, 0xFFFFFFFF), 11, 1, 3, 9},
    {"ordinal, 32-bit additive flag without additive", rec(0x07, 0x21, 3, 9), 7, 1, 3, 9},
    {"ordinal, everything wide", rec(0x07, 0x75, 0x0203, 0x01020304, 0x05060708), 14, 1, 0x0203, 0x01020304},
    {"name, 16-bit offset", rec(0x07, 0x02, 2, 0x0010), 7, 2, 2, 0x0010},
    {"name, 32-bit offset", rec(0x07, 0x12, 2, 0x00100000), 9, 2, 2, 0x00100000},
    {"name, 8-bit flag does not narrow it", rec(0x07, 0x82, 2, 0x0310), 7, 2, 2, 0x0310},
    {"name, additive 16", rec(0x07, 0x06, 2, 5, 1), 9, 2, 2, 5},
    {"name, additive 32", rec(0x07, 0x26, 2, 5, 1), 11, 2, 2, 5},
    {"name, 16-bit module ordinal", rec(0x07, 0x42, 0x0300, 5), 8, 2, 0x0300, 5},
    {"source list of 3", rec(0x27, 0x01, 1, 5, 0, {1, 2, 3}), 12, 1, 1, 5},
    {"source list of 0", rec(0x27, 0x02, 1, 5, 0, {}), 6, 2, 1, 5},
    {"source list of 255", rec(0x27, 0x01, 1, 5, 0, std::vector<uint16_t>(255, 7)), 516, 1, 1, 5},
    {"internal, selector", rec(0x02, 0x00, 1, 0), 5, 0, 1, 0},
    {"internal, selector ignores 32-bit", rec(0x02, 0x10, 1, 0), 5, 0, 1, 0},
    {"internal, selector with source list bits", rec(0x32, 0x00, 1, 0, 0, {4}), 6, 0, 1, 0},
    {"internal, 16-bit offset", rec(0x07, 0x00, 1, 0x1000), 7, 0, 1, 0},
    {"internal, 32-bit offset", rec(0x07, 0x10, 1, 0x1000), 9, 0, 1, 0},
    {"internal, 16-bit object, additive 32", rec(0x08, 0x64, 0x0101, 0x10, 7), 12, 0, 0x0101, 0},
    {"entry table", rec(0x07, 0x03, 4, 0), 5, 3, 4, 0},
    {"entry table, 16-bit entry ordinal", rec(0x07, 0x43, 0x0404, 0), 6, 3, 0x0404, 0},
    {"entry table, 32-bit flag adds nothing", rec(0x07, 0x13, 4, 0), 5, 3, 4, 0},
    {"entry table, additive", rec(0x07, 0x07, 4, 0, 2), 7, 3, 4, 0},
};

TEST(LxFixup, EveryRecordKindHasItsSize) {
    for (const SIZE_CASE& c : kSizes) {
        SCOPED_TRACE(c.what);
        BYTES b = lx_record(c.r);
        ASSERT_EQ(b.size(), c.size);   // the writer agrees with the hand count
        // The record decodes the same at an odd position with bytes after it.
        BYTES buf{0xEE};
        add_bytes(buf, b);
        add_bytes(buf, BYTES{0xEE, 0xEE});
        LX_FIXUP fix{};
        ASSERT_TRUE(lx_decode_fixup(BYTE_SPAN{buf.data(), buf.size()}, 1, &fix));
        EXPECT_EQ(fix.record_size, c.size);
        EXPECT_EQ(fix.target_type, c.target_type);
        EXPECT_EQ(fix.mod_ordinal, c.mod);
        if (c.target_type == 1 || c.target_type == 2) {
            EXPECT_EQ(fix.num, c.num);
        }
        // Every byte of the record is needed: one byte less does not decode.
        LX_FIXUP untouched{99, 9, 9, 9};
        EXPECT_FALSE(lx_decode_fixup(BYTE_SPAN{b.data(), b.size() - 1}, 0, &untouched));
        EXPECT_EQ(untouched.record_size, 99u);
    }
}

// All records of the size table in one fixup record table, each import followed by a
// marker import: a record measured wrong would throw the walk off the next record.
TEST(LxFixup, ChainOfEveryKindIsWalkedRecordByRecord) {
    LX_DESC d;
    d.modules = {"M1", "M2", "M3"};
    d.procs = {"Zero", "Five"};
    uint32_t marker = 1000;
    for (const SIZE_CASE& c : kSizes) {
        LX_FIXUP_REC r = c.r;
        if (c.target_type == 1 || c.target_type == 2) {
            r.first = uint16_t(1 + (&c - &kSizes[0]) % 3);
            r.second = c.target_type == 2 ? 5 : c.num;
        }
        d.records.push_back(r);
        d.records.push_back(lx_import_ordinal(3, marker++));
    }
    BYTES img = write_lx(d);
    TOOL_RUN r = run_talvek({"app.exe"}, {{"app.exe", img}});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
    // Each marker must be there, once, in the list of M3.
    size_t m3_at = r.out.find("'M3'");
    ASSERT_NE(m3_at, std::string::npos);
    for (uint32_t m = 1000; m < marker; m++) {
        char line[32];
        snprintf(line, sizeof line, " %d (0x%04x)\n", int(m), unsigned(m));
        EXPECT_NE(r.out.find(line, m3_at), std::string::npos) << m;
    }
    // And the imports: by name at offset 5 is "Five" in every list it was entered into.
    EXPECT_NE(r.out.find("Referencing the following from DLL 'M1':\n"), std::string::npos);
    EXPECT_NE(r.out.find("  Five\n"), std::string::npos);
    EXPECT_NE(r.out.find("  4660 (0x1234)\n"), std::string::npos);
    EXPECT_NE(r.out.find("  305419896 (0x12345678)\n"), std::string::npos);
}

TEST(LxFixup, EntriesAreKeptOncePerDllNewestFirst) {
    LX_DESC d;
    d.modules = {"A", "B"};
    d.procs = {"Zero", "Five"};   // "Five" lies at offset 5
    d.records = {
        lx_import_ordinal(1, 5),
        lx_import_name(1, 5),        // the name at offset 5 is not ordinal 5
        lx_import_ordinal(1, 5, 0x80),
        lx_import_ordinal(1, 9, 0x10),
        lx_import_name(1, 0),
        lx_import_name(1, 5, 0x10),  // the same name through a 32-bit offset
        lx_import_ordinal(2, 5),     // the same ordinal from another DLL
        rec(0x27, 0x01, 2, 6, 0, {1, 2, 3}),
        lx_import_ordinal(1, 9),
    };
    TOOL_RUN r = run_talvek({"app.exe"}, {{"app.exe", write_lx(d)}});
    EXPECT_EQ(r.out,
              "32-bit KAVRI 'LX' Module\n"
              "Referencing the following from DLL 'A':\n"
              "  Zero\n"
              "    9 (0x0009)\n"
              "  Five\n"
              "    5 (0x0005)\n"
              "Referencing the following from DLL 'B':\n"
              "    6 (0x0006)\n"
              "    5 (0x0005)\n"
              "All DLLs used by 'app.exe' could be loaded.\n");
    EXPECT_EQ(r.exit_code, 0);
}

TEST(LxFixup, RecordsOutsideTheRulesAreNotRecorded) {
    struct CASE {
        const char* what;
        std::function<void(LX_DESC&)> change;
        std::vector<std::string> lists;   // the entry lines under each DLL
    };
    std::vector<CASE> cases = {
        {"module ordinal 0 and past the table",
         [](LX_DESC& d) {
             d.records = {lx_import_ordinal(0, 1), lx_import_ordinal(3, 2), lx_import_ordinal(2, 3),
                          lx_import_name(0, 0), lx_import_ordinal(0x0100, 4, 0x40)};
         },
         {"", "    3 (0x0003)\n"}},
        {"a record cut by the buffer's end ends the walk",
         [](LX_DESC& d) {
             d.modules = {"A"};
             d.records = {lx_import_ordinal(1, 5)};
             d.raw_records = BYTES{0x07, 0x01};   // its source offset is the module name "A"
         },
         {"    5 (0x0005)\n"}},
        {"the last record may overlap the module name table",
         [](LX_DESC& d) {
             d.records = {lx_import_ordinal(1, 5)};
             d.raw_records = BYTES{0x07, 0x81, 0x00, 0x00};   // its target data are the name "A"
         },
         {"   65 (0x0041)\n    5 (0x0005)\n", ""}},
        {"a source list running past the buffer",
         [](LX_DESC& d) {
             d.records = {lx_import_ordinal(1, 5)};
             d.raw_records = BYTES{0x27, 0x81, 0xFF, 0x01, 0x07};
         },
         {"    5 (0x0005)\n", ""}},
        {"an additive value running past the buffer",
         [](LX_DESC& d) {
             d.modules = {"A"};
             d.records = {lx_import_ordinal(1, 5)};
             d.raw_records = BYTES{0x07, 0xA5, 0x00, 0x00, 0x01, 0x08};
         },
         {"    5 (0x0005)\n"}},
        {"an empty fixup record table", [](LX_DESC& d) { d.records.clear(); }, {"", ""}},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        LX_DESC d;
        d.modules = {"A", "B"};
        c.change(d);
        TOOL_RUN r = run_talvek({"app.exe"}, {{"app.exe", write_lx(d)}});
        std::string expect = "32-bit KAVRI 'LX' Module\n";
        for (size_t i = 0; i < d.modules.size(); i++)
            expect += "Referencing the following from DLL '" + d.modules[i] + "':\n" + c.lists.at(i);
        expect += "All DLLs used by 'app.exe' could be loaded.\n";
        EXPECT_EQ(r.out, expect);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exit_code, 0);
    }
}

}  // namespace
