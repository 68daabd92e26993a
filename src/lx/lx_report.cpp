// The per-DLL report of an LX module: each imported module with its entries.
#include <string_view>

#include "common/report.h"
#include "lx/lx_internal.h"

namespace talvek {

// One entry of the last import, by ordinal or by name.
static void report_entry(REPORT_SINK* sink, const REF_NODE32* pNode, BYTE_SPAN import_procnmtbl) {
    REPORT_EVENT ev{RPT_ENTRY};
    ev.code = ENTRY_NOT_ASKED;
    ev.fOrdinal = pNode->type == REF_BY_ORDINAL;
    if (ev.fOrdinal)
        ev.ordinal = uint32_t(pNode->key);
    else   // an offset outside the table gives an empty name; one running past the buffer is cut there
        ev.text = get_lstr(import_procnmtbl, pNode->key);
    report(sink, ev);
}

void lx_report_import(CHECK_CONTEXT* ctx, const LX_MODULE* mod, uint32_t i, FOLLOW* next) {
    BYTE_SPAN import_procnmtbl{};
    sub_span(mod->fixup, mod->import_proc_ofs, mod->fixup.len - mod->import_proc_ofs, &import_procnmtbl);
    std::string_view dll = get_lstr(mod->fixup, mod->dllNameOfs.get()[i]);
    report_simple(ctx->sink, RPT_IMPORT, dll);
    for (const REF_NODE32* pNode = mod->refs.heads[i]; pNode; pNode = pNode->next)
        report_entry(ctx->sink, pNode, import_procnmtbl);
    next->file = std::string(dll);
    next->fSearch = true;
}

}  // namespace talvek
