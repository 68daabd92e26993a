// The fixup record table of an LX module: every record sized, the imports entered per DLL.
#include "common/reflist.h"
#include "common/report.h"
#include "lx/lx_internal.h"

namespace talvek {

bool lx_decode_fixup(BYTE_SPAN s, uint64_t pos, LX_FIXUP* fix) {
    BYTE_CURSOR c{s, pos, true};
    uint8_t src = take_u8(&c);
    uint8_t fix_flags = take_u8(&c);
    bool source_list_flag = (src & LX_SOURCE_LIST) != 0;
    uint8_t count = 0;
    if (source_list_flag)
        count = take_u8(&c);
    else
        skip_bytes(&c, 2);   // the single source offset

    uint8_t target_type = fix_flags & LX_TARGET_TYPE_MASK;
    bool target32_flag = (fix_flags & LX_TARGET32) != 0;
    // Object number, module ordinal or entry ordinal, by target type.
    uint16_t first = (fix_flags & LX_OBJ16) ? take_u16(&c) : take_u8(&c);
    uint32_t num = 0;
    switch (target_type) {
        case LX_TARGET_INTERNAL:
            // A 16-bit selector fixup names only the object, with no offset inside it.
            if ((src & LX_FIX_TYPE_MASK) != LX_FIX_SELECTOR16) skip_bytes(&c, target32_flag ? 4 : 2);
            break;
        case LX_TARGET_IMP_ORDINAL:
            // The 8-bit ordinal flag takes precedence over the 32-bit target flag.
            if (fix_flags & LX_ORD8)
                num = take_u8(&c);
            else
                num = target32_flag ? take_u32(&c) : take_u16(&c);
            break;
        case LX_TARGET_IMP_NAME:
            num = target32_flag ? take_u32(&c) : take_u16(&c);
            break;
        default:   // LX_TARGET_ENTRY: the entry ordinal alone
            break;
    }
    if (fix_flags & LX_ADDITIVE) skip_bytes(&c, (fix_flags & LX_ADD32) ? 4 : 2);
    if (source_list_flag) skip_bytes(&c, 2 * uint64_t(count));
    if (!c.ok) return false;
    fix->record_size = c.pos - pos;
    fix->target_type = target_type;
    fix->mod_ordinal = first;
    fix->num = num;
    return true;
}

int32_t lx_decode_fixups(CHECK_CONTEXT* ctx, LX_MODULE* mod) {
    // Records are read up to the end of the buffer, since the last one may overlap the
    // import module name table; the walk itself ends where that table begins.
    BYTE_SPAN recs{};
    if (!sub_span(mod->fixup, mod->rec_ofs, mod->fixup.len - mod->rec_ofs, &recs)) return RC_OK;
    uint64_t ulEnd = mod->impmod_ofs - mod->rec_ofs;
    LX_FIXUP fix{};
    // Every record has at least 4 bytes, so the walk always moves forward.
    for (uint64_t ulPos = 0; ulPos < ulEnd; ulPos += fix.record_size) {
        // A record that does not lie whole inside the buffer ends the walk, unrecorded.
        if (!lx_decode_fixup(recs, ulPos, &fix)) break;
        if (fix.target_type != LX_TARGET_IMP_ORDINAL && fix.target_type != LX_TARGET_IMP_NAME) continue;
        // Module ordinals count from 1; one outside the import module name table names no DLL.
        if (fix.mod_ordinal == 0 || fix.mod_ordinal > mod->cMods) continue;
        uint8_t type = fix.target_type == LX_TARGET_IMP_ORDINAL ? REF_BY_ORDINAL : REF_BY_NAME;
        if (!AddRelocEntry32(&mod->refs, fix.mod_ordinal, fix.num, type))
            return report_fatal(ctx->sink, ERR_NO_MEMORY, RC_NO_MEMORY);
    }
    return RC_OK;
}

}  // namespace talvek
