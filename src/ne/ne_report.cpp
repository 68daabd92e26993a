// NE phase 3: the entries used from each imported DLL; and the lines of the NE listings.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "common/report.h"
#include "ne/ne_internal.h"

namespace talvek {

void ne_listing(const NE_MODULE* mod, const char* fmt, ...) {
    va_list args, again;
    va_start(args, fmt);
    va_copy(again, args);
    int n = vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string line(n > 0 ? size_t(n) : 0, '\0');
    if (n > 0) vsnprintf(&line[0], line.size() + 1, fmt, again);
    va_end(again);
    REPORT_EVENT ev{RPT_LISTING};
    ev.text = line;
    report(mod->ctx->sink, ev);
}

static void report_entry(const NE_MODULE* mod, const REF_NODE* n) {
    REPORT_EVENT ev{RPT_ENTRY};
    ev.code = ENTRY_NOT_ASKED;
    ev.fOrdinal = n->type == REF_BY_ORDINAL;
    if (ev.fOrdinal)
        ev.ordinal = n->key;
    else
        ev.text = ne_import_name(mod, n->key);
    report(mod->ctx->sink, ev);
}

void ne_report_import(NE_MODULE* mod, uint32_t k, FOLLOW* next) {
    // A NUL ends every name, so the copy holds the whole name and ends where it does.
    mod->dll.assign(ne_module_name(mod, uint16_t(k)));
    report_simple(mod->ctx->sink, RPT_IMPORT, mod->dll);
    for (const REF_NODE* n = mod->refs.heads[k]; n; n = n->next) report_entry(mod, n);
    next->file = mod->dll;
    next->fSearch = true;
}

}  // namespace talvek
