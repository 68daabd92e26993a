// NE relocation scan: where relocation tables are found, which records import what, the
// -o and -r lines as records are met, damaged records, and the -c and -i listings.
#include <gtest/gtest.h>

#include <functional>

#include "support/ne_writer.h"
#include "support/tool_runner.h"

namespace {

const std::string kNE = "16-bit KAVRI 'NE' Module\n";
const std::string kOK = "All DLLs used by 'app.exe' could be loaded.\n";
const std::string kReading = "Error reading .EXE file\n";

TOOL_RUN run_app(const BYTES& file, std::vector<std::string> args = {}) {
    args.push_back("app.exe");
    return run_talvek(args, {{"app.exe", file}});
}

std::string heading(const std::string& dll) { return "Referencing the following from DLL '" + dll + "':\n"; }

TEST(NeReloc, TablesAreFoundBehindTheSegmentData) {
    struct {
        const char* what;
        uint16_t align;
        uint16_t sector_num;
        uint16_t seg_size;
        bool write_data;
    } cases[] = {
        {"align 9", 9, 3, 0x40, true},
        {"align 0: sector_num is a byte position", 0, 0x300, 0x10, true},
        {"seg_size 0 stands for 65536", 4, 0x30, 0, true},
        // Sector size 0: the table sits at seg_size whatever sector_num says.
        {"align 32", 32, 0x1234, 0x400, false},
        {"align 40", 40, 0x1234, 0x400, false},
        {"align 32, seg_size 0", 32, 7, 0, false},
        // 2 sectors of 2^31 bytes make 2^32, which wraps to 0.
        {"align 31 wraps at 32 bits", 31, 2, 0x500, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        NE_DESC d = ne_module({"DOSCALLS"});
        d.align = c.align;
        d.segs[0].sector_num = c.sector_num;
        d.segs[0].seg_size = c.seg_size;
        d.segs[0].write_data = c.write_data;
        d.segs[0].relocs = {ne_ordinal(1, 7)};
        TOOL_RUN r = run_app(write_ne(d));
        EXPECT_EQ(r.out, kNE + heading("DOSCALLS") + "    7 (0x0007)\n" + kOK);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exit_code, 0);
    }
}

TEST(NeReloc, OnlySegmentsFlaggedWithRelocationsAreRead) {
    NE_DESC d = ne_module({"DOSCALLS"});
    NE_SEG unflagged;
    unflagged.seg_flags = 0xFEFF;   // every bit but 0x0100
    unflagged.relocs = {ne_ordinal(1, 1)};
    NE_SEG flagged_empty;           // a count of 0: nothing read, the scan goes on
    NE_SEG unflagged_broken;        // would be a short read if it were looked at
    unflagged_broken.seg_flags = 0;
    unflagged_broken.write_relocs = false;
    unflagged_broken.write_data = false;
    unflagged_broken.sector_num = 0xFFFF;
    NE_SEG flagged;
    flagged.relocs = {ne_ordinal(1, 2)};
    d.segs = {unflagged, flagged_empty, unflagged_broken, flagged};
    TOOL_RUN r = run_app(write_ne(d));
    EXPECT_EQ(r.out, kNE + heading("DOSCALLS") + "    2 (0x0002)\n" + kOK);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
}

TEST(NeReloc, ShortRelocationTablesEndTheModule) {
    // The first segment is scanned whole; the second one's table is damaged.
    NE_DESC d = ne_module({"DOSCALLS"}, {ne_ordinal(1, 5)});
    NE_SEG second;
    second.relocs = {ne_ordinal(1, 6), ne_ordinal(1, 7)};
    d.segs.push_back(second);
    NE_LAYOUT l;
    const BYTES good = write_ne(d, &l);
    const size_t count_pos = l.reloc_tbl[1];
    struct {
        const char* what;
        std::function<void(BYTES&)> damage;
    } cases[] = {
        {"file ends inside the records", [&](BYTES& f) { f.resize(count_pos + 2 + 12); }},
        {"file ends inside the count", [&](BYTES& f) { f.resize(count_pos + 1); }},
        {"table lies beyond the file", [&](BYTES& f) { put_u16(f, l.seg_tbl + 8, 0x7000); }},
        {"count larger than the file", [&](BYTES& f) { put_u16(f, count_pos, 0xFFFF); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        BYTES file = good;
        c.damage(file);
        TOOL_RUN r = run_app(file, {"-o", "-s", "-c"});
        // The -o line of the first segment stays; no heading, no listing, no summary.
        EXPECT_EQ(r.out, kNE + "Ordinal: mod_idx: >DOSCALLS< (1)  proc_idx 5\n");
        EXPECT_EQ(r.err, kReading);
        EXPECT_EQ(r.exit_code, 3);
    }
}

TEST(NeReloc, EachRecordPrintsButEachEntryIsListedOnce) {
    NE_DESC d = ne_module({"DOSCALLS", "KBDCALLS"});
    uint16_t foo = d.names.add("FOO");
    std::vector<NE_RELOC> relocs(10, ne_ordinal(1, 42));
    relocs.push_back(ne_by_name(2, foo));
    relocs.push_back(ne_by_name(2, foo));
    relocs.push_back(ne_internal_ref());
    relocs.push_back(ne_os_fixup());
    NE_RELOC additive = ne_ordinal(2, 3);
    additive.flags |= 0x04;   // the additive bit does not change the target type
    relocs.push_back(additive);
    d.segs[0].relocs = relocs;
    const std::string listing = heading("DOSCALLS") + "   42 (0x002a)\n" + heading("KBDCALLS") +
                                "    3 (0x0003)\n"
                                "  FOO.\n";
    std::string o_lines;
    for (int i = 0; i < 10; i++) o_lines += "Ordinal: mod_idx: >DOSCALLS< (1)  proc_idx 42\n";
    const std::string r_line = "Name: mod_idx: >KBDCALLS< (2)  proc_idx: >FOO< (" + std::to_string(foo) + ")\n";
    const std::string o_additive = "Ordinal: mod_idx: >KBDCALLS< (2)  proc_idx 3\n";
    struct {
        std::vector<std::string> opts;
        std::string scan;
    } cases[] = {
        {{}, ""},
        {{"-o"}, o_lines + o_additive},
        {{"-r"}, r_line + r_line},
        {{"-R", "/O"}, o_lines + r_line + r_line + o_additive},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.opts.empty() ? "none" : c.opts[0]);
        TOOL_RUN r = run_app(write_ne(d), c.opts);
        EXPECT_EQ(r.out, kNE + c.scan + listing + kOK);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exit_code, 0);
    }
}

TEST(NeReloc, OrdinalAndNameWithTheSameNumberAreTwoEntries) {
    NE_DESC d = ne_module({"DOSCALLS"});
    uint16_t foo = d.names.add("FOO");
    d.segs[0].relocs = {ne_ordinal(1, foo), ne_by_name(1, foo), ne_ordinal(1, foo)};
    TOOL_RUN r = run_app(write_ne(d));
    char ord[32];
    snprintf(ord, sizeof ord, "  %3d (0x%04x)\n", foo, foo);
    EXPECT_EQ(r.out, kNE + heading("DOSCALLS") + "  FOO.\n" + ord + kOK);
}

TEST(NeReloc, DamagedIndicesShowEmptyNamesAndAddNothing) {
    NE_DESC d;
    uint16_t doscalls = d.names.add("DOSCALLS");
    uint16_t cut = d.names.add("AB");
    d.names.bytes[cut + 1 + 2 - 1] = 'B';
    d.names.bytes.insert(d.names.bytes.begin() + cut + 2, 0);   // "A\0B": a NUL ends it
    d.names.bytes[cut] = 3;
    uint16_t last = uint16_t(d.names.bytes.size());
    add_lstr(d.names.bytes, "TAIL");
    d.names.bytes[last] = 200;                                 // runs past the table's end
    uint16_t beyond = uint16_t(d.names.bytes.size() + 5);
    d.modrefs = {doscalls, beyond};
    d.segs.push_back(NE_SEG{});
    d.segs[0].relocs = {ne_ordinal(0, 1), ne_ordinal(3, 2), ne_ordinal(0xFFFF, 3), ne_by_name(0, doscalls),
                        ne_by_name(1, beyond),  ne_by_name(1, cut), ne_by_name(1, last), ne_ordinal(2, 4)};
    TOOL_RUN r = run_app(write_ne(d), {"-o", "-r", "-c"});
    const std::string scan = "Ordinal: mod_idx: >< (0)  proc_idx 1\n"
                             "Ordinal: mod_idx: >< (3)  proc_idx 2\n"
                             "Ordinal: mod_idx: >< (65535)  proc_idx 3\n"
                             "Name: mod_idx: >< (0)  proc_idx: >DOSCALLS< (0)\n"
                             "Name: mod_idx: >DOSCALLS< (1)  proc_idx: >< (" +
                             std::to_string(beyond) +
                             ")\n"
                             "Name: mod_idx: >DOSCALLS< (1)  proc_idx: >A< (" +
                             std::to_string(cut) +
                             ")\n"
                             "Name: mod_idx: >DOSCALLS< (1)  proc_idx: >TAIL< (" +
                             std::to_string(last) +
                             ")\n"
                             "Ordinal: mod_idx: >< (2)  proc_idx 4\n";
    const std::string listing = heading("DOSCALLS") + "  TAIL.\n  A.\n  .\n" + heading("") + "    4 (0x0004)\n";
    const std::string chains = "Name: >DOSCALLS< >TAIL<\nName: >DOSCALLS< >A<\nName: >DOSCALLS< ><\nOrdinal: >< 4\n";
    EXPECT_EQ(r.out, kNE + scan + listing + chains + kOK);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
}

TEST(NeReloc, ChainListingIsNewestFirstPerModule) {
    NE_DESC d = ne_module({"DOSCALLS", "EMPTY", "VIOCALLS"});
    uint16_t second = d.names.add("SECOND");
    d.segs[0].relocs = {ne_ordinal(1, 1), ne_ordinal(3, 9), ne_by_name(1, second), ne_ordinal(1, 300),
                        ne_ordinal(1, 1), ne_by_name(1, second)};
    TOOL_RUN r = run_app(write_ne(d), {"-c"});
    const std::string listing = heading("DOSCALLS") + "  300 (0x012c)\n  SECOND.\n    1 (0x0001)\n" + heading("EMPTY") +
                                heading("VIOCALLS") + "    9 (0x0009)\n";
    const std::string chains = "Ordinal: >DOSCALLS< 300\n"
                               "Name: >DOSCALLS< >SECOND<\n"
                               "Ordinal: >DOSCALLS< 1\n"
                               "Ordinal: >VIOCALLS< 9\n";
    EXPECT_EQ(r.out, kNE + listing + chains + kOK);
    EXPECT_EQ(r.exit_code, 0);
}

TEST(NeReloc, ImportListingWalksTheNamesTable) {
    struct {
        const char* what;
        BYTES table;
        std::string lines;
    } cases[] = {
        {"two names, then an empty one",
         {5, 'A', 'L', 'P', 'H', 'A', 4, 'B', 'E', 'T', 'A', 0, 5, 'G', 'A', 'M', 'M', 'A'},
         ">ALPHA<\n>BETA<\n"},
        {"a leading empty name", {0, 5, 'A', 'L', 'P', 'H', 'A'}, ""},
        {"no empty name: the end of the table ends the walk", {5, 'A', 'L', 'P', 'H', 'A', 1, 'B'}, ">ALPHA<\n>B<\n"},
        {"a length past the end shows the name cut", {5, 'A', 'L', 'P', 'H', 'A', 9, 'B', 'E'}, ">ALPHA<\n>BE<\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        NE_DESC d;
        d.names.bytes = c.table;
        d.segs.push_back(NE_SEG{});
        TOOL_RUN r = run_app(write_ne(d), {"-i"});
        EXPECT_EQ(r.out, kNE + c.lines + kOK);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exit_code, 0);
    }
}

TEST(NeReloc, PhasesComeInTheirOrder) {
    // -o and -r while scanning, then the listing, -c, -s, -i and the summary, whatever
    // the order of the options.
    NE_DESC d = ne_module({"DOSCALLS"});
    uint16_t foo = d.names.add("FOO");
    d.segs[0].sector_num = 2;
    d.segs[0].seg_size = 0x10;
    d.segs[0].min_alloc = 0x10;
    d.segs[0].relocs = {ne_ordinal(1, 5), ne_by_name(1, foo)};
    TOOL_RUN r = run_app(write_ne(d), {"-i", "-s", "-c", "-r", "-o", "-v"});
    EXPECT_EQ(r.out, kNE +
                         "Ordinal: mod_idx: >DOSCALLS< (1)  proc_idx 5\n"
                         "Name: mod_idx: >DOSCALLS< (1)  proc_idx: >FOO< (9)\n" +
                         heading("DOSCALLS") +
                         "  FOO.\n"
                         "  FOO\n"
                         "    5 (0x0005)\n"
                         "    5 (0x0005)\n"
                         "Name: >DOSCALLS< >FOO<\n"
                         "Ordinal: >DOSCALLS< 5\n"
                         "2 10 100 10\n"
                         ">DOSCALLS<\n"
                         ">FOO<\n" +
                         kOK);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
}

}  // namespace
