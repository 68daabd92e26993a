// Damaged LX and NE modules: every truncation and every single-bit flip of the headers and
// tables ends in a defined result, with all options on and recursion into a DLL folder.
#include <gtest/gtest.h>

#include "support/damage_sweep.h"
#include "support/lx_writer.h"
#include "support/ne_writer.h"

namespace {

SWEEP lx_sweep() {
    LX_FIXUP_REC list = lx_import_ordinal(2, 5);
    list.src = 0x27;
    list.src_list = {1, 2, 3};
    LX_FIXUP_REC selector;
    selector.src = 0x02;
    selector.flags = 0x00;
    LX_FIXUP_REC entry;
    entry.flags = 0x43;
    entry.first = 300;
    LX_DESC d;
    d.modules = {"A", "DOSCALLS", "MISSING"};
    d.procs = {"DosExit", "DosOpen"};
    d.records = {lx_import_ordinal(1, 7), lx_import_ordinal(1, 70000, 0x10), lx_import_ordinal(2, 9, 0x80),
                 lx_import_name(1, 0, 0x04), lx_import_name(3, lx_proc_offset(d, 1), 0x30), lx_import_name(2, 0, 0x66),
                 list, selector, entry};
    LX_DESC a;
    a.modules = {"DOSCALLS"};
    a.records = {lx_import_ordinal(1, 1)};
    SWEEP s;
    s.image = write_lx(d);
    s.folder = {{"A.DLL", write_lx(a)}, {"DOSCALLS.DLL", write_lx(LX_DESC{})}};
    s.options = {"l", "v"};
    s.allowed = {0, 3, 4, 6, 12, 55};
    s.flip = {{0, s.image.size()}};   // header and every table: the whole module is small
    return s;
}

SWEEP ne_sweep() {
    NE_DESC d = ne_module({"KERNEL", "USER", "MISSING"}, {ne_ordinal(1, 5), ne_ordinal(2, 7), ne_internal_ref(), ne_os_fixup()});
    uint16_t name = d.names.add("GetVersion");
    d.segs[0].relocs.push_back(ne_by_name(3, name));
    NE_SEG second;
    second.seg_size = 0x11;
    second.relocs = {ne_by_name(1, name), ne_ordinal(3, 2)};
    d.segs.push_back(second);
    NE_LAYOUT l;
    SWEEP s;
    s.image = write_ne(d, &l);
    s.folder = {{"KERNEL.DLL", write_ne(ne_module({}))}, {"USER.DLL", write_ne(ne_module({"KERNEL"}, {ne_ordinal(1, 1)}))}};
    s.options = {"l", "v", "c", "i", "o", "r", "s"};
    s.allowed = {0, 3, 4, 6, 12};
    // The DOS header, the NE header and its tables, and each relocation table (count and
    // records); the segment data bytes are never read.
    s.flip = {{0, l.entry_tbl}};
    for (size_t pos : l.reloc_tbl) s.flip.push_back({pos, pos + 2 + 8 * 6});
    return s;
}

TEST(Damage, LxEveryTruncation) { run_truncation_sweep(lx_sweep()); }
TEST(Damage, LxEveryBitFlip) { run_bit_flip_sweep(lx_sweep()); }
TEST(Damage, NeEveryTruncation) { run_truncation_sweep(ne_sweep()); }

TEST(Damage, NeEveryBitFlipOfHeaderTablesAndRelocations) { run_bit_flip_sweep(ne_sweep()); }

}  // namespace
