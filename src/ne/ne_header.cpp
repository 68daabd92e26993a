// NE phase 1 (header and the imported-names, segment and module reference tables) and
// phase 5 (the -s segment listing).
#include <cstdio>

#include "common/report.h"
#include "ne/ne_internal.h"

namespace talvek {

static void decode_ne_header(const uint8_t* b, KAVRI_EXE_HDR* h) {
    h->signature = le16(b + NEH_SIGNATURE);
    h->ofs_entry_tbl = le16(b + NEH_OFS_ENTRY_TBL);
    h->flags = le16(b + NEH_FLAGS);
    h->num_segs = le16(b + NEH_NUM_SEGS);
    h->num_modref = le16(b + NEH_NUM_MODREF);
    h->ofs_seg_tbl = le16(b + NEH_OFS_SEG_TBL);
    h->ofs_modref_tbl = le16(b + NEH_OFS_MODREF_TBL);
    h->ofs_impnam_tbl = le16(b + NEH_OFS_IMPNAM_TBL);
    h->align = le16(b + NEH_ALIGN);
    h->op_sys = b[NEH_OP_SYS];
}

// Reads a table of cb bytes at the 32-bit position pos into a block of exactly that size.
// A table the file cannot hold is a short read, found before anything is allocated.
// Returns 0, or reports and returns 3 (short read) or 6 (no memory).
static int32_t read_table(NE_MODULE* mod, uint32_t pos, uint64_t cb, MEM_PTR<uint8_t>* buf, BYTE_SPAN* span) {
    *span = BYTE_SPAN{nullptr, 0};
    if (cb == 0) return 0;
    if (pos > mod->cbFile || cb > mod->cbFile - pos) return report_error(mod->ctx->sink, ERR_READING, RC_READ_ERROR);
    buf->reset(static_cast<uint8_t*>(tool_alloc(mod->ctx->opt->alloc, size_t(cb))));
    if (!*buf) return report_error(mod->ctx->sink, ERR_NO_MEMORY, RC_NO_MEMORY);
    if (!read_at(mod->file.get(), pos, buf->get(), size_t(cb))) return report_error(mod->ctx->sink, ERR_READING, RC_READ_ERROR);
    *span = BYTE_SPAN{buf->get(), size_t(cb)};
    return 0;
}


int32_t ne_read_tables(NE_MODULE* mod, const DOS_EXE_HDR* DosExeHeaderP) {
    FILE* f = mod->file.get();
    const uint32_t ulNewHdr = DosExeHeaderP->ofs_KAVRI_hdr;
    uint8_t raw[NE_HDR_SIZE];
    if (!read_at(f, ulNewHdr, raw, sizeof raw) || !file_size(f, &mod->cbFile)) return report_error(mod->ctx->sink, ERR_READING, RC_READ_ERROR);
    KAVRI_EXE_HDR* h = &mod->KAVRIExeHeader;
    decode_ne_header(raw, h);

    if (h->signature != NE_SIGNATURE || h->op_sys > NE_OS_MAX_ACCEPTED) {
        if (h->op_sys != NE_OS_WINDOWS) return report_error(mod->ctx->sink, ERR_NOT_KAVRI, RC_BAD_FORMAT);
        REPORT_EVENT ev{RPT_NOTE};
        ev.note = NOTE_WINDOWS_MODULE;
        report(mod->ctx->sink, ev);
    }
    if (h->flags & NE_FLAG_LINK_ERRORS) return report_error(mod->ctx->sink, ERR_LINK_ERRORS, RC_LINK_ERRORS, mod->filespec);

    // The table runs up to the entry table. An entry table placed before it makes the
    // 32-bit difference wrap to a size that is never allocated: a memory failure.
    mod->tsize = uint32_t(h->ofs_entry_tbl) - uint32_t(h->ofs_impnam_tbl);
    if (mod->tsize == 0) {
        mod->fImportsNothing = true;
        return 0;
    }
    if (mod->tsize > UINT16_MAX) return report_error(mod->ctx->sink, ERR_NO_MEMORY, RC_NO_MEMORY);

    // Table positions are 32-bit sums, as a 32-bit loader computes them: they wrap.
    int32_t rc = read_table(mod, ulNewHdr + h->ofs_impnam_tbl, mod->tsize, &mod->ImportNameBuf, &mod->ImportNames);
    if (rc == 0)
        rc = read_table(mod, ulNewHdr + h->ofs_seg_tbl, uint64_t(h->num_segs) * NE_SEG_ENTRY_SIZE, &mod->SegTable,
                        &mod->Segs);
    if (rc == 0)
        rc = read_table(mod, ulNewHdr + h->ofs_modref_tbl, uint64_t(h->num_modref) * NE_MODREF_SIZE,
                        &mod->ModRefTable, &mod->ModRefs);
    if (rc == 0 && !alloc_ref_table(&mod->refs, h->num_modref, mod->ctx->opt->alloc)) rc = report_error(mod->ctx->sink, ERR_NO_MEMORY, RC_NO_MEMORY);
    return rc;
}

SEG_TBL_ENTRY ne_seg_entry(const NE_MODULE* mod, uint32_t i) {
    BYTE_CURSOR c{mod->Segs, uint64_t(i) * NE_SEG_ENTRY_SIZE, true};
    SEG_TBL_ENTRY e;
    e.sector_num = take_u16(&c);
    e.seg_size = take_u16(&c);
    e.seg_flags = take_u16(&c);
    e.min_alloc = take_u16(&c);
    return e;
}

std::string_view ne_import_name(const NE_MODULE* mod, uint32_t ofs) { return get_lstr(mod->ImportNames, ofs); }

std::string_view ne_module_name(const NE_MODULE* mod, uint16_t k) {
    uint16_t ofs = 0;
    if (k == 0 || !get_u16(mod->ModRefs, uint64_t(k - 1) * NE_MODREF_SIZE, &ofs)) return {};
    return ne_import_name(mod, ofs);
}

void ne_list_segments(const NE_MODULE* mod) {
    if (!mod->ctx->opt->segments) return;
    for (uint32_t i = 0; i < mod->KAVRIExeHeader.num_segs; i++) {
        SEG_TBL_ENTRY e = ne_seg_entry(mod, i);
        ne_listing(mod, "%x %x %x %x", unsigned(e.sector_num), unsigned(e.seg_size), unsigned(e.seg_flags),
                   unsigned(e.min_alloc));
    }
}

}  // namespace talvek
