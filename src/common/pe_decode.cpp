// The decoding of PE headers and tables, and the reads through a view of either reading.
#include "common/pe_decode.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace talvek {

void pe_decode_headers(BYTE_SPAN hdr, bool fWide, PE_HEADERS* h) {
    *h = PE_HEADERS{};
    h->Machine = uint16_t(get_le_cut(hdr, PE_OFS_MACHINE, 2));
    h->NumberOfSections = uint16_t(get_le_cut(hdr, PE_OFS_NUM_SECTIONS, 2));
    h->SizeOfOptionalHeader = uint16_t(get_le_cut(hdr, PE_OFS_OPT_SIZE, 2));
    h->Characteristics = uint16_t(get_le_cut(hdr, PE_OFS_CHARACTERISTICS, 2));
    h->fWide = fWide;
    uint32_t cbOpt = h->SizeOfOptionalHeader;
    // A field counts only when it lies whole inside SizeOfOptionalHeader; inside it, the end
    // of the bytes given cuts it as any header field.
    auto field = [&](uint32_t at, uint32_t n) -> uint32_t {
        return at + n <= cbOpt ? uint32_t(get_le_cut(hdr, PE_FILE_HDR_END + uint64_t(at), n)) : 0;
    };
    h->fHasMagic = cbOpt >= 2 && span_has(hdr, PE_FILE_HDR_END, 2);
    h->Magic = uint16_t(field(PE_OPT_MAGIC, 2));
    h->ImageBase = fWide ? field(PE_OPT_IMAGE_BASE64, 4) | uint64_t(field(PE_OPT_IMAGE_BASE64 + 4, 4)) << 32
                         : field(PE_OPT_IMAGE_BASE, 4);
    h->SizeOfImage = field(PE_OPT_SIZE_OF_IMAGE, 4);
    h->SizeOfHeaders = field(PE_OPT_SIZE_OF_HEADERS, 4);
    h->NumberOfRvaAndSizes = field(fWide ? PE_OPT_NUM_RVA_SIZES64 : PE_OPT_NUM_RVA_SIZES, 4);
    uint32_t ofsDirs = fWide ? PE_OPT_DATA_DIRS64 : PE_OPT_DATA_DIRS;
    for (uint32_t i = 0; i < PE_NUM_DIRS; i++) {
        uint32_t at = ofsDirs + PE_DATA_DIR_SIZE * i;
        h->dirs[i] = PE_DIR{field(at, 4), field(at + 4, 4), at + PE_DATA_DIR_SIZE <= cbOpt};
    }
}

void pe_decode_loader_headers(BYTE_SPAN hdr, PE_HEADERS* h) {
    pe_decode_headers(hdr, false, h);
    if (h->fHasMagic && h->Magic == PE_MAGIC_PE32PLUS) pe_decode_headers(hdr, true, h);
}

bool pe_header_dir(const PE_HEADERS* h, uint32_t i, PE_DIR* dir) {
    if (i >= PE_NUM_DIRS || i >= h->NumberOfRvaAndSizes) return false;
    const PE_DIR& d = h->dirs[i];
    if (!d.fInHeader || d.RVA == 0) return false;
    *dir = d;
    return true;
}

PE_SECTION_HDR pe_section_at(BYTE_SPAN table, uint32_t k) {
    uint64_t ofs = uint64_t(PE_SECTION_HDR_SIZE) * k;
    return PE_SECTION_HDR{uint32_t(get_le_cut(table, ofs + PE_SEC_VIRTUAL_SIZE, 4)),
                          uint32_t(get_le_cut(table, ofs + PE_SEC_VIRTUAL_ADDRESS, 4)),
                          uint32_t(get_le_cut(table, ofs + PE_SEC_SIZE_OF_RAW_DATA, 4)),
                          uint32_t(get_le_cut(table, ofs + PE_SEC_POINTER_TO_RAW_DATA, 4))};
}

// The file offset of rva under displacement d. False for an offset before the file.
static bool displaced_offset(const PE_DISPLACEMENT& d, uint64_t rva, uint64_t* ofs) {
    int64_t x = int64_t(d.ulImportOfs) + int64_t(rva) - int64_t(d.ulImportRVA);
    if (x < 0) return false;
    *ofs = uint64_t(x);
    return true;
}

// Up to n bytes of the file at ofs, fewer where the file ends.
static BYTE_SPAN file_bytes(BYTE_SPAN file, uint64_t ofs, uint64_t n) {
    if (ofs >= file.len) return BYTE_SPAN{nullptr, 0};
    return BYTE_SPAN{file.p + ofs, size_t(std::min<uint64_t>(n, file.len - ofs))};
}

const char* pe_problem_text(PE_PROBLEM problem) {
    switch (problem) {
        case PE_FINE: return "";
        case PE_NO_DOS_HEADER: return "no DOS header";
        case PE_NO_SIGNATURE: return "no PE signature where the DOS header points";
        case PE_HEADERS_CUT: return "the headers are cut short";
        case PE_SECTIONS_CUT: return "the section table runs past the end of the file";
        case PE_IMPORTS_UNREADABLE: return "the import table reaches outside the image";
        case PE_IMPORTS_TOO_LARGE: return "the import table is larger than the file";
    }
    return "";
}

std::string pe_status_text(PE_STATUS st) {
    if (st.problem == PE_FINE) return "";
    char where[32];
    snprintf(where, sizeof where, " (at 0x%llx)", static_cast<unsigned long long>(st.where));
    return std::string(pe_problem_text(st.problem)) + where;
}

// The region of m that holds rva, kept as the first to try for the next read; null when
// nothing holds it.
static const PE_REGION* find_region_of_run(PE_SECTION_MAP* m, uint64_t rva) {
    PE_REGION* r = &m->lastRegion;
    const std::vector<PE_RUN>& runs = m->runs;
    auto it = std::upper_bound(runs.begin(), runs.end(), rva, [](uint64_t x, const PE_RUN& run) { return x < run.start; });
    uint64_t run_start = it == runs.begin() ? 0 : (it - 1)->start;
    uint64_t run_end = it == runs.end() ? UINT64_MAX : it->start;
    if (it != runs.begin() && (it - 1)->section != PE_NO_SECTION) {
        const PE_SECTION_HDR& s = m->sections[(it - 1)->section];
        uint64_t extent = std::max(s.VirtualSize, s.SizeOfRawData);
        *r = PE_REGION{s.VirtualAddress, s.VirtualAddress + extent,
                       s.VirtualAddress + std::min<uint64_t>(s.SizeOfRawData, extent), s.PointerToRawData,
                       run_start, run_end};
    } else if (rva < m->SizeOfHeaders) {
        *r = PE_REGION{0, m->SizeOfHeaders, m->SizeOfHeaders, 0, run_start, std::min<uint64_t>(run_end, m->SizeOfHeaders)};
    } else {
        m->fLastRegion = false;
        return nullptr;
    }
    m->fLastRegion = true;
    return r;
}

static inline const PE_REGION* find_region(PE_SECTION_MAP* m, uint64_t rva) {
    const PE_REGION* r = &m->lastRegion;
    return m->fLastRegion && rva >= r->run_start && rva < r->run_end ? r : find_region_of_run(m, rva);
}

BYTE_SPAN pe_raw_from(PE_VIEW* v, uint64_t rva, const PE_REGION** pr) {
    PE_SECTION_MAP* const* m = std::get_if<PE_SECTION_MAP*>(&v->map);
    const PE_REGION* r = m ? find_region(*m, rva) : nullptr;
    *pr = r;
    if (!r || rva >= r->raw_end) return BYTE_SPAN{nullptr, 0};
    return file_bytes(v->file, r->file_ofs + (rva - r->start), r->raw_end - rva);
}

size_t pe_read_rva(PE_VIEW* v, uint64_t rva, uint8_t* dst, size_t n) {
    if (const PE_DISPLACEMENT* d = std::get_if<PE_DISPLACEMENT>(&v->map)) {
        uint64_t ofs = 0;
        if (!displaced_offset(*d, rva, &ofs)) return 0;
        BYTE_SPAN b = file_bytes(v->file, ofs, n);
        if (b.len) memcpy(dst, b.p, b.len);
        return b.len;
    }
    const PE_REGION* r = find_region(std::get<PE_SECTION_MAP*>(v->map), rva);
    if (!r || n > r->end - rva) return 0;
    uint64_t cbRaw = rva < r->raw_end ? std::min<uint64_t>(n, r->raw_end - rva) : 0;
    if (cbRaw > 0) {
        BYTE_SPAN raw;
        if (!sub_span(v->file, r->file_ofs + (rva - r->start), cbRaw, &raw)) return 0;
        memcpy(dst, raw.p, raw.len);
    }
    if (n > cbRaw) memset(dst + cbRaw, 0, n - size_t(cbRaw));
    return n;
}

// The n (2, 4 or 8) bytes at rva as a little-endian number, straight from the file where
// they lie whole in raw data, else through pe_read_rva.
static bool rva_le(PE_VIEW* v, uint64_t rva, uint32_t n, uint64_t* x) {
    const PE_REGION* r;
    BYTE_SPAN raw = pe_raw_from(v, rva, &r);
    uint8_t b[8];
    if (raw.len < n) {
        if (pe_read_rva(v, rva, b, n) != n) return false;
        raw = BYTE_SPAN{b, n};
    }
    *x = n == 2 ? le16(raw.p) : n == 4 ? le32(raw.p) : le32(raw.p) | uint64_t(le32(raw.p + 4)) << 32;
    return true;
}

bool pe_rva_u32(PE_VIEW* v, uint64_t rva, uint32_t* x) {
    uint64_t y = 0;
    if (!rva_le(v, rva, 4, &y)) return false;
    *x = uint32_t(y);
    return true;
}

bool pe_rva_u16(PE_VIEW* v, uint64_t rva, uint16_t* x) {
    uint64_t y = 0;
    if (!rva_le(v, rva, 2, &y)) return false;
    *x = uint16_t(y);
    return true;
}

bool pe_cstr_at_most(BYTE_SPAN file, PE_SECTION_MAP* m, uint64_t rva, uint64_t cchMax, std::string_view* s) {
    const PE_REGION* r = find_region(m, rva);
    if (!r) return false;
    if (rva >= r->raw_end) {   // inside the zero-filled tail: an empty string
        *s = std::string_view();
        return true;
    }
    uint64_t ofs = r->file_ofs + (rva - r->start);
    uint64_t cbRaw = r->raw_end - rva;
    uint64_t cbInFile = ofs < file.len ? std::min<uint64_t>(cbRaw, file.len - ofs) : 0;
    const char* p = reinterpret_cast<const char*>(file.p + (cbInFile ? ofs : 0));
    uint64_t cbLook = cchMax < cbInFile ? cchMax + 1 : cbInFile;
    const void* nul = cbLook ? memchr(p, 0, size_t(cbLook)) : nullptr;
    if (nul) {
        *s = std::string_view(p, size_t(static_cast<const char*>(nul) - p));
        return true;
    }
    if (cbLook < cbInFile) return false;
    // Unterminated in the file: the name ends only where zero-filled bytes follow.
    if (cbInFile < cbRaw || r->raw_end >= r->end || cbInFile > cchMax) return false;
    *s = std::string_view(cbInFile ? p : "", size_t(cbInFile));
    return true;
}

// The report's name reads: up to PE_BUF_SIZE bytes at the displaced offset of rva, the name
// starting cbSkip bytes in and cut where the bytes read end.
static std::string_view displaced_name(BYTE_SPAN file, const PE_DISPLACEMENT& d, uint64_t rva, uint32_t cbSkip,
                                       uint64_t cchMax) {
    uint64_t ofs = 0;
    if (!displaced_offset(d, rva, &ofs)) return {};
    BYTE_SPAN b = file_bytes(file, ofs, PE_BUF_SIZE);
    BYTE_SPAN name{nullptr, 0};
    if (!sub_span(b, cbSkip, b.len >= cbSkip ? b.len - cbSkip : 0, &name)) return {};
    name.len = size_t(std::min<uint64_t>(name.len, cchMax));
    return get_cstr(name, 0);
}

bool pe_name_at(PE_VIEW* v, uint64_t rva, uint64_t cchMax, std::string_view* name) {
    if (const PE_DISPLACEMENT* d = std::get_if<PE_DISPLACEMENT>(&v->map)) {
        *name = displaced_name(v->file, *d, rva, 0, cchMax);
        return true;
    }
    return pe_cstr_at_most(v->file, std::get<PE_SECTION_MAP*>(v->map), rva, cchMax, name);
}

bool pe_hint_name_at(PE_VIEW* v, uint32_t rva, std::string_view* name) {
    if (const PE_DISPLACEMENT* d = std::get_if<PE_DISPLACEMENT>(&v->map)) {
        *name = displaced_name(v->file, *d, rva, PE_HINT_SIZE, UINT64_MAX);
        return true;
    }
    return pe_cstr_at_most(v->file, std::get<PE_SECTION_MAP*>(v->map), uint64_t(rva) + PE_HINT_SIZE, UINT64_MAX, name);
}

bool pe_import_desc(PE_VIEW* v, uint64_t rva, PE_IMPORT_DESC* d) {
    uint8_t b[PE_IMPORT_DESC_SIZE];
    if (pe_read_rva(v, rva, b, sizeof b) != sizeof b) return false;
    *d = PE_IMPORT_DESC{le32(b + PE_IMP_LOOKUP_RVA), le32(b + PE_IMP_NAME_RVA), le32(b + PE_IMP_IAT_RVA)};
    return true;
}

uint32_t pe_lookup_size(const PE_VIEW* v) { return v->fWide ? PE_LOOKUP_ENTRY_SIZE64 : PE_LOOKUP_ENTRY_SIZE; }

bool pe_lookup_entry(PE_VIEW* v, uint64_t rva, PE_LOOKUP* e) {
    uint64_t x = 0;
    if (!rva_le(v, rva, pe_lookup_size(v), &x)) return false;
    e->fEnd = x == 0;
    e->fOrdinal = (x & (v->fWide ? PE_ORDINAL_FLAG64 : PE_ORDINAL_FLAG)) != 0;
    e->Value = uint32_t(x & PE_LOOKUP_VALUE_MASK);
    return true;
}

}  // namespace talvek
