// Decoding of PE32 images for the emulated loader, every read bounded by its section and the file.
#include "platform/emu_image.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <queue>
#include <unordered_set>

namespace talvek {

// Splits the RVA space at every section's start and end, and gives each piece the first
// section in table order that holds it: a sweep over the boundaries in order with the
// sections open there in a heap by table index, so 65,535 overlapping sections cost
// n log n once instead of a walk of the table on every read.
static void build_runs(EMU_IMAGE* im) {
    struct EDGE {
        uint64_t at;
        uint32_t k;
        bool fOpen;
    };
    std::vector<EDGE> edges;
    edges.reserve(im->sections.size() * 2);
    for (uint32_t k = 0; k < im->sections.size(); k++) {
        const EMU_SECTION& s = im->sections[k];
        if (s.extent == 0) continue;
        edges.push_back(EDGE{s.va, k, true});
        edges.push_back(EDGE{s.va + s.extent, k, false});
    }
    std::sort(edges.begin(), edges.end(), [](const EDGE& a, const EDGE& b) { return a.at < b.at; });
    std::priority_queue<uint32_t, std::vector<uint32_t>, std::greater<uint32_t>> open;
    std::vector<bool> fClosed(im->sections.size(), false);
    for (size_t e = 0; e < edges.size();) {
        uint64_t at = edges[e].at;
        for (; e < edges.size() && edges[e].at == at; e++) {
            if (edges[e].fOpen)
                open.push(edges[e].k);
            else
                fClosed[edges[e].k] = true;
        }
        // Sections closed at or before this point leave the heap when they reach its top.
        while (!open.empty() && fClosed[open.top()]) open.pop();
        uint32_t k = open.empty() ? EMU_NO_SECTION : open.top();
        if (im->runs.empty() || im->runs.back().section != k) im->runs.push_back(EMU_RUN{at, k});
    }
}

bool emu_parse_image(BYTE_SPAN file, EMU_IMAGE* im) {
    *im = EMU_IMAGE{};
    im->file = file;
    uint16_t sig = 0, machine = 0, cSections = 0, cbOpt = 0, magic = 0;
    uint32_t ofsPE = 0, peSig = 0;
    if (!get_u16(file, 0, &sig) || sig != 0x5A4D || !span_has(file, 0, 64)) return false;
    get_u32(file, EMU_OFS_NEW_HDR, &ofsPE);
    if (!get_u32(file, ofsPE, &peSig) || peSig != 0x00004550) return false;
    if (!span_has(file, ofsPE, EMU_FILE_HDR_END)) return false;
    get_u16(file, uint64_t(ofsPE) + EMU_OFS_MACHINE, &machine);
    get_u16(file, uint64_t(ofsPE) + EMU_OFS_NUM_SECTIONS, &cSections);
    get_u16(file, uint64_t(ofsPE) + EMU_OFS_OPT_SIZE, &cbOpt);
    if (machine != EMU_MACHINE_I386) return false;
    uint64_t ofsOpt = uint64_t(ofsPE) + EMU_FILE_HDR_END;
    uint64_t ofsSections = ofsOpt + cbOpt;
    if (!span_has(file, ofsSections, uint64_t(cSections) * EMU_SECTION_HDR_SIZE)) return false;
    // Optional header fields exist only inside SizeOfOptionalHeader.
    BYTE_SPAN opt{file.p + ofsOpt, cbOpt};
    if (!get_u16(opt, 0, &magic) || magic != EMU_MAGIC_PE32) return false;
    get_u32(opt, EMU_OPT_SIZE_OF_HEADERS, &im->size_of_headers);
    uint32_t cDirs = 0;
    get_u32(opt, EMU_OPT_NUM_RVA_SIZES, &cDirs);
    for (uint32_t i = 0; i < EMU_NUM_DIRS && i < cDirs; i++) {
        uint64_t ofs = EMU_OPT_DATA_DIRS + 8ull * i;
        im->has_dir[i] = get_u32(opt, ofs, &im->dir_rva[i]) && get_u32(opt, ofs + 4, &im->dir_size[i]);
    }
    im->sections.reserve(cSections);
    for (uint32_t k = 0; k < cSections; k++) {
        BYTE_SPAN h{nullptr, 0};
        sub_span(file, ofsSections + uint64_t(k) * EMU_SECTION_HDR_SIZE, EMU_SECTION_HDR_SIZE, &h);
        EMU_SECTION s{};
        uint32_t vsize = 0;
        get_u32(h, 8, &vsize);
        get_u32(h, 12, &s.va);
        get_u32(h, 16, &s.raw_size);
        get_u32(h, 20, &s.raw_ptr);
        s.extent = std::max(vsize, s.raw_size);
        im->sections.push_back(s);
    }
    build_runs(im);
    uint8_t dir[EMU_EXPORT_DIR_SIZE];
    if (im->has_dir[EMU_DIR_EXPORT] && im->dir_rva[EMU_DIR_EXPORT] != 0 &&
        emu_read(im, im->dir_rva[EMU_DIR_EXPORT], dir, sizeof dir)) {
        im->has_exports = true;
        im->exp_base = le32(dir + 16);
        im->exp_num_funcs = le32(dir + 20);
        im->exp_num_names = le32(dir + 24);
        im->exp_funcs = le32(dir + 28);
        im->exp_names = le32(dir + 32);
        im->exp_ordinals = le32(dir + 36);
    }
    return true;
}

// The part of the image that holds rva: the first section in table order whose extent
// holds it, else the headers. *raw_limit is how much of it comes from the file (from
// *start), past which bytes read as 0; *file_ofs is the file offset of *start.
struct EMU_REGION {
    uint64_t start, end, raw_end, file_ofs;
};

static bool find_region(const EMU_IMAGE* im, uint64_t rva, EMU_REGION* r) {
    auto it = std::upper_bound(im->runs.begin(), im->runs.end(), rva,
                               [](uint64_t x, const EMU_RUN& run) { return x < run.start; });
    if (it != im->runs.begin() && (it - 1)->section != EMU_NO_SECTION) {
        const EMU_SECTION& s = im->sections[(it - 1)->section];
        *r = EMU_REGION{s.va, s.va + s.extent, s.va + uint64_t(std::min<uint64_t>(s.raw_size, s.extent)), s.raw_ptr};
        return true;
    }
    if (rva < im->size_of_headers) {
        *r = EMU_REGION{0, im->size_of_headers, im->size_of_headers, 0};
        return true;
    }
    return false;
}

bool emu_read(const EMU_IMAGE* im, uint64_t rva, uint8_t* dst, uint32_t n) {
    EMU_REGION r;
    if (!find_region(im, rva, &r) || n > r.end - rva) return false;
    uint64_t cbRaw = rva < r.raw_end ? std::min<uint64_t>(n, r.raw_end - rva) : 0;
    if (cbRaw > 0) {
        BYTE_SPAN raw;
        if (!sub_span(im->file, r.file_ofs + (rva - r.start), cbRaw, &raw)) return false;
        memcpy(dst, raw.p, raw.len);
    }
    memset(dst + cbRaw, 0, n - size_t(cbRaw));
    return true;
}

bool emu_u32(const EMU_IMAGE* im, uint64_t rva, uint32_t* v) {
    uint8_t b[4];
    if (!emu_read(im, rva, b, 4)) return false;
    *v = le32(b);
    return true;
}

bool emu_u16(const EMU_IMAGE* im, uint64_t rva, uint16_t* v) {
    uint8_t b[2];
    if (!emu_read(im, rva, b, 2)) return false;
    *v = le16(b);
    return true;
}

// emu_cstr for names of at most cchMax characters; a longer one is false, found after
// looking at no more than cchMax + 1 bytes.
static bool cstr_at_most(const EMU_IMAGE* im, uint64_t rva, uint64_t cchMax, std::string_view* s) {
    EMU_REGION r;
    if (!find_region(im, rva, &r)) return false;
    if (rva >= r.raw_end) {   // inside the zero-filled tail: an empty string
        *s = std::string_view();
        return true;
    }
    uint64_t ofs = r.file_ofs + (rva - r.start);
    uint64_t cbRaw = r.raw_end - rva;
    uint64_t cbInFile = ofs < im->file.len ? std::min<uint64_t>(cbRaw, im->file.len - ofs) : 0;
    const char* p = reinterpret_cast<const char*>(im->file.p + (cbInFile ? ofs : 0));
    uint64_t cbLook = cchMax < cbInFile ? cchMax + 1 : cbInFile;
    const void* nul = cbLook ? memchr(p, 0, size_t(cbLook)) : nullptr;
    if (nul) {
        *s = std::string_view(p, size_t(static_cast<const char*>(nul) - p));
        return true;
    }
    if (cbLook < cbInFile) return false;
    // Unterminated in the file: the name ends only where zero-filled bytes follow.
    if (cbInFile < cbRaw || r.raw_end >= r.end || cbInFile > cchMax) return false;
    *s = std::string_view(cbInFile ? p : "", size_t(cbInFile));
    return true;
}

bool emu_cstr(const EMU_IMAGE* im, uint64_t rva, std::string_view* s) { return cstr_at_most(im, rva, UINT64_MAX, s); }

// Reads the lookup entries at rva up to their terminating 0, taking one from *pcLeft for
// each; false once none is left.
static bool read_lookup_table(const EMU_IMAGE* im, uint32_t rva, std::vector<EMU_REF>* refs, uint64_t* pcLeft) {
    for (uint64_t at = rva;; at += 4) {
        uint32_t v = 0;
        if (*pcLeft == 0) return false;
        --*pcLeft;
        if (!emu_u32(im, at, &v)) return false;
        if (v == 0) return true;
        if (v & EMU_ORDINAL_FLAG) {
            refs->push_back(EMU_REF{true, v & ~EMU_ORDINAL_FLAG, {}});
            continue;
        }
        std::string_view name;
        if (!emu_cstr(im, uint64_t(v) + 2, &name)) return false;   // past the 2-byte hint
        refs->push_back(EMU_REF{false, 0, name});
    }
}

bool emu_read_imports(const EMU_IMAGE* im, EMU_IMPORTS* imp) {
    *imp = EMU_IMPORTS{};
    if (!im->has_dir[EMU_DIR_IMPORT] || im->dir_rva[EMU_DIR_IMPORT] == 0) return true;
    // Descriptors that share a lookup table share its one decoded copy. Tables that overlap
    // otherwise could still make D x L entries of a small file: an image whose tables hold
    // more entries than the file has room for is not loadable.
    std::unordered_map<uint32_t, size_t> byTable;
    uint64_t cLeft = im->file.len / 4;
    for (uint64_t at = im->dir_rva[EMU_DIR_IMPORT];; at += EMU_IMPORT_DESC_SIZE) {
        uint8_t d[EMU_IMPORT_DESC_SIZE];
        if (!emu_read(im, at, d, sizeof d)) return false;
        uint32_t lookup = le32(d), name = le32(d + 12), iat = le32(d + 16);
        if (name == 0 || iat == 0) return true;
        EMU_IMPORT m{};
        if (!emu_cstr(im, name, &m.dll)) return false;
        uint32_t table = lookup != 0 ? lookup : iat;
        auto it = byTable.find(table);
        if (it != byTable.end()) {
            m.table = it->second;
        } else {
            m.table = imp->tables.size();
            imp->tables.emplace_back();
            if (!read_lookup_table(im, table, &imp->tables.back(), &cLeft)) return false;
            byTable.emplace(table, m.table);
        }
        imp->modules.push_back(m);
    }
}

// Indexes the export names once. Only as many name pointers are read as the file could
// hold, so a huge count over zero-filled bytes costs no more than the file's size; a name
// pointer met before adds nothing (the first in table order wins), and names are indexed
// up to EMU_MAX_EXPORT_NAME characters, so pointers into one long run of text cost at most
// that much each rather than the run's length.
static void index_names(EMU_IMAGE* im) {
    im->names_indexed = true;
    uint64_t cNames = std::min<uint64_t>(im->exp_num_names, im->file.len / 4 + 1);
    std::unordered_set<uint32_t> seen;
    for (uint64_t i = 0; i < cNames; i++) {
        uint32_t rva = 0;
        std::string_view name;
        if (!emu_u32(im, im->exp_names + 4 * i, &rva)) break;
        if (!seen.insert(rva).second) continue;
        if (cstr_at_most(im, rva, EMU_MAX_EXPORT_NAME, &name)) im->name_index.emplace(name, uint32_t(i));
    }
}

bool emu_export_index(EMU_IMAGE* im, const EMU_REF& ref, uint32_t* index) {
    if (!im->has_exports) return false;
    uint32_t idx = 0;
    if (ref.by_ordinal) {
        if (ref.ordinal < im->exp_base) return false;
        idx = ref.ordinal - im->exp_base;
    } else {
        if (!im->names_indexed) index_names(im);
        auto it = im->name_index.find(ref.name);
        uint16_t ord = 0;
        if (it == im->name_index.end() || !emu_u16(im, im->exp_ordinals + 2ull * it->second, &ord)) return false;
        idx = ord;
    }
    if (idx >= im->exp_num_funcs) return false;
    *index = idx;
    return true;
}

bool emu_export_rva(const EMU_IMAGE* im, uint32_t index, uint32_t* rva) {
    return emu_u32(im, im->exp_funcs + 4ull * index, rva) && *rva != 0;
}

bool emu_is_forwarder(const EMU_IMAGE* im, uint32_t rva) {
    uint32_t start = im->dir_rva[EMU_DIR_EXPORT];
    return im->has_exports && rva >= start && rva < uint64_t(start) + im->dir_size[EMU_DIR_EXPORT];
}

}  // namespace talvek
