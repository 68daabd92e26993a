// NE phase 3: the entries used from each imported DLL, and the check of each DLL in turn.
#include <cstdio>

#include "driver/dllfile.h"
#include "driver/driver.h"
#include "driver/run_record.h"
#include "ne/ne_internal.h"

namespace talvek {

static void print_entry(const NE_MODULE* mod, const REF_NODE* n) {
    if (n->type == REF_BY_ORDINAL) {
        record_entry(true, n->num, {}, RUN_NOT_CHECKED);
        levelprint(stdout);
        printf("  %3d (0x%04x)\n", int(n->num), unsigned(n->num));
        if (LoadVerbose) {
            levelprint(stdout);
            printf("  %3d (0x%04x)\n", int(n->num), unsigned(n->num));
        }
        return;
    }
    std::string_view tbuf2 = ne_import_name(mod, n->num);
    record_entry(false, 0, tbuf2, RUN_NOT_CHECKED);
    levelprint(stdout);
    printf("  %.*s.\n", int(tbuf2.size()), tbuf2.data());
    if (LoadVerbose) {
        levelprint(stdout);
        printf("  %.*s\n", int(tbuf2.size()), tbuf2.data());
    }
}

void ne_report(NE_MODULE* mod) {
    for (uint32_t k = 1; k <= mod->KAVRIExeHeader.num_modref; k++) {
        // A NUL ends every name, so the copy holds the whole name and ends where it does.
        mod->tbuf.assign(ne_module_name(mod, uint16_t(k)));
        levelprint(stdout);
        printf(Msg_Referenced, mod->tbuf.c_str());
        record_import(mod->tbuf);
        for (const REF_NODE* n = mod->ModRefBaseP.heads[k]; n; n = n->next) print_entry(mod, n);
        if (recurse) {
            mod->modname = dll_file_for(mod->tbuf, mod->filespec);
            proc_file(mod->modname.c_str(), FALSE);
        }
    }
}

}  // namespace talvek
