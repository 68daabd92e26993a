// NE phase 2 (the relocation scan with its -o and -r lines) and phases 4 and 6 (the -c
// and -i listings).
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/report.h"
#include "ne/ne_internal.h"

namespace talvek {

// Where a segment's relocation table starts: right behind the segment's data. Sums and
// products are 32-bit and wrap, as the format's loaders compute them.
static uint32_t reloc_table_pos(const SEG_TBL_ENTRY& e, uint16_t align) {
    uint32_t ulSector = align < NE_ALIGN_LIMIT ? uint32_t(1) << align : 0;
    uint32_t ulSize = e.seg_size ? uint32_t(e.seg_size) : NE_SEG_SIZE_FULL;
    return uint32_t(e.sector_num) * ulSector + ulSize;
}

// Module numbers outside 1..num_modref add no entry; the record is still shown.
// False when the entry's node cannot be had.
static bool add_import(NE_MODULE* mod, uint16_t mod_idx, uint16_t num, uint8_t type) {
    if (mod_idx < 1 || mod_idx > mod->KAVRIExeHeader.num_modref) return true;
    return AddRelocEntry(&mod->refs, mod_idx, num, type);
}

// Enters the imports of the records and reports the -o and -r lines. False when a list node
// cannot be had.
static bool scan_records(NE_MODULE* mod, BYTE_SPAN records) {
    const OPTIONS* opt = mod->ctx->opt;
    BYTE_CURSOR c{records, 0, true};
    while (c.pos < records.len) {
        take_u8(&c);                        // reloc_type: not consulted
        uint8_t flags = take_u8(&c);
        take_u16(&c);                       // source_ofs: not consulted
        uint16_t mod_idx = take_u16(&c);
        uint16_t proc_idx = take_u16(&c);
        if (!c.ok) break;
        switch (flags & NE_RELOC_TARGET_MASK) {
        case NE_TARGET_ORDINAL:
            if (!add_import(mod, mod_idx, proc_idx, REF_BY_ORDINAL)) return false;
            if (opt->ordinals) {
                std::string_view dll = ne_module_name(mod, mod_idx);
                ne_listing(mod, "Ordinal: mod_idx: >%.*s< (%u)  proc_idx %u", int(dll.size()), dll.data(), unsigned(mod_idx),
                           unsigned(proc_idx));
            }
            break;
        case NE_TARGET_NAME:
            if (!add_import(mod, mod_idx, proc_idx, REF_BY_NAME)) return false;
            if (opt->relocation) {
                std::string_view dll = ne_module_name(mod, mod_idx);
                std::string_view entry = ne_import_name(mod, proc_idx);
                ne_listing(mod, "Name: mod_idx: >%.*s< (%u)  proc_idx: >%.*s< (%u)", int(dll.size()), dll.data(),
                           unsigned(mod_idx), int(entry.size()), entry.data(), unsigned(proc_idx));
            }
            break;
        default:
            break;   // internal references and operating-system fixups import nothing
        }
    }
    return true;
}

// Reads the cb bytes of records at ulPos into RelocTable and scans them.
// Returns 0, or reports and returns 3 or 6 (no list node: the failure that ends the run).
static int32_t read_and_scan(NE_MODULE* mod, uint64_t ulPos, uint64_t cb) {
    REPORT_SINK* sink = mod->ctx->sink;
    mod->RelocTable.reset(static_cast<uint8_t*>(tool_alloc(mod->ctx->opt->alloc, size_t(cb))));
    if (!mod->RelocTable) return report_error(sink, ERR_NO_MEMORY, RC_NO_MEMORY);
    if (!read_at(mod->file.get(), ulPos, mod->RelocTable.get(), size_t(cb))) return report_error(sink, ERR_READING, RC_READ_ERROR);
    if (!scan_records(mod, BYTE_SPAN{mod->RelocTable.get(), size_t(cb)})) return report_fatal(sink, ERR_NO_MEMORY, RC_NO_MEMORY);
    mod->RelocTable.reset();
    return 0;
}

// The index of the lowest set bit of w, which is not 0.
static uint64_t low_bit(uint64_t w) {
    uint64_t n = 0;
    for (uint64_t step = 32; step != 0; step /= 2) {
        if ((w & ((uint64_t(1) << step) - 1)) == 0) {
            w >>= step;
            n += step;
        }
    }
    return n;
}

// The first slot in [from, to) of bitmap bm whose bit equals fSet; to when there is none.
// Whole words are skipped at a time.
static uint64_t next_slot(const uint64_t* bm, uint64_t from, uint64_t to, bool fSet) {
    while (from < to) {
        uint64_t w = bm[from / 64];
        if (!fSet) w = ~w;
        w &= ~uint64_t(0) << (from % 64);
        if (w != 0) return std::min(to, from / 64 * 64 + low_bit(w));
        from = from / 64 * 64 + 64;
    }
    return to;
}

static void mark_slots(uint64_t* bm, uint64_t from, uint64_t to) {
    for (; from < to && from % 64 != 0; from++) bm[from / 64] |= uint64_t(1) << (from % 64);
    for (; to - from >= 64; from += 64) bm[from / 64] = ~uint64_t(0);
    for (; from < to; from++) bm[from / 64] |= uint64_t(1) << (from % 64);
}

// Segments may share their relocation table, or overlap with one another: a hostile module
// can name one 65,535-record table from 65,535 segments. Without -o and -r nothing is
// reported as records are met, and a record at a file position already decoded gives the
// same entry again, which the lists ignore; so only the record slots not yet decoded are
// read, in file order. The lists end up exactly as a scan of every record leaves them.
static int32_t scan_new_records(NE_MODULE* mod, uint64_t ulRecords, uint64_t cRecords) {
    if (!mod->ScannedSlots) {
        mod->cSlotWords = (mod->cbFile / NE_RELOC_SIZE + 1 + 63) / 64;
        uint64_t cWords = mod->cSlotWords * NE_RELOC_SIZE;
        mod->ScannedSlots.reset(static_cast<uint64_t*>(tool_alloc_array(mod->ctx->opt->alloc, cWords, sizeof(uint64_t))));
        if (!mod->ScannedSlots) return report_error(mod->ctx->sink, ERR_NO_MEMORY, RC_NO_MEMORY);
        memset(mod->ScannedSlots.get(), 0, size_t(cWords * sizeof(uint64_t)));
    }
    // Slot k of class c is the record at file position 8 * k + c.
    uint64_t c = ulRecords % NE_RELOC_SIZE;
    uint64_t* bm = mod->ScannedSlots.get() + c * mod->cSlotWords;
    uint64_t first = ulRecords / NE_RELOC_SIZE, end = first + cRecords;
    for (uint64_t k = next_slot(bm, first, end, false); k < end;) {
        uint64_t kEnd = next_slot(bm, k, end, true);
        int32_t rc = read_and_scan(mod, k * NE_RELOC_SIZE + c, (kEnd - k) * NE_RELOC_SIZE);
        if (rc != 0) return rc;
        k = next_slot(bm, kEnd, end, false);
    }
    mark_slots(bm, first, end);
    return 0;
}

int32_t ne_scan_relocs(NE_MODULE* mod) {
    FILE* f = mod->file.get();
    const bool fEveryRecord = mod->ctx->opt->ordinals || mod->ctx->opt->relocation;   // each record met is reported
    for (uint32_t i = 0; i < mod->KAVRIExeHeader.num_segs; i++) {
        SEG_TBL_ENTRY e = ne_seg_entry(mod, i);
        if (!(e.seg_flags & NE_SEG_HAS_RELOCS)) continue;
        uint32_t reloc_pos = reloc_table_pos(e, mod->KAVRIExeHeader.align);
        uint8_t count[NE_RELOC_COUNT_SIZE];
        if (!read_at(f, reloc_pos, count, sizeof count)) return report_error(mod->ctx->sink, ERR_READING, RC_READ_ERROR);
        uint16_t num_reloc = le16(count);
        if (num_reloc == 0) continue;
        // The records are read only once the file is known to hold them all.
        uint64_t ulRecords = uint64_t(reloc_pos) + NE_RELOC_COUNT_SIZE;
        uint64_t cb = uint64_t(num_reloc) * NE_RELOC_SIZE;
        if (ulRecords > mod->cbFile || cb > mod->cbFile - ulRecords) return report_error(mod->ctx->sink, ERR_READING, RC_READ_ERROR);
        int32_t rc = fEveryRecord ? read_and_scan(mod, ulRecords, cb) : scan_new_records(mod, ulRecords, num_reloc);
        if (rc != 0) return rc;
    }
    return 0;
}

void ne_list_chains(const NE_MODULE* mod) {
    if (!mod->ctx->opt->reloc_chain) return;
    for (uint32_t k = 1; k <= mod->KAVRIExeHeader.num_modref; k++) {
        std::string_view dll = ne_module_name(mod, uint16_t(k));
        for (const REF_NODE* n = mod->refs.heads[k]; n; n = n->next) {
            if (n->type == REF_BY_ORDINAL) {
                ne_listing(mod, "Ordinal: >%.*s< %d", int(dll.size()), dll.data(), int(n->key));
            } else {
                std::string_view entry = ne_import_name(mod, n->key);
                ne_listing(mod, "Name: >%.*s< >%.*s<", int(dll.size()), dll.data(), int(entry.size()), entry.data());
            }
        }
    }
}

void ne_list_imports(const NE_MODULE* mod) {
    if (!mod->ctx->opt->imports) return;
    // The walk ends at the first empty name and at the end of the table; a length byte
    // that runs past the end shows the name cut there.
    uint64_t ofs = 0;
    uint8_t len = 0;
    while (get_u8(mod->ImportNames, ofs, &len) && len != 0) {
        std::string_view name = ne_import_name(mod, uint32_t(ofs));
        ne_listing(mod, ">%.*s<", int(name.size()), name.data());
        ofs += uint64_t(len) + 1;
    }
}

}  // namespace talvek
