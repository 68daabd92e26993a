// The per-DLL report of an LX module and the recursion into its DLLs.
#include <string_view>

#include "common/report.h"
#include "lx/lx_internal.h"

namespace talvek {

// One entry of the last import, by ordinal or by name.
static void report_entry(const REF_NODE32* pNode, BYTE_SPAN import_procnmtbl) {
    REPORT_EVENT ev{RPT_ENTRY};
    ev.code = ENTRY_NOT_ASKED;
    ev.fOrdinal = pNode->type == REF_BY_ORDINAL;
    if (ev.fOrdinal)
        ev.ordinal = uint32_t(pNode->num);
    else   // an offset outside the table gives an empty name; one running past the buffer is cut there
        ev.text = get_lstr(import_procnmtbl, pNode->num);
    report(ev);
}

int32_t lx_report(const LX_MODULE* mod, const char* filespec) {
    BYTE_SPAN import_procnmtbl{};
    sub_span(mod->fixup, mod->import_proc_ofs, mod->fixup.len - mod->import_proc_ofs, &import_procnmtbl);
    for (uint32_t i = 1; i <= mod->cMods; i++) {
        std::string_view tbuf = get_lstr(mod->fixup, mod->ModuleNameTblP.get()[i]);
        report_simple(RPT_IMPORT, tbuf);
        for (const REF_NODE32* pNode = mod->ModRefTblP.heads[i]; pNode; pNode = pNode->next)
            report_entry(pNode, import_procnmtbl);
        report_follow(filespec, tbuf, true);
    }
    report_simple(RPT_ALL_LOADED, filespec);
    return RC_OK;
}

}  // namespace talvek
