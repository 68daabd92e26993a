// The LX header, the fixup section read in one piece, and the import module name table.
#include <cstdio>

#include "common/report.h"
#include "lx/lx_internal.h"

namespace talvek {

void decode_lx_header(const uint8_t* b, KAVRI_LX_EXEHEADER* hdr) {
    hdr->signature = le16(b + LXH_SIGNATURE);
    hdr->byte_order = b[LXH_BYTE_ORDER];
    hdr->word_order = b[LXH_WORD_ORDER];
    hdr->os_type = le16(b + LXH_OS_TYPE);
    hdr->flags = le32(b + LXH_FLAGS);
    hdr->fixup_size = le32(b + LXH_FIXUP_SIZE);
    hdr->ofs_fixup_pg_tbl = le32(b + LXH_OFS_FIXUP_PG_TBL);
    hdr->ofs_fixup_rec_tbl = le32(b + LXH_OFS_FIXUP_REC_TBL);
    hdr->ofs_impmod_tbl = le32(b + LXH_OFS_IMPMOD_TBL);
    hdr->num_import_ent = le32(b + LXH_NUM_IMPORT_ENT);
    hdr->ofs_import_proc_tbl = le32(b + LXH_OFS_IMPORT_PROC_TBL);
}

// The four tables follow one another inside the fixup section; the sum is taken in 64 bits,
// so a section end beyond 4 GiB cannot wrap to a small number.
static bool lx_tables_in_order(const KAVRI_LX_EXEHEADER& h) {
    return h.ofs_fixup_pg_tbl <= h.ofs_fixup_rec_tbl && h.ofs_fixup_rec_tbl <= h.ofs_impmod_tbl &&
           h.ofs_impmod_tbl <= h.ofs_import_proc_tbl &&
           h.ofs_import_proc_tbl <= uint64_t(h.ofs_fixup_pg_tbl) + h.fixup_size;
}

int32_t lx_read_fixup_section(CHECK_CONTEXT* ctx, LX_MODULE* mod, const DOS_EXE_HDR* DosExeHeaderP, FILE* ifile) {
    KAVRI_LX_EXEHEADER& h = mod->KAVRILXExeHeader;
    uint8_t raw[LX_HDR_SIZE];
    if (!read_at(ifile, DosExeHeaderP->ofs_KAVRI_hdr, raw, sizeof raw)) return report_error(ctx->sink, ERR_READING, RC_READ_ERROR);
    decode_lx_header(raw, &h);
    if (h.signature != LX_SIGNATURE || h.os_type > LX_OS_KAVRI) return report_error(ctx->sink, ERR_NOT_KAVRI, RC_BAD_FORMAT);
    if (h.byte_order != 0 || h.word_order != 0) return report_error(ctx->sink, ERR_BAD_ENDIAN, RC_BAD_FORMAT);
    if (h.flags & LX_FLAG_NOT_LOADABLE) return report_error(ctx->sink, ERR_LINK_ERRORS, RC_LINK_ERRORS, mod->filespec);
    if (!lx_tables_in_order(h)) return report_error(ctx->sink, ERR_NOT_KAVRI, RC_BAD_FORMAT);

    // The section must lie in the file before its buffer is taken, so a hostile fixup_size
    // costs a read error rather than an allocation of gigabytes.
    uint64_t ulStart = uint64_t(DosExeHeaderP->ofs_KAVRI_hdr) + h.ofs_fixup_pg_tbl;
    uint64_t ulFileSize = 0;
    if (!file_size(ifile, &ulFileSize)) return report_error(ctx->sink, ERR_READING, RC_READ_ERROR);
    uint64_t ulHeld = ulStart <= ulFileSize ? ulFileSize - ulStart : 0;
    if (h.fixup_size > ulHeld) return report_error(ctx->sink, ERR_READING, RC_READ_ERROR);

    mod->fixup_sectionp.reset(static_cast<uint8_t*>(tool_alloc(ctx->opt->alloc, h.fixup_size)));
    if (!mod->fixup_sectionp) return report_error(ctx->sink, ERR_NO_MEMORY, RC_NO_MEMORY);
    if (h.fixup_size > 0 && !read_at(ifile, ulStart, mod->fixup_sectionp.get(), h.fixup_size))
        return report_error(ctx->sink, ERR_READING, RC_READ_ERROR);
    mod->fixup = BYTE_SPAN{mod->fixup_sectionp.get(), h.fixup_size};
    mod->rec_ofs = h.ofs_fixup_rec_tbl - h.ofs_fixup_pg_tbl;
    mod->impmod_ofs = h.ofs_impmod_tbl - h.ofs_fixup_pg_tbl;
    mod->import_proc_ofs = h.ofs_import_proc_tbl - h.ofs_fixup_pg_tbl;
    return RC_OK;
}

int32_t lx_read_name_tables(CHECK_CONTEXT* ctx, LX_MODULE* mod) {
    uint32_t N = mod->KAVRILXExeHeader.num_import_ent;
    // Every name takes at least its length byte, so more names than bytes cannot fit.
    if (N > mod->import_proc_ofs - mod->impmod_ofs) return report_error(ctx->sink, ERR_BAD_MODULE_TABLE, RC_BAD_MODULE_TABLE);
    if (!alloc_ref_table(&mod->refs, N, ctx->opt->alloc)) return report_error(ctx->sink, ERR_NO_MEMORY, RC_NO_MEMORY);
    mod->dllNameOfs.reset(static_cast<uint64_t*>(tool_alloc_array(ctx->opt->alloc, uint64_t(N) + 1, sizeof(uint64_t))));
    if (!mod->dllNameOfs) return report_error(ctx->sink, ERR_NO_MEMORY, RC_NO_MEMORY);
    mod->cMods = N;
    uint64_t* names = mod->dllNameOfs.get();
    names[0] = 0;
    uint64_t ulPos = mod->impmod_ofs;
    uint64_t i = 1;
    for (; ulPos < mod->import_proc_ofs && i <= N; i++) {
        uint8_t cb = 0;
        // The last name may run into the procedure name table, but not past the buffer.
        if (!get_u8(mod->fixup, ulPos, &cb) || !span_has(mod->fixup, ulPos + 1, cb)) return report_error(ctx->sink, ERR_BAD_MODULE_TABLE, RC_BAD_MODULE_TABLE);
        names[i] = ulPos;
        ulPos += 1 + uint64_t(cb);
    }
    if (ulPos < mod->import_proc_ofs || i <= N) return report_error(ctx->sink, ERR_BAD_MODULE_TABLE, RC_BAD_MODULE_TABLE);
    return RC_OK;
}

}  // namespace talvek
