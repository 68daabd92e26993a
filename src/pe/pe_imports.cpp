// The PE import directory walk and the reading of a whole module before its report.
#include <cstdlib>
#include <cstring>

#include "common/types.h"
#include "driver/driver.h"
#include "pe/pe_internal.h"

namespace talvek {

[[noreturn]] static void out_of_name_memory() {
    fflush(stdout);
    fputs(Err_NoMemory, stderr);
    XExit(RC_NO_MEMORY);
}

// The filling walk of one module, with what it may still take from the file. Lookup tables
// may overlap or be shared among descriptors, and names among entries, so a small file
// could make the walk read and copy without end: D descriptors on one table of L entries
// give D x L entries, and every entry naming one 4 KiB name gives a 4 KiB copy each.
// The walk takes at most as many lookup entries as the file has room for, and copies at
// most twice the file's size of names (a linker writes every table and every name once,
// so a module made by one never comes near either). Past either limit, a lookup table
// ends, and a name reads as empty, as they do where a read comes up short.
struct IMPORT_WALK {
    PE_IMAGE* fIn;
    REF_TABLE32* ModRefTblP;
    NAME_POOL* pool;
    uint64_t cEntriesLeft;
    uint64_t cbNamesLeft;
};

// A copy of a name as read; past the budget, an empty one.
static char* copy_name(IMPORT_WALK* w, std::string_view name) {
    if (name.size() >= w->cbNamesLeft) name = std::string_view();
    w->cbNamesLeft -= std::min<uint64_t>(w->cbNamesLeft, name.size() + 1);
    char* p = pool_copy(w->pool, name);
    if (!p) out_of_name_memory();
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
        if (entry.fOrdinal) {
            AddRelocEntry32(w->ModRefTblP, uint16_t(i), entry.Value, REF_BY_ORDINAL);
        } else {
            std::string_view name;
            uint64_t hintRVA = pe_delay_rva(w->fIn, fVA, entry.Value);
            if (hintRVA <= UINT32_MAX) pe_hint_name_at(w->fIn, uint32_t(hintRVA), &name);
            char* copy = copy_name(w, name);
            AddRelocEntry32(w->ModRefTblP, uint16_t(i), reinterpret_cast<uintptr_t>(copy), REF_BY_NAME);
        }
    }
}

int32_t ReadImportDirTable(PE_IMAGE* fIn, const DATA_DIR* SectionAddr, char** NameTable, int32_t cNames,
                           REF_TABLE32* ModRefTblP, NAME_POOL* pool) {
    const DATA_DIR& dir = SectionAddr[PE_DIR_IMPORT];
    if (dir.RVA == 0 || !dir.fMapped) return 0;
    uint64_t cbFile = fIn->reader->cbFile;
    IMPORT_WALK w{fIn, ModRefTblP, pool, cbFile / pe_lookup_size(fIn), 2 * cbFile + PE_BUF_SIZE};
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
        read_lookup_table(&w, lookupAddr != 0 ? lookupAddr : iatAddr, i);
    }
    return i;
}

int32_t ReadDelayImportTable(PE_IMAGE* im, char** NameTable, int32_t cNames, REF_TABLE32* ModRefTblP,
                             NAME_POOL* pool) {
    PE_DIR dir{};
    if (!pe_data_dir(im, PE_DIR_DELAY_IMPORT, &dir)) return 0;
    uint64_t cbFile = im->file.len;
    IMPORT_WALK w{im, ModRefTblP, pool, cbFile / pe_lookup_size(im), 2 * cbFile + PE_BUF_SIZE};
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
        if (!pe_name_at(im, desc.NameRVA, PE_BUF_SIZE, &name)) name = std::string_view();
        NameTable[i] = copy_name(&w, name);
        read_lookup_table(&w, desc.IntRVA, i, desc.fVA);
    }
    return i;
}

// The delay-load tables of mod, whose signature is at ofsPE, read the loader's way (each RVA
// through the first section that holds it) from the whole file, which the reader's windows
// do not hold. Most modules have none, which their headers tell before the file is read.
static int32_t read_delay_imports(PE_MODULE* mod, PE_READER* reader, uint64_t ofsPE) {
    PE_HEADERS h;
    PE_DIR dir{};
    pe_decode_loader_headers(pe_read(reader, ofsPE, PE_BUF_SIZE), &h);
    if (!pe_header_dir(&h, PE_DIR_DELAY_IMPORT, &dir)) return RC_OK;
    if (reader->cbFile > SIZE_MAX) return report_error(Err_NoMemory, RC_NO_MEMORY);
    size_t cbFile = size_t(reader->cbFile);
    MEM_PTR<uint8_t> file(static_cast<uint8_t*>(tool_alloc(cbFile)));
    if (!file) return report_error(Err_NoMemory, RC_NO_MEMORY);
    // A file that cannot be read again holds no delay-load tables for the report.
    if (!read_at(reader->f, 0, file.get(), cbFile)) cbFile = 0;
    PE_IMAGE image;
    if (!pe_parse_image(BYTE_SPAN{file.get(), cbFile}, &image, PE_TABLE_AS_PRESENT)) return RC_OK;
    image.fWide = mod->fWide;   // lookup entries of the module's width, as the static ones
    int32_t n = ReadDelayImportTable(&image, nullptr, 0, nullptr, nullptr);
    if (!alloc_ref_table(&mod->DelayRefTblP, uint64_t(n))) return report_error(Err_NoMemory, RC_NO_MEMORY);
    mod->DelayNameTblP = static_cast<char**>(tool_alloc_array(uint64_t(n) + 1, sizeof(char*)));
    if (!mod->DelayNameTblP) return report_error(Err_NoMemory, RC_NO_MEMORY);
    for (int32_t i = 0; i <= n; i++) mod->DelayNameTblP[i] = nullptr;
    mod->numDelayMods = ReadDelayImportTable(&image, mod->DelayNameTblP, n, &mod->DelayRefTblP, &mod->names);
    return RC_OK;
}

int32_t pe_read_module(PE_MODULE* mod, const DOS_EXE_HDR* DosExeHeaderP, FILE* ifile) {
    if (!read_at(ifile, DosExeHeaderP->ofs_KAVRI_hdr, nullptr, 0)) {
        return report_error(Err_Reading, RC_READ_ERROR);
    }
    MEM_PTR<uint8_t> Buf(static_cast<uint8_t*>(tool_alloc(PE_BUF_SIZE)));
    PE_READER reader{};
    if (!Buf || !open_pe_reader(&reader, ifile)) {
        close_pe_reader(&reader);
        return report_error(Err_NoMemory, RC_NO_MEMORY);
    }
    GetPEHeader(ifile, Buf.get(), &mod->ulBase);
    // A header that GetPEHeader could not find is as malformed as one of a wrong size.
    if (mod->ulBase == 0) BadFile(PE_BAD_FORMAT_TEXT);
    // Buf holds the header bytes the file has and zeros past them, as a cut field reads.
    PE_HEADERS hdr;
    pe_decode_loader_headers(BYTE_SPAN{Buf.get(), PE_BUF_SIZE}, &hdr);
    mod->fWide = pe_report_layout(&hdr) == PE_LAYOUT_PE32PLUS;
    if (mod->fWide != hdr.fWide) pe_decode_headers(BYTE_SPAN{Buf.get(), PE_BUF_SIZE}, mod->fWide, &hdr);
    mod->usNumberOfSections = hdr.NumberOfSections;
    mod->Machine = hdr.Machine;
    ReadPEHeader(&hdr, mod->SectionAddr, &mod->ulBase);
    Buf.reset();

    // Every section header is mapped; headers past the end of the file read as zeros,
    // which hold no RVA, so only the headers the file holds are taken.
    uint64_t cbTable = uint64_t(mod->usNumberOfSections) * PE_SECTION_HDR_SIZE;
    uint64_t cbPresent = mod->ulBase < reader.cbFile ? std::min(cbTable, reader.cbFile - mod->ulBase) : 0;
    MEM_PTR<uint8_t> table(static_cast<uint8_t*>(tool_alloc(size_t(cbPresent))));
    if (!table) {
        close_pe_reader(&reader);
        return report_error(Err_NoMemory, RC_NO_MEMORY);
    }
    if (!read_at(ifile, mod->ulBase, table.get(), size_t(cbPresent))) cbPresent = 0;
    ReadSectionTable(BYTE_SPAN{table.get(), size_t(cbPresent)}, mod->usNumberOfSections, mod->SectionAddr);
    table.reset();

    int32_t proc_file_rc = RC_OK;
    const DATA_DIR& imports = mod->SectionAddr[PE_DIR_IMPORT];
    PE_IMAGE image;
    pe_open_displaced(&image, &reader, mod->fWide, imports.RVA, imports.Physical_Addr);
    mod->numMods = ReadImportDirTable(&image, mod->SectionAddr, nullptr, 0, nullptr, nullptr);
    levelprint(stdout);
    fprintf(stdout, "%d imported module(s) found.\n", mod->numMods);
    if (!alloc_ref_table(&mod->ModRefTblP, uint64_t(mod->numMods))) {
        proc_file_rc = RC_NO_MEMORY;
    } else {
        mod->ModuleNameTblP = static_cast<char**>(tool_alloc_array(uint64_t(mod->numMods) + 1, sizeof(char*)));
        if (!mod->ModuleNameTblP) proc_file_rc = RC_NO_MEMORY;
    }
    if (proc_file_rc == RC_OK) {
        for (int32_t i = 0; i <= mod->numMods; i++) mod->ModuleNameTblP[i] = nullptr;
        mod->numMods = ReadImportDirTable(&image, mod->SectionAddr, mod->ModuleNameTblP, mod->numMods,
                                          &mod->ModRefTblP, &mod->names);
    } else {
        levelprint(stderr);
        fputs(Err_NoMemory, stderr);
    }
    if (proc_file_rc == RC_OK && delay_load) proc_file_rc = read_delay_imports(mod, &reader, DosExeHeaderP->ofs_KAVRI_hdr);
    close_pe_reader(&reader);
    return proc_file_rc;
}

}  // namespace talvek
