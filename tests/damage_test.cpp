// Damaged LX, NE and PE modules: truncations and single-bit flips of the headers and tables,
// every one over the headers and a sample past them, end in a defined result with a valid -j
// document, with all options on and recursion into a DLL folder; a damaged PE module named is
// refused exactly when the loader refuses it as a DLL.
#include <gtest/gtest.h>

#include "support/damage_sweep.h"
#include "support/lx_writer.h"
#include "support/ne_writer.h"
#include "support/pe_writer.h"

namespace {

SWEEP lx_sweep() {
    LX_DESC d = lx_every_record_kind();
    LX_DESC a;
    a.modules = {"DOSCALLS"};
    a.records = {lx_import_ordinal(1, 1)};
    SWEEP s;
    s.image = write_lx(d);
    s.folder = {{"A.DLL", write_lx(a)}, {"DOSCALLS.DLL", write_lx(LX_DESC{})}};
    s.options = {"l", "v"};
    s.allowed = {0, 3, 4, 6, 12, 55};
    s.flip = {{0, s.image.size()}};   // header and every table: the whole module is small
    s.dense = d.dos.ofs_new_hdr + LXW_HEADER_SIZE;   // the DOS header and the LX header
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
    s.dense = l.seg_tbl;   // the DOS header and the NE header
    return s;
}

// fWide: the same modules as PE32+.
SWEEP pe_sweep(bool fWide) {
    auto width = [&](const PE_DESC& x) { return fWide ? pe_wide(x) : x; };
    PE_DESC d;
    d.imports = {{"a.dll", {pe_name("fa"), pe_ord(2)}}, {"b.dll", {pe_name("fb"), pe_name("nope")}}, {"gone.dll", {pe_ord(1)}}};
    d.delay_imports = {{"b.dll", {pe_name("fb"), pe_ord(1)}}, {"gone.dll", {pe_name("x")}}};
    PE_LAYOUT l;
    SWEEP s;
    s.image = write_pe(width(d), &l);
    PE_DESC a;
    a.exports = {PE_EXPORT{1, "fa", "", 0}, PE_EXPORT{2, "fwd", "b.fb", 0}};
    a.export_dir = true;
    a.imports = {{"b.dll", {pe_name("fb")}}};
    PE_DESC b;
    b.exports = {PE_EXPORT{1, "fb", "", 0}};
    b.export_dir = true;
    s.folder = {{"a.dll", write_pe(width(a))}, {"b.dll", write_pe(width(b))}};
    s.options = {"l", "v", "d"};
    s.allowed = {0, 3, 4, 6, 8};
    s.allow_unterminated = true;   // the PE format error has no line end
    // The headers and section table, the import data (descriptors, lookup tables, names) and
    // the delay-load descriptors.
    s.flip = {{0, l.sect_ofs + 40}, {l.import_ofs, l.dll_name_ofs.back() + 10}, {l.delay_ofs, l.delay_ofs + 3 * 32}};
    s.dense = l.sect_ofs + 40;   // the headers and the section table
    s.fPe = true;
    return s;
}

TEST(Damage, LxTruncations) { run_truncation_sweep(lx_sweep()); }
TEST(Damage, LxBitFlips) { run_bit_flip_sweep(lx_sweep()); }
TEST(Damage, NeTruncations) { run_truncation_sweep(ne_sweep()); }
TEST(Damage, NeBitFlipsOfHeaderTablesAndRelocations) { run_bit_flip_sweep(ne_sweep()); }
TEST(Damage, PeTruncations) { run_truncation_sweep(pe_sweep(false)); }
TEST(Damage, PeBitFlipsOfHeadersAndImports) { run_bit_flip_sweep(pe_sweep(false)); }
TEST(Damage, Pe64Truncations) { run_truncation_sweep(pe_sweep(true)); }
TEST(Damage, Pe64BitFlipsOfHeadersAndImports) { run_bit_flip_sweep(pe_sweep(true)); }

}  // namespace
