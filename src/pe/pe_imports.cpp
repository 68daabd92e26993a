// The PE import directory walk and the reading of a whole module before its report.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/report.h"
#include "common/types.h"
#include "pe/pe_internal.h"
#include "platform/file_bytes.h"
#include "platform/fs.h"
#include "platform/loader.h"

namespace talvek {

// The filling walk of one module, with what it may still take from the file. Lookup tables
// may overlap or be shared among descriptors, and names among entries, so a small file
// could make the walk read and copy without end: D descriptors on one table of L entries
// give D x L entries, and every entry naming one 4 KiB name gives a 4 KiB copy each.
// The walk takes at most as many lookup entries as the file has room for, and copies at
// most twice the file's size of names (a linker writes every table and every name once,
// so a module made by one never comes near either). Past either limit, a lookup table
// ends, and a name reads as empty, as they do where a read comes up short.
struct IMPORT_WALK {
    PE_VIEW* fIn;
    const PE_HEADERS* hdr;   // the image's headers, for tables in virtual-address form
    REF_TABLE32* refs;
    NAME_POOL* pool;
    uint64_t cEntriesLeft;
    uint64_t cbNamesLeft;
    bool fNoMemory;          // a name copy or a list node could not be had: the walk stops
};

// A copy of a name as read; past the budget, an empty one. Null, with fNoMemory set, when
// no memory can be had.
static char* copy_name(IMPORT_WALK* w, std::string_view name) {
    if (name.size() >= w->cbNamesLeft) name = std::string_view();
    w->cbNamesLeft -= std::min<uint64_t>(w->cbNamesLeft, name.size() + 1);
    char* p = pool_copy(w->pool, name);
    if (!p) w->fNoMemory = true;
    return p;
}

// Records the entries of module i from its lookup table at ulTableRVA. A short read ends
// the list. Modules past 0xFFFF cannot be numbered in the lists and keep them empty. fVA:
// the table is of the VA form of delay-load tables, its hint/name entries read through
// pe_delay_rva.
static void read_lookup_table(IMPORT_WALK* w, uint64_t ulTableRVA, int32_t i, bool fVA = false) {
    if (i > int32_t(UINT16_MAX)) return;
    for (uint64_t rva = ulTableRVA;; rva += pe_lookup_size(w->fIn)) {
        PE_LOOKUP entry{};
        if (w->cEntriesLeft == 0) return;
        w->cEntriesLeft--;
        if (!pe_lookup_entry(w->fIn, rva, &entry) || entry.fEnd) return;
        bool fEntered;
        if (entry.fOrdinal) {
            fEntered = AddRelocEntry32(w->refs, uint16_t(i), entry.Value, REF_BY_ORDINAL);
        } else {
            std::string_view name;
            uint64_t hintRVA = fVA ? pe_delay_rva(w->hdr, true, entry.Value) : entry.Value;
            if (hintRVA <= UINT32_MAX) pe_hint_name_at(w->fIn, uint32_t(hintRVA), &name);
            char* copy = copy_name(w, name);
            fEntered = copy && AddRelocEntry32(w->refs, uint16_t(i), reinterpret_cast<uintptr_t>(copy), REF_BY_NAME);
        }
        if (!fEntered) {
            w->fNoMemory = true;
            return;
        }
    }
}

int32_t ReadImportDirTable(PE_VIEW* fIn, const DATA_DIR* SectionAddr, char** NameTable, int32_t cNames,
                           REF_TABLE32* refs, NAME_POOL* pool, bool* pfNoMemory) {
    const DATA_DIR& dir = SectionAddr[PE_DIR_IMPORT];
    if (dir.RVA == 0 || !dir.fMapped) return 0;
    uint64_t cbFile = fIn->file.len;
    IMPORT_WALK w{fIn, nullptr, refs, pool, cbFile / pe_lookup_size(fIn), 2 * cbFile + PE_BUF_SIZE, false};
    int32_t i = 0;
    for (uint64_t rva = dir.RVA;; rva += PE_IMPORT_DESC_SIZE) {
        PE_IMPORT_DESC desc{};
        if (!pe_import_desc(fIn, rva, &desc) || i == INT32_MAX) break;
        uint32_t lookupAddr = desc.LookupRVA;
        uint32_t nameAddr = desc.NameRVA;
        uint32_t iatAddr = desc.IatRVA;
        // The directory ends where the loader ends it: at a descriptor without a name or
        // without an address table. Linkers that leave the lookup table RVA at 0 keep the
        // lookup entries only in the address table, which is then read in its place.
        if (nameAddr == 0 || iatAddr == 0) break;
        if (NameTable && i >= cNames) break;
        i++;
        if (!NameTable) continue;
        std::string_view name;
        pe_name_at(fIn, nameAddr, PE_BUF_SIZE, &name);
        NameTable[i] = copy_name(&w, name);
        if (NameTable[i]) read_lookup_table(&w, lookupAddr != 0 ? lookupAddr : iatAddr, i);
        if (w.fNoMemory) break;
    }
    *pfNoMemory = w.fNoMemory;
    return i;
}

int32_t ReadDelayImportTable(PE_IMAGE* im, char** NameTable, int32_t cNames, REF_TABLE32* refs,
                             NAME_POOL* pool, bool* pfNoMemory) {
    PE_DIR dir{};
    if (!pe_data_dir(im, PE_DIR_DELAY_IMPORT, &dir)) return 0;
    uint64_t cbFile = im->view.file.len;
    IMPORT_WALK w{&im->view, &im->hdr, refs, pool, cbFile / pe_lookup_size(&im->view), 2 * cbFile + PE_BUF_SIZE, false};
    // Overlapping sections can show the same file bytes at many RVAs, so the descriptors are
    // limited to as many as the file has room for, as lookup entries are.
    uint64_t cDescLeft = cbFile / PE_DELAY_DESC_SIZE;
    int32_t i = 0;
    for (uint64_t rva = dir.RVA; cDescLeft > 0 && i < INT32_MAX; rva += PE_DELAY_DESC_SIZE, cDescLeft--) {
        PE_DELAY_DESC desc{};
        if (!pe_delay_desc(im, rva, &desc) || desc.fEnd) break;
        if (NameTable && i >= cNames) break;
        i++;
        if (!NameTable) continue;
        // A name that cannot be read whole reads as empty: the loader would fail on it.
        std::string_view name;
        if (!pe_name_at(&im->view, desc.NameRVA, PE_BUF_SIZE, &name)) name = std::string_view();
        NameTable[i] = copy_name(&w, name);
        if (NameTable[i]) read_lookup_table(&w, desc.IntRVA, i, desc.fVA);
        if (w.fNoMemory) break;
    }
    *pfNoMemory = w.fNoMemory;
    return i;
}

// The delay-load tables of mod, read the loader's way (each RVA through the first section
// that holds it) from the whole file.
static int32_t read_delay_imports(CHECK_CONTEXT* ctx, PE_MODULE* mod, BYTE_SPAN file) {
    PE_IMAGE image;
    PE_DIR dir{};
    if (pe_parse_image(file, &image, PE_TABLE_AS_PRESENT).problem != PE_FINE || !pe_data_dir(&image, PE_DIR_DELAY_IMPORT, &dir))
        return RC_OK;
    image.view.fWide = mod->fWide;   // lookup entries of the module's width, as the static ones
    bool fNoMemory = false;
    int32_t n = ReadDelayImportTable(&image, nullptr, 0, nullptr, nullptr, &fNoMemory);
    ALLOC_FN alloc = ctx->opt->alloc;
    if (!alloc_ref_table(&mod->delayRefs, uint64_t(n), alloc)) return report_error(ctx->sink, ERR_NO_MEMORY, RC_NO_MEMORY);
    mod->delayDllNames = static_cast<char**>(tool_alloc_array(alloc, uint64_t(n) + 1, sizeof(char*)));
    if (!mod->delayDllNames) return report_error(ctx->sink, ERR_NO_MEMORY, RC_NO_MEMORY);
    for (int32_t i = 0; i <= n; i++) mod->delayDllNames[i] = nullptr;
    mod->numDelayMods = ReadDelayImportTable(&image, mod->delayDllNames, n, &mod->delayRefs, &mod->names, &fNoMemory);
    return fNoMemory ? report_fatal(ctx->sink, ERR_NO_MEMORY, RC_NO_MEMORY) : RC_OK;
}

// Reports that the loader would refuse the image of mod: what and where, and as its cause
// the one step of loading the file itself.
static void report_refused(CHECK_CONTEXT* ctx, PE_MODULE* mod, const std::string& what, uint64_t where) {
    char place[32];
    snprintf(place, sizeof place, "0x%llx", static_cast<unsigned long long>(where));
    LOAD_FAILURE why;
    why.error = LOAD_ERR_BAD_EXE_FORMAT;
    why.reason = what + " (at " + place + ")";
    why.chain.resize(1);
    why.chain[0].dll = std::string(base_name(mod->filespec));
    why.chain[0].file = std::string(mod->filespec);
    why.chain[0].error = LOAD_ERR_BAD_EXE_FORMAT;
    std::string text = what + ", at " + place;
    REPORT_EVENT ev{RPT_ERROR};
    ev.error = ERR_NOT_LOADABLE;
    ev.text = text;
    ev.cause = &why;
    report(ctx->sink, ev);
    mod->fRefused = true;
}

// The loader's reading of a module no loader took, under -e, -j and -x, where its verdict
// counts: the report reads headers, sections and imports leniently, so a file cut short or
// with inconsistent headers can pass it, while the loader refuses the file (193) and would
// refuse it as a DLL too. The module's own process is that of its Machine, so a magic that is
// not the machine's makes it no image for any process.
static void judge_image(CHECK_CONTEXT* ctx, PE_MODULE* mod, BYTE_SPAN file) {
    const OPTIONS* opt = ctx->opt;
    if (!ctx->fUntaken || !(opt->exit_missing || opt->json_report || opt->check_failed_dlls)) return;
    PE_IMAGE image;
    PE_IMPORT_TABLES imports;
    PE_STATUS st = pe_parse_image(file, &image);
    if (st.problem == PE_FINE) st = pe_read_imports(&image, &imports);
    if (st.problem != PE_FINE) {
        report_refused(ctx, mod, pe_problem_text(st.problem), st.where);
        return;
    }
    if (pe_loadable_for(&image.hdr, image.hdr.Machine)) return;
    uint32_t ofsPE = 0;
    get_u32(file, PE_OFS_NEW_HDR, &ofsPE);
    char what[96];
    snprintf(what, sizeof what, "the optional header's magic 0x%x is not that of its machine 0x%x",
             unsigned(image.hdr.Magic), unsigned(image.hdr.Machine));
    report_refused(ctx, mod, what, uint64_t(ofsPE) + PE_FILE_HDR_END + PE_OPT_MAGIC);
}

int32_t pe_read_module(CHECK_CONTEXT* ctx, PE_MODULE* mod, const DOS_EXE_HDR* DosExeHeaderP, FILE* ifile) {
    REPORT_SINK* sink = ctx->sink;
    ALLOC_FN alloc = ctx->opt->alloc;
    mod->names.alloc = alloc;
    if (!read_at(ifile, DosExeHeaderP->ofs_KAVRI_hdr, nullptr, 0)) {
        return report_error(sink, ERR_READING, RC_READ_ERROR);
    }
    FILE_BYTES bytes;
    if (!map_open_file(ctx->mem, ifile, &bytes)) return report_error(sink, ERR_READING, RC_READ_ERROR);
    const BYTE_SPAN file = bytes.span();
    MEM_PTR<uint8_t> Buf(static_cast<uint8_t*>(tool_alloc(alloc, PE_BUF_SIZE)));
    if (!Buf) return report_error(sink, ERR_NO_MEMORY, RC_NO_MEMORY);
    GetPEHeader(file, Buf.get(), &mod->ulBase);
    // A header that GetPEHeader could not find is as malformed as one of a wrong size.
    if (mod->ulBase == 0) return report_pe_format_error(sink);
    // Buf holds the header bytes the file has and zeros past them, as a cut field reads.
    PE_HEADERS hdr;
    pe_decode_loader_headers(BYTE_SPAN{Buf.get(), PE_BUF_SIZE}, &hdr);
    mod->fWide = pe_report_layout(&hdr) == PE_LAYOUT_PE32PLUS;
    if (mod->fWide != hdr.fWide) pe_decode_headers(BYTE_SPAN{Buf.get(), PE_BUF_SIZE}, mod->fWide, &hdr);
    mod->usNumberOfSections = hdr.NumberOfSections;
    mod->Machine = hdr.Machine;
    mod->fDll = (hdr.Characteristics & PE_FILE_DLL) != 0;
    int32_t rc = ReadPEHeader(sink, &hdr, mod->SectionAddr, &mod->ulBase);
    if (rc != RC_OK) return rc;
    Buf.reset();
    judge_image(ctx, mod, file);

    // Every section header is mapped; headers past the end of the file read as zeros,
    // which hold no RVA, so only the headers the file holds are taken.
    uint64_t cbTable = uint64_t(mod->usNumberOfSections) * PE_SECTION_HDR_SIZE;
    BYTE_SPAN table{nullptr, 0};
    if (mod->ulBase < file.len) sub_span(file, mod->ulBase, std::min(cbTable, file.len - mod->ulBase), &table);
    ReadSectionTable(table, mod->usNumberOfSections, mod->SectionAddr);

    const DATA_DIR& imports = mod->SectionAddr[PE_DIR_IMPORT];
    PE_VIEW view = pe_displaced_view(file, mod->fWide, imports.RVA, imports.Physical_Addr);
    bool fNoMemory = false;
    mod->numMods = ReadImportDirTable(&view, mod->SectionAddr, nullptr, 0, nullptr, nullptr, &fNoMemory);
    REPORT_EVENT count{RPT_COUNT};
    count.code = mod->numMods;
    count.machine = mod->Machine;
    report(sink, count);
    if (!alloc_ref_table(&mod->refs, uint64_t(mod->numMods), alloc)) return report_error(sink, ERR_NO_MEMORY, RC_NO_MEMORY);
    mod->dllNames = static_cast<char**>(tool_alloc_array(alloc, uint64_t(mod->numMods) + 1, sizeof(char*)));
    if (!mod->dllNames) return report_error(sink, ERR_NO_MEMORY, RC_NO_MEMORY);
    for (int32_t i = 0; i <= mod->numMods; i++) mod->dllNames[i] = nullptr;
    mod->numMods = ReadImportDirTable(&view, mod->SectionAddr, mod->dllNames, mod->numMods, &mod->refs,
                                      &mod->names, &fNoMemory);
    if (fNoMemory) return report_fatal(sink, ERR_NO_MEMORY, RC_NO_MEMORY);
    return ctx->opt->delay_load ? read_delay_imports(ctx, mod, file) : RC_OK;
}

}  // namespace talvek
