// The test-side LX module writer.
#include "support/lx_writer.h"

BYTES lx_record(const LX_FIXUP_REC& r) {
    BYTES b;
    add_u8(b, r.src);
    add_u8(b, r.flags);
    bool list = (r.src & 0x20) != 0;
    if (list)
        add_u8(b, uint8_t(r.src_list.size()));
    else
        add_u16(b, r.src_ofs);
    if (r.flags & 0x40)
        add_u16(b, r.first);
    else
        add_u8(b, uint8_t(r.first));
    switch (r.flags & 0x03) {
        case 0:
            if ((r.src & 0x0F) != 0x02) {
                if (r.flags & 0x10)
                    add_u32(b, r.second);
                else
                    add_u16(b, uint16_t(r.second));
            }
            break;
        case 1:
            if (r.flags & 0x80)
                add_u8(b, uint8_t(r.second));
            else if (r.flags & 0x10)
                add_u32(b, r.second);
            else
                add_u16(b, uint16_t(r.second));
            break;
        case 2:
            if (r.flags & 0x10)
                add_u32(b, r.second);
            else
                add_u16(b, uint16_t(r.second));
            break;
        default:
            break;
    }
    if (r.flags & 0x04) {
        if (r.flags & 0x20)
            add_u32(b, r.additive);
        else
            add_u16(b, uint16_t(r.additive));
    }
    if (list)
        for (uint16_t s : r.src_list) add_u16(b, s);
    return b;
}

LX_FIXUP_REC lx_import_ordinal(uint16_t mod, uint32_t ordinal, uint8_t extra) {
    LX_FIXUP_REC r;
    r.flags = uint8_t(0x01 | extra);
    r.first = mod;
    r.second = ordinal;
    return r;
}

LX_FIXUP_REC lx_import_name(uint16_t mod, uint32_t name_ofs, uint8_t extra) {
    LX_FIXUP_REC r;
    r.flags = uint8_t(0x02 | extra);
    r.first = mod;
    r.second = name_ofs;
    return r;
}

uint32_t lx_proc_offset(const LX_DESC& d, size_t i) {
    uint32_t ofs = 0;
    for (size_t k = 0; k < i; k++) ofs += 1 + uint32_t(d.procs[k].size());
    return ofs;
}

BYTES write_lx(const LX_DESC& d) {
    BYTES records;
    for (const LX_FIXUP_REC& r : d.records) add_bytes(records, lx_record(r));
    add_bytes(records, d.raw_records);
    BYTES impmod;
    if (d.impmod_raw)
        impmod = *d.impmod_raw;
    else
        for (const std::string& m : d.modules) add_lstr(impmod, m);
    BYTES procnm;
    if (d.procnm_raw)
        procnm = *d.procnm_raw;
    else
        for (const std::string& p : d.procs) add_lstr(procnm, p);

    uint32_t pg = LXW_HEADER_SIZE;
    uint32_t rec = pg + uint32_t(d.fixup_page_table.size());
    uint32_t mod = rec + uint32_t(records.size());
    uint32_t proc = mod + uint32_t(impmod.size());
    uint32_t end = proc + uint32_t(procnm.size());

    BYTES h(LXW_HEADER_SIZE, 0);
    put_u16(h, LXW_SIGNATURE, d.signature);
    put_u8(h, LXW_BYTE_ORDER, d.byte_order);
    put_u8(h, LXW_WORD_ORDER, d.word_order);
    put_u16(h, 8, 2);                   // cpu_type: 80386
    put_u16(h, LXW_OS_TYPE, d.os_type);
    put_u32(h, LXW_FLAGS, d.flags);
    put_u32(h, 40, 4096);               // page_size
    put_u32(h, LXW_FIXUP_SIZE, d.fixup_size.value_or(end - pg));
    put_u32(h, LXW_OFS_FIXUP_PG_TBL, d.ofs_fixup_pg_tbl.value_or(pg));
    put_u32(h, LXW_OFS_FIXUP_REC_TBL, d.ofs_fixup_rec_tbl.value_or(rec));
    put_u32(h, LXW_OFS_IMPMOD_TBL, d.ofs_impmod_tbl.value_or(mod));
    put_u32(h, LXW_NUM_IMPORT_ENT, d.num_import_ent.value_or(uint32_t(d.modules.size())));
    put_u32(h, LXW_OFS_IMPORT_PROC_TBL, d.ofs_import_proc_tbl.value_or(proc));

    BYTES b = write_module(d.dos, h);
    add_bytes(b, d.fixup_page_table);
    add_bytes(b, records);
    add_bytes(b, impmod);
    add_bytes(b, procnm);
    add_bytes(b, d.trailer);
    return b;
}

void damage_lx_u32(BYTES& image, const LX_DESC& d, size_t field, uint32_t v) {
    put_u32(image, d.dos.ofs_new_hdr + field, v);
}

LX_DESC lx_every_record_kind() {
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
    return d;
}
