// Writes whole NE modules from a description, for the NE tests and the benchmark.
#include "support/ne_writer.h"

#include <algorithm>
#include <stdexcept>

NE_RELOC ne_ordinal(uint16_t mod_idx, uint16_t ordinal) { return NE_RELOC{3, 1, 0, mod_idx, ordinal}; }
NE_RELOC ne_by_name(uint16_t mod_idx, uint16_t name_ofs) { return NE_RELOC{3, 2, 0, mod_idx, name_ofs}; }
NE_RELOC ne_internal_ref() { return NE_RELOC{3, 0, 0, 1, 1}; }
NE_RELOC ne_os_fixup() { return NE_RELOC{3, 3, 0, 1, 1}; }

uint16_t NE_NAMES::add(const std::string& name) {
    uint16_t ofs = uint16_t(bytes.size());
    add_lstr(bytes, name);
    return ofs;
}

NE_DESC ne_module(const std::vector<std::string>& dlls, const std::vector<NE_RELOC>& relocs) {
    NE_DESC d;
    for (const std::string& n : dlls) d.modrefs.push_back(d.names.add(n));
    NE_SEG s;
    s.relocs = relocs;
    d.segs.push_back(s);
    return d;
}

BYTES write_ne(const NE_DESC& d, NE_LAYOUT* layout) {
    NE_LAYOUT l;
    BYTES b = write_dos(d.dos);
    l.ne_hdr = d.dos.ofs_new_hdr;
    l.seg_tbl = l.ne_hdr + 64;
    size_t res_tbl = l.seg_tbl + 8 * d.segs.size();   // an empty resident-name table
    l.modref_tbl = res_tbl + 1;
    l.impnam_tbl = l.modref_tbl + 2 * d.modrefs.size();
    l.entry_tbl = l.impnam_tbl + d.names.bytes.size();   // an empty entry table, one byte
    size_t end = l.entry_tbl + 1;

    size_t h = l.ne_hdr;
    put_str(b, h, "NE");
    put_u8(b, h + 0x02, 5);   // linker version and revision
    put_u8(b, h + 0x03, 60);
    put_u16(b, h + NEF_OFS_ENTRY_TBL, uint16_t(l.entry_tbl - h));
    put_u16(b, h + 0x06, 1);
    put_u16(b, h + NEF_FLAGS, d.flags);
    put_u16(b, h + NEF_NUM_SEGS, uint16_t(d.segs.size()));
    put_u16(b, h + NEF_NUM_MODREF, uint16_t(d.modrefs.size()));
    put_u16(b, h + NEF_OFS_SEG_TBL, uint16_t(l.seg_tbl - h));
    put_u16(b, h + 0x24, uint16_t(res_tbl - h));
    put_u16(b, h + 0x26, uint16_t(res_tbl - h));
    put_u16(b, h + NEF_OFS_MODREF_TBL, uint16_t(l.modref_tbl - h));
    put_u16(b, h + NEF_OFS_IMPNAM_TBL, uint16_t(l.impnam_tbl - h));
    put_u16(b, h + NEF_ALIGN, d.align);
    put_u8(b, h + NEF_OP_SYS, d.op_sys);
    put_u8(b, res_tbl, 0);
    for (size_t i = 0; i < d.modrefs.size(); i++) put_u16(b, l.modref_tbl + 2 * i, d.modrefs[i]);
    put_bytes(b, l.impnam_tbl, d.names.bytes);
    put_u8(b, l.entry_tbl, 0);

    // Segment data in sectors of 2^align bytes (none for align 32 and above), and the
    // relocation table right behind each segment's data; positions wrap at 32 bits.
    uint32_t sector = d.align < 32 ? uint32_t(1) << d.align : 0;
    for (size_t i = 0; i < d.segs.size(); i++) {
        const NE_SEG& s = d.segs[i];
        uint16_t sector_num = 0;
        if (s.sector_num)
            sector_num = *s.sector_num;
        else if (sector) {
            size_t next = (end + sector - 1) / sector;
            if (next > 0xFFFF) throw std::runtime_error("write_ne: no sector number left for a segment");
            sector_num = uint16_t(next);
        }
        uint32_t data_pos = uint32_t(sector_num) * sector;
        uint32_t size = s.seg_size ? s.seg_size : 65536;
        uint32_t reloc_pos = data_pos + size;
        size_t e = 8 * i;
        put_u16(b, l.seg_tbl + e, sector_num);
        put_u16(b, l.seg_tbl + e + 2, s.seg_size);
        put_u16(b, l.seg_tbl + e + 4, s.seg_flags);
        put_u16(b, l.seg_tbl + e + 6, s.min_alloc);
        if (s.write_data) {
            if (b.size() < size_t(data_pos) + size) b.resize(size_t(data_pos) + size);
            for (uint32_t k = 0; k < size; k++) b[data_pos + k] = uint8_t(0x90 + k % 7);
        }
        l.reloc_tbl.push_back(reloc_pos);
        if (s.write_relocs) {
            size_t cb = 2 + 8 * s.relocs.size();
            if (b.size() < size_t(reloc_pos) + cb) b.resize(size_t(reloc_pos) + cb);
            put_u16(b, reloc_pos, s.num_reloc ? *s.num_reloc : uint16_t(s.relocs.size()));
            size_t p = size_t(reloc_pos) + 2;
            for (const NE_RELOC& r : s.relocs) {
                b[p] = r.reloc_type;
                b[p + 1] = r.flags;
                put_u16(b, p + 2, r.source_ofs);
                put_u16(b, p + 4, r.mod_idx);
                put_u16(b, p + 6, r.proc_idx);
                p += 8;
            }
        }
        end = std::max(end, b.size());
    }
    if (layout) *layout = l;
    return b;
}
