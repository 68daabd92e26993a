// The PE import directory walk and the reading of a whole module before its report.
#include <cstdlib>
#include <cstring>

#include "common/types.h"
#include "driver/driver.h"
#include "pe/pe_internal.h"

namespace talvek {

// The file offset of an RVA inside the import data: the import directory's displacement
// applies to every RVA, whichever section it lies in. False for an offset before the file.
static bool import_offset(const DATA_DIR* SectionAddr, uint32_t rva, uint64_t* ofs) {
    const DATA_DIR& d = SectionAddr[PE_DIR_IMPORT];
    int64_t x = int64_t(d.Physical_Addr) + int64_t(rva) - int64_t(d.RVA);
    if (x < 0) return false;
    *ofs = uint64_t(x);
    return true;
}

BYTE_SPAN LoadName(PE_READER* fIn, uint32_t ulNameRVA, const DATA_DIR* SectionAddr) {
    uint64_t ofs = 0;
    if (!import_offset(SectionAddr, ulNameRVA, &ofs)) return BYTE_SPAN{nullptr, 0};
    return pe_read(fIn, ofs, PE_BUF_SIZE);
}

[[noreturn]] static void out_of_name_memory() {
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
    PE_READER* fIn;
    const DATA_DIR* SectionAddr;
    REF_TABLE32* ModRefTblP;
    NAME_POOL* pool;
    uint64_t cEntriesLeft;
    uint64_t cbNamesLeft;
};

// A copy of the zero-terminated name at the start of bytes; a name the bytes do not
// terminate is cut where they end.
static char* copy_name(IMPORT_WALK* w, BYTE_SPAN bytes) {
    std::string_view name = w->cbNamesLeft != 0 ? get_cstr(bytes, 0) : std::string_view();
    if (name.size() >= w->cbNamesLeft) name = std::string_view();
    w->cbNamesLeft -= std::min<uint64_t>(w->cbNamesLeft, name.size() + 1);
    char* p = pool_copy(w->pool, name);
    if (!p) out_of_name_memory();
    return p;
}

// Records the entries of module i from its lookup table at ulTableRVA. A short read ends
// the list. Modules past 0xFFFF cannot be numbered in the lists and keep them empty.
static void read_lookup_table(IMPORT_WALK* w, uint32_t ulTableRVA, int32_t i) {
    uint64_t ulBase2 = 0;
    if (i > int32_t(UINT16_MAX) || !import_offset(w->SectionAddr, ulTableRVA, &ulBase2)) return;
    for (;; ulBase2 += PE_LOOKUP_ENTRY_SIZE) {
        uint32_t entry = 0;
        if (w->cEntriesLeft == 0) return;
        w->cEntriesLeft--;
        if (!get_u32(pe_read(w->fIn, ulBase2, PE_LOOKUP_ENTRY_SIZE), 0, &entry) || entry == 0) return;
        if (entry & PE_ORDINAL_FLAG) {
            AddRelocEntry32(w->ModRefTblP, uint16_t(i), entry & ~PE_ORDINAL_FLAG, REF_BY_ORDINAL);
        } else {
            BYTE_SPAN hintName = LoadName(w->fIn, entry, w->SectionAddr);
            BYTE_SPAN name{nullptr, 0};
            sub_span(hintName, PE_HINT_SIZE, hintName.len >= PE_HINT_SIZE ? hintName.len - PE_HINT_SIZE : 0, &name);
            char* copy = copy_name(w, name);
            AddRelocEntry32(w->ModRefTblP, uint16_t(i), reinterpret_cast<uintptr_t>(copy), REF_BY_NAME);
        }
    }
}

int32_t ReadImportDirTable(PE_READER* fIn, const DATA_DIR* SectionAddr, char** NameTable, int32_t cNames,
                           REF_TABLE32* ModRefTblP, NAME_POOL* pool) {
    const DATA_DIR& dir = SectionAddr[PE_DIR_IMPORT];
    if (dir.RVA == 0 || !dir.fMapped) return 0;
    IMPORT_WALK w{fIn, SectionAddr, ModRefTblP, pool, fIn->cbFile / PE_LOOKUP_ENTRY_SIZE,
                  2 * fIn->cbFile + PE_BUF_SIZE};
    int32_t i = 0;
    for (uint64_t ofs = dir.Physical_Addr;; ofs += PE_IMPORT_DESC_SIZE) {
        BYTE_SPAN desc = pe_read(fIn, ofs, PE_IMPORT_DESC_SIZE);
        if (desc.len < PE_IMPORT_DESC_SIZE || i == INT32_MAX) break;
        uint32_t lookupAddr = GetHexNum(PE_IMP_LOOKUP_RVA, 4, desc);
        uint32_t nameAddr = GetHexNum(PE_IMP_NAME_RVA, 4, desc);
        uint32_t iatAddr = GetHexNum(PE_IMP_IAT_RVA, 4, desc);
        // The directory ends where the loader ends it: at a descriptor without a name or
        // without an address table. Linkers that leave the lookup table RVA at 0 keep the
        // lookup entries only in the address table, which is then read in its place.
        if (nameAddr == 0 || iatAddr == 0) break;
        if (NameTable && i >= cNames) break;
        i++;
        if (!NameTable) continue;
        NameTable[i] = copy_name(&w, LoadName(fIn, nameAddr, SectionAddr));
        read_lookup_table(&w, lookupAddr != 0 ? lookupAddr : iatAddr, i);
    }
    return i;
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
    mod->usNumberOfSections = le16(Buf.get() + PE_OFS_NUM_SECTIONS);
    ReadPEHeader(Buf.get(), mod->SectionAddr, &mod->ulBase);
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
    mod->numMods = ReadImportDirTable(&reader, mod->SectionAddr, nullptr, 0, nullptr, nullptr);
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
        mod->numMods = ReadImportDirTable(&reader, mod->SectionAddr, mod->ModuleNameTblP, mod->numMods,
                                          &mod->ModRefTblP, &mod->names);
    } else {
        levelprint(stderr);
        fputs(Err_NoMemory, stderr);
    }
    close_pe_reader(&reader);
    return proc_file_rc;
}

}  // namespace talvek
