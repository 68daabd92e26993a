// PE headers and section mapping, and the read window and name pool the PE stages share.
#include <cstdlib>
#include <cstring>

#include "common/types.h"
#include "driver/messages.h"
#include "pe/pe_internal.h"

namespace talvek {

const char PE_BAD_FORMAT_TEXT[] = "File error - format is incorrect";

static_assert(PE_WINDOW_SIZE >= PE_BUF_SIZE, "a read must fit a window");

bool open_pe_reader(PE_READER* r, FILE* f) {
    *r = PE_READER{};
    r->f = f;
    if (!file_size(f, &r->cbFile)) return false;
    r->buf.reset(static_cast<uint8_t*>(tool_alloc_array(PE_READ_WINDOWS, PE_WINDOW_SIZE)));
    return r->buf != nullptr;
}

void close_pe_reader(PE_READER* r) { *r = PE_READER{}; }

BYTE_SPAN pe_read(PE_READER* r, uint64_t ofs, size_t n) {
    if (ofs >= r->cbFile) return BYTE_SPAN{r->buf.get(), 0};
    uint64_t avail = std::min<uint64_t>(n, r->cbFile - ofs);
    size_t k = PE_READ_WINDOWS;   // the window that holds the bytes
    size_t lru = 0;
    for (size_t j = 0; j < PE_READ_WINDOWS && k == PE_READ_WINDOWS; j++) {
        const PE_WINDOW& w = r->win[j];
        if (ofs >= w.ofs && ofs - w.ofs <= w.cb && avail <= w.cb - (ofs - w.ofs))
            k = j;
        else if (w.ulLastUse < r->win[lru].ulLastUse)
            lru = j;
    }
    uint8_t* base = r->buf.get();
    if (k == PE_READ_WINDOWS) {
        k = lru;
        size_t cb = size_t(std::min<uint64_t>(PE_WINDOW_SIZE, r->cbFile - ofs));
        r->win[k] = PE_WINDOW{};
        if (!read_at(r->f, ofs, base + k * PE_WINDOW_SIZE, cb)) return BYTE_SPAN{base, 0};
        r->win[k].ofs = ofs;
        r->win[k].cb = cb;
    }
    PE_WINDOW& w = r->win[k];
    w.ulLastUse = ++r->ulClock;
    return BYTE_SPAN{base + k * PE_WINDOW_SIZE + (ofs - w.ofs), size_t(avail)};
}

struct NAME_BLOCK {
    NAME_BLOCK* next;
    size_t used;
    size_t cap;
};
constexpr size_t NAME_BLOCK_SIZE = 16384;

char* pool_copy(NAME_POOL* pool, std::string_view s) {
    size_t need = s.size() + 1;
    NAME_BLOCK* b = pool->head;
    if (!b || b->cap - b->used < need) {
        size_t cap = std::max(NAME_BLOCK_SIZE, need);
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
    fprintf(stderr, "%10s %50s", "ZOReve:  ", ErrorMsg);
    tool_exit(RC_BAD_PE_HEADER);
}

uint32_t GetHexNum(uint32_t ulOffset, uint32_t ulLen, BYTE_SPAN Buf) {
    if (ulLen == 1) {
        uint8_t v = 0;
        get_u8(Buf, ulOffset, &v);
        return v;
    }
    if (ulLen == 2) {
        uint16_t v = 0;
        get_u16(Buf, ulOffset, &v);
        return v;
    }
    uint32_t v = 0;
    get_u32(Buf, ulOffset, &v);
    return v;
}

void GetPEHeader(FILE* fIn, uint8_t* Buf, uint64_t* pulBase) {
    *pulBase = 0;
    memset(Buf, 0, PE_BUF_SIZE);
    uint64_t ulFileSize = 0;
    if (!file_size(fIn, &ulFileSize) || ulFileSize < DOS_HDR_SIZE) return;
    if (!read_at(fIn, 0, Buf, DOS_HDR_SIZE)) return;
    if (Buf[0] != 'M' || Buf[1] != 'Z') return;
    uint64_t ulBase = le32(Buf + 0x3C);
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

void ReadPEHeader(const uint8_t* Buf, DATA_DIR* SectionAddr, uint64_t* pulBase) {
    uint16_t usOptSize = le16(Buf + PE_OFS_OPT_SIZE);
    if (usOptSize == PE_OPT_SHORT) {
        fputs("Short header\n", stdout);
        *pulBase += PE_FILE_HDR_END + PE_OPT_SHORT;
        return;
    }
    if (usOptSize != PE_OPT_FULL) BadFile(PE_BAD_FORMAT_TEXT);
    for (uint32_t i = 0; i < PE_NUM_DIRS; i++) SectionAddr[i].RVA = le32(Buf + PE_OFS_DATA_DIRS + PE_DATA_DIR_SIZE * i);
    SectionAddr[PE_DIR_BASERELOC].Size = le32(Buf + PE_OFS_RELOC_SIZE);
    *pulBase += PE_FILE_HDR_END + PE_OPT_FULL;
}

void ReadSectionTable(BYTE_SPAN Buf, uint32_t usNumberOfSections, DATA_DIR* SectionAddr) {
    for (uint32_t k = 0; k < usNumberOfSections; k++) {
        uint64_t ofs = uint64_t(PE_SECTION_HDR_SIZE) * k;
        uint32_t va = GetHexNum(uint32_t(ofs + PE_SEC_VIRTUAL_ADDRESS), 4, Buf);
        uint32_t size = GetHexNum(uint32_t(ofs + PE_SEC_SIZE_OF_RAW_DATA), 4, Buf);
        uint32_t raw = GetHexNum(uint32_t(ofs + PE_SEC_POINTER_TO_RAW_DATA), 4, Buf);
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

}  // namespace talvek
