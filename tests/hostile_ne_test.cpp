// NE modules whose segments share or overlap their relocation tables: the scan stays
// linear in the file, and the lists and listings are those of a scan of every record.
#include <gtest/gtest.h>

#include <array>
#include <random>

#include "support/ne_writer.h"
#include "support/tool_runner.h"

namespace {

const std::string kNE = "16-bit KAVRI 'NE' Module\n";
const std::string kOK = "All DLLs used by 'app.exe' could be loaded.\n";
const std::string kRefs = "Referencing the following from DLL 'DOSCALLS':\n";

struct SEG_ENTRY {
    uint16_t sector_num, seg_size, seg_flags, min_alloc;
};

// A module importing from DOSCALLS whose segment table (any length, placed behind the
// other tables) is segs, with the bytes of region written at file position region_pos.
BYTES hostile_ne(uint16_t align, const std::vector<SEG_ENTRY>& segs, size_t region_pos, const BYTES& region) {
    NE_DESC d = ne_module({"DOSCALLS"});
    d.segs.clear();
    d.align = align;
    NE_LAYOUT l;
    BYTES b = write_ne(d, &l);
    size_t seg_tbl = b.size();
    if (seg_tbl - l.ne_hdr > 0xFFFF) throw std::runtime_error("hostile_ne: segment table out of reach");
    for (size_t i = 0; i < segs.size(); i++) {
        put_u16(b, seg_tbl + 8 * i, segs[i].sector_num);
        put_u16(b, seg_tbl + 8 * i + 2, segs[i].seg_size);
        put_u16(b, seg_tbl + 8 * i + 4, segs[i].seg_flags);
        put_u16(b, seg_tbl + 8 * i + 6, segs[i].min_alloc);
    }
    if (region_pos < b.size()) throw std::runtime_error("hostile_ne: region overlaps the tables");
    put_bytes(b, region_pos, region);
    put_u16(b, l.ne_hdr + NEF_NUM_SEGS, uint16_t(segs.size()));
    put_u16(b, l.ne_hdr + NEF_OFS_SEG_TBL, uint16_t(seg_tbl - l.ne_hdr));
    return b;
}

void add_record(BYTES& b, uint8_t flags, uint16_t mod_idx, uint16_t proc_idx) {
    add_u8(b, 3);
    add_u8(b, flags);
    add_u16(b, 0);
    add_u16(b, mod_idx);
    add_u16(b, proc_idx);
}

TEST(HostileNe, SegmentsSharingOneFullTableAreScannedOnce) {
    // 65,535 segments name one table of 65,535 records: about 1 MiB of file, but a scan of
    // every record would decode 4.3 billion of them from 34 GiB of reads.
    const uint16_t kSector = 0xA000;   // align 4: file position 0xA0000 + seg_size
    const uint16_t kSegSize = 0x10;
    BYTES table;
    add_u16(table, 0xFFFF);
    for (uint32_t j = 0; j < 0xFFFF; j++) add_record(table, 1, 1, uint16_t(1 + j % 3));
    std::vector<SEG_ENTRY> segs(0xFFFF, SEG_ENTRY{kSector, kSegSize, 0x0100, 0});
    BYTES file = hostile_ne(4, segs, size_t(kSector) * 16 + kSegSize, table);
    RUN_OPTIONS opt;
    opt.timeout_s = 60;
    TOOL_RUN r = run_talvek({"app.exe"}, {{"app.exe", file}}, opt);
    EXPECT_EQ(r.out, kNE + kRefs + "    3 (0x0003)\n    2 (0x0002)\n    1 (0x0001)\n" + kOK);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
}

TEST(HostileNe, TablesShiftedByOneRecordEachAreScannedOnce) {
    // Segment i's table starts 8 bytes after segment i-1's, so each count word is the
    // proc_idx of a record of the table before it (all 0xFFFF here): 32,768 tables of
    // 65,535 records, overlapping in all but one record each.
    const uint16_t kFirstSector = 0x8000;   // align 3: position 0x40000 + seg_size
    const uint16_t kSegSize = 0x2000;
    const uint32_t kSegs = 0x8000;
    BYTES region;
    add_u16(region, 0xFFFF);
    for (uint32_t j = 0; j < kSegs + 0xFFFF; j++) add_record(region, 1, 1, 0xFFFF);
    std::vector<SEG_ENTRY> segs;
    for (uint32_t i = 0; i < kSegs; i++) segs.push_back(SEG_ENTRY{uint16_t(kFirstSector + i), kSegSize, 0x0100, 0});
    BYTES file = hostile_ne(3, segs, size_t(kFirstSector) * 8 + kSegSize, region);
    RUN_OPTIONS opt;
    opt.timeout_s = 60;
    TOOL_RUN r = run_talvek({"app.exe"}, {{"app.exe", file}}, opt);
    EXPECT_EQ(r.out, kNE + kRefs + "  65535 (0xffff)\n" + kOK);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
}

// Every line of out is an -o line or an -r line.
bool only_record_lines(const std::string& out) {
    for (size_t pos = 0; pos < out.size();) {
        size_t nl = out.find('\n', pos);
        if (nl == std::string::npos) return false;
        std::string_view line(out.data() + pos, nl - pos);
        if (line.rfind("Ordinal: mod_idx: >", 0) != 0 && line.rfind("Name: mod_idx: >", 0) != 0) return false;
        pos = nl + 1;
    }
    return true;
}

TEST(HostileNe, OverlappingTablesGiveTheListsOfAFullScan) {
    // Tables at random byte positions of one region of records, so they overlap in every
    // alignment, partly and wholly. With -o and -r every record is decoded and printed; the
    // same run without them skips records already decoded. Both must leave the same lists,
    // which -c shows after the listing of each DLL.
    std::mt19937 rng(7);
    for (int trial = 0; trial < 12; trial++) {
        SCOPED_TRACE(trial);
        const size_t kRegionPos = 0x4000;
        const size_t kRegionSize = 0x8000;
        BYTES region;
        // Bytes 0, 1 and 2 only: target types 0 to 2, module numbers 1 and 2 among many
        // out of range, and few distinct entries, so repeats are common.
        for (size_t k = 0; k < kRegionSize; k++) add_u8(region, uint8_t(rng() % 3));
        std::vector<SEG_ENTRY> segs;
        for (int i = 0; i < 40; i++) {
            // align 0: sector_num is a byte position; every table stays in the region.
            uint16_t seg_size = uint16_t(1 + rng() % 64);
            uint16_t sector = uint16_t(kRegionPos + rng() % (kRegionSize / 2));
            segs.push_back(SEG_ENTRY{sector, seg_size, uint16_t(rng() % 4 == 0 ? 0 : 0x0100), 0});
        }
        BYTES file = hostile_ne(0, segs, kRegionPos, region);
        TOOL_RUN plain = run_talvek({"-c", "app.exe"}, {{"app.exe", file}});
        TOOL_RUN every = run_talvek({"-c", "-o", "-r", "app.exe"}, {{"app.exe", file}});
        ASSERT_EQ(plain.exit_code, 0);
        ASSERT_EQ(every.exit_code, 0);
        EXPECT_EQ(plain.err, "");
        EXPECT_EQ(every.err, "");
        ASSERT_EQ(plain.out.substr(0, kNE.size()), kNE);
        ASSERT_GE(every.out.size(), plain.out.size());
        size_t cut = every.out.size() - (plain.out.size() - kNE.size());
        EXPECT_EQ(every.out.substr(0, kNE.size()), kNE);
        EXPECT_EQ(every.out.substr(cut), plain.out.substr(kNE.size()));
        EXPECT_TRUE(only_record_lines(every.out.substr(kNE.size(), cut - kNE.size())));
        EXPECT_NE(plain.out.find("Ordinal: >DOSCALLS< "), std::string::npos);
    }
}

TEST(HostileNe, TableStartingOneRecordLaterAddsOnlyItsNewRecords) {
    // A holds ordinals 3, 5, 6. B starts one record later, so its count word is the
    // proc_idx of A's first record (3): it holds 5, 6 and a new 7. A and B again add nothing.
    BYTES region;
    add_u16(region, 3);
    add_record(region, 1, 1, 3);
    add_record(region, 1, 1, 5);
    add_record(region, 1, 1, 6);
    add_record(region, 1, 1, 7);
    const uint16_t kPos = 0x4000;
    const SEG_ENTRY a{uint16_t(kPos - 0x10), 0x10, 0x0100, 0};   // align 0: the table at kPos
    const SEG_ENTRY b{uint16_t(kPos - 0x10 + 8), 0x10, 0x0100, 0};
    BYTES file = hostile_ne(0, {a, b, b, a}, kPos, region);
    TOOL_RUN r = run_talvek({"-c", "app.exe"}, {{"app.exe", file}});
    EXPECT_EQ(r.out, kNE + kRefs + "    7 (0x0007)\n    6 (0x0006)\n    5 (0x0005)\n    3 (0x0003)\n" +
                         "Ordinal: >DOSCALLS< 7\nOrdinal: >DOSCALLS< 6\nOrdinal: >DOSCALLS< 5\nOrdinal: >DOSCALLS< 3\n" + kOK);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
}

}  // namespace
