// The per-DLL report of an LX module and the recursion into its DLLs.
#include <cstdio>
#include <string>
#include <string_view>

#include "driver/dllfile.h"
#include "driver/driver.h"
#include "driver/messages.h"
#include "driver/run_record.h"
#include "lx/lx_internal.h"

namespace talvek {

// One entry line; with -v the same line a second time.
static void print_entry(const REF_NODE32* pNode, BYTE_SPAN import_procnmtbl) {
    int cPrints = LoadVerbose ? 2 : 1;
    if (pNode->type == REF_BY_ORDINAL) {
        uint32_t ulOrdinal = uint32_t(pNode->num);
        for (int k = 0; k < cPrints; k++) {
            levelprint(stdout);
            fprintf(stdout, "  %3d (0x%04x)\n", int(int32_t(ulOrdinal)), unsigned(ulOrdinal));
        }
        record_entry(true, ulOrdinal, {}, RUN_NOT_CHECKED);
        return;
    }
    // An offset outside the table gives an empty name; one running past the buffer is cut there.
    std::string_view name = get_lstr(import_procnmtbl, pNode->num);
    record_entry(false, 0, name, RUN_NOT_CHECKED);
    for (int k = 0; k < cPrints; k++) {
        levelprint(stdout);
        fprintf(stdout, "  %.*s\n", int(name.size()), name.data());
    }
}

int32_t lx_report(const LX_MODULE* mod, const char* filespec) {
    BYTE_SPAN import_procnmtbl{};
    sub_span(mod->fixup, mod->import_proc_ofs, mod->fixup.len - mod->import_proc_ofs, &import_procnmtbl);
    for (uint32_t i = 1; i <= mod->cMods; i++) {
        // A heap copy: the message's %s needs a terminator, and a name is never cut.
        std::string tbuf(get_lstr(mod->fixup, mod->ModuleNameTblP.get()[i]));
        levelprint(stdout);
        fprintf(stdout, Msg_Referenced, tbuf.c_str());
        record_import(tbuf);
        for (const REF_NODE32* pNode = mod->ModRefTblP.heads[i]; pNode; pNode = pNode->next)
            print_entry(pNode, import_procnmtbl);
        if (recurse) {
            std::string modname = dll_file_for(tbuf, filespec);
            proc_file(modname.c_str(), FALSE);
        }
    }
    if (!silent_recurse) {
        levelprint(stdout);
        fprintf(stdout, Msg_OK, filespec);
    }
    return RC_OK;
}

}  // namespace talvek
