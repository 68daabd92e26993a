// PE headers and section mapping as the report reads them, and the name pool of the PE stages.
#include <cstdlib>
#include <cstring>

#include "common/types.h"
#include "driver/messages.h"
#include "pe/pe_internal.h"

namespace talvek {

const char PE_BAD_FORMAT_TEXT[] = "File error - format is incorrect";

struct NAME_BLOCK {
    NAME_BLOCK* next;
    size_t used;
    size_t cap;
};
// Blocks double from the first to the last size: a module with a few names, as every
// module on a long recursion path may be, keeps a small block while its DLLs are checked.
constexpr size_t NAME_BLOCK_FIRST = 256;
constexpr size_t NAME_BLOCK_SIZE = 16384;

char* pool_copy(NAME_POOL* pool, std::string_view s) {
    size_t need = s.size() + 1;
    NAME_BLOCK* b = pool->head;
    if (!b || b->cap - b->used < need) {
        size_t cap = std::max(b ? std::min(2 * b->cap, NAME_BLOCK_SIZE) : NAME_BLOCK_FIRST, need);
        b = static_cast<NAME_BLOCK*>(tool_alloc(sizeof(NAME_BLOCK) + cap));
        if (!b) return nullptr;
        b->next = pool->head;
        b->used = 0;
        b->cap = cap;
        pool->head = b;
    }
    char* p = reinterpret_cast<char*>(b + 1) + b->used;
    if (!s.empty()) memcpy(p, s.data(), s.size());
    p[s.size()] = '\0';
    b->used += need;
    return p;
}

void pool_free(NAME_POOL* pool) {
    for (NAME_BLOCK* b = pool->head; b;) {
        NAME_BLOCK* next = b->next;
        free(b);
        b = next;
    }
    pool->head = nullptr;
}

void BadFile(const char* ErrorMsg) {
    fflush(stdout);   // what standard output holds comes first, as before every error line
    fprintf(stderr, "%10s %50s", "ZOReve:  ", ErrorMsg);
    tool_exit(RC_BAD_PE_HEADER);
}

void GetPEHeader(FILE* fIn, uint8_t* Buf, uint64_t* pulBase) {
    *pulBase = 0;
    memset(Buf, 0, PE_BUF_SIZE);
    uint64_t ulFileSize = 0;
    if (!file_size(fIn, &ulFileSize) || ulFileSize < DOS_HDR_SIZE) return;
    if (!read_at(fIn, 0, Buf, DOS_HDR_SIZE)) return;
    if (Buf[0] != 'M' || Buf[1] != 'Z') return;
    uint64_t ulBase = le32(Buf + PE_OFS_NEW_HDR);
    memset(Buf, 0, DOS_HDR_SIZE);
    if (!read_at(fIn, ulBase, Buf, PE_FILE_HDR_END)) return;
    if (Buf[0] != 'P' || Buf[1] != 'E' || Buf[2] != 0 || Buf[3] != 0) return;
    // The header length is not checked here; ReadPEHeader judges SizeOfOptionalHeader.
    // Bytes the file does not hold read as 0.
    uint64_t cbHeader = std::min<uint64_t>(PE_FILE_HDR_END + uint64_t(le16(Buf + PE_OFS_OPT_SIZE)), PE_BUF_SIZE);
    cbHeader = std::min(cbHeader, ulFileSize - ulBase);
    if (!read_at(fIn, ulBase, Buf, size_t(cbHeader))) return;
    *pulBase = ulBase;
}

void ReadPEHeader(const PE_HEADERS* h, DATA_DIR* SectionAddr, uint64_t* pulBase) {
    PE_REPORT_LAYOUT layout = pe_report_layout(h);
    if (layout == PE_LAYOUT_SHORT) {
        fputs("Short header\n", stdout);
        *pulBase += PE_FILE_HDR_END + PE_OPT_SHORT;
        return;
    }
    if (layout == PE_LAYOUT_BAD) BadFile(PE_BAD_FORMAT_TEXT);
    for (uint32_t i = 0; i < PE_NUM_DIRS; i++) SectionAddr[i].RVA = h->dirs[i].RVA;
    SectionAddr[PE_DIR_BASERELOC].Size = h->dirs[PE_DIR_BASERELOC].Size;
    *pulBase += PE_FILE_HDR_END + uint64_t(h->SizeOfOptionalHeader);
}

void ReadSectionTable(BYTE_SPAN Buf, uint32_t usNumberOfSections, DATA_DIR* SectionAddr) {
    // Headers past the end of Buf read as zeros, which map no directory: only those Buf
    // holds, whole or in part, are looked at.
    uint64_t cPresent = (uint64_t(Buf.len) + PE_SECTION_HDR_SIZE - 1) / PE_SECTION_HDR_SIZE;
    uint32_t cSections = uint32_t(std::min<uint64_t>(usNumberOfSections, cPresent));
    for (uint32_t k = 0; k < cSections; k++) {
        PE_SECTION_HDR s = pe_section_at(Buf, k);
        uint32_t va = s.VirtualAddress, size = s.SizeOfRawData, raw = s.PointerToRawData;
        for (uint32_t j = 0; j < PE_NUM_DIRS; j++) {
            DATA_DIR* d = &SectionAddr[j];
            if (d->RVA == 0) continue;
            // The end of the section is computed in 64 bits, so a section near the top of
            // the address space does not wrap round and miss.
            if (d->RVA == va) {
                d->Physical_Addr = raw;
                d->fMapped = true;
            } else if (va < d->RVA && d->RVA < uint64_t(va) + size) {
                d->Physical_Addr = uint64_t(d->RVA - va) + raw;
                d->fMapped = true;
            }
        }
    }
}

bool pe_is_pe32plus(FILE* f, uint32_t ofsPE) {
    uint8_t b[PE_FILE_HDR_END + PE_OPT_DATA_DIRS64] = {};
    uint64_t cbFile = 0;
    if (!file_size(f, &cbFile) || ofsPE > cbFile || cbFile - ofsPE < PE_FILE_HDR_END) return false;
    size_t n = size_t(std::min<uint64_t>(sizeof b, cbFile - ofsPE));
    if (!read_at(f, ofsPE, b, n) || le32(b) != PE_SIGNATURE) return false;
    PE_HEADERS h;
    pe_decode_loader_headers(BYTE_SPAN{b, n}, &h);
    return pe_report_layout(&h) == PE_LAYOUT_PE32PLUS;
}

}  // namespace talvek
