// The loader's reading of PE images: the section map, exports, imports and delay-load tables.
#include "common/pe_loader_reading.h"

#include <algorithm>
#include <functional>
#include <queue>
#include <unordered_set>

#include "common/dos_header.h"

namespace talvek {

bool pe_loadable_for(const PE_HEADERS* h, uint16_t Machine) {
    return h->fHasMagic && h->Machine == Machine && h->Magic == pe_machine_magic(Machine);
}

bool pe_other_machine(BYTE_SPAN file, uint16_t Machine, uint16_t* pFileMachine) {
    uint16_t sig = 0;
    uint32_t ofsPE = 0, peSig = 0;
    if (!get_u16(file, 0, &sig) || sig != DOS_SIGNATURE || !get_u32(file, PE_OFS_NEW_HDR, &ofsPE)) return false;
    if (!get_u32(file, ofsPE, &peSig) || peSig != PE_SIGNATURE || !span_has(file, ofsPE, PE_FILE_HDR_END)) return false;
    BYTE_SPAN hdr{file.p + ofsPE, file.len - ofsPE};
    PE_HEADERS h;
    pe_decode_headers(hdr, false, &h);
    if (pFileMachine) *pFileMachine = h.Machine;
    if (h.Machine != Machine) return true;
    return h.fHasMagic && h.Magic != pe_machine_magic(Machine);
}

// Splits the RVA space at every section's start and end, and gives each piece the first
// section in table order that holds it: a sweep over the boundaries in order with the
// sections open there in a heap by table index, so 65,535 overlapping sections cost
// n log n once instead of a walk of the table on every read.
static void build_runs(PE_SECTION_MAP* m) {
    struct EDGE {
        uint64_t at;
        uint32_t k;
        bool fOpen;
    };
    std::vector<EDGE> edges;
    edges.reserve(m->sections.size() * 2);
    for (uint32_t k = 0; k < m->sections.size(); k++) {
        const PE_SECTION_HDR& s = m->sections[k];
        uint64_t extent = std::max(s.VirtualSize, s.SizeOfRawData);
        if (extent == 0) continue;
        edges.push_back(EDGE{s.VirtualAddress, k, true});
        edges.push_back(EDGE{s.VirtualAddress + extent, k, false});
    }
    std::sort(edges.begin(), edges.end(), [](const EDGE& a, const EDGE& b) { return a.at < b.at; });
    std::priority_queue<uint32_t, std::vector<uint32_t>, std::greater<uint32_t>> open;
    std::vector<bool> fClosed(m->sections.size(), false);
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
        uint32_t k = open.empty() ? PE_NO_SECTION : open.top();
        if (m->runs.empty() || m->runs.back().section != k) m->runs.push_back(PE_RUN{at, k});
    }
}

PE_STATUS pe_parse_image(BYTE_SPAN file, PE_IMAGE* im, PE_TABLE_RULE rule) {
    im->view = PE_VIEW{file, false, &im->secmap};
    im->hdr = PE_HEADERS{};
    im->section_table = BYTE_SPAN{nullptr, 0};
    im->secmap = PE_SECTION_MAP{};
    im->has_exports = false;
    im->name_order = PE_NAMES_UNREAD;
    im->names.clear();
    im->name_index.clear();
    uint16_t sig = 0;
    uint32_t ofsPE = 0, peSig = 0;
    if (!get_u16(file, 0, &sig) || sig != DOS_SIGNATURE || !span_has(file, 0, DOS_HDR_SIZE))
        return PE_STATUS{PE_NO_DOS_HEADER, 0};
    get_u32(file, PE_OFS_NEW_HDR, &ofsPE);
    if (!get_u32(file, ofsPE, &peSig) || peSig != PE_SIGNATURE) return PE_STATUS{PE_NO_SIGNATURE, ofsPE};
    if (!span_has(file, ofsPE, PE_FILE_HDR_END)) return PE_STATUS{PE_HEADERS_CUT, ofsPE};
    BYTE_SPAN hdr{file.p + ofsPE, file.len - ofsPE};
    pe_decode_loader_headers(hdr, &im->hdr);
    if (!im->hdr.fHasMagic) return PE_STATUS{PE_HEADERS_CUT, uint64_t(ofsPE) + PE_FILE_HDR_END};
    im->view.fWide = im->hdr.Magic == PE_MAGIC_PE32PLUS;
    uint64_t ofsSections = uint64_t(ofsPE) + PE_FILE_HDR_END + im->hdr.SizeOfOptionalHeader;
    BYTE_SPAN table{nullptr, 0};
    uint64_t cSections = im->hdr.NumberOfSections;
    if (!sub_span(file, ofsSections, cSections * PE_SECTION_HDR_SIZE, &table)) {
        if (rule == PE_TABLE_WHOLE) return PE_STATUS{PE_SECTIONS_CUT, ofsSections};
        // Headers past the end of the file would read as zeros, which map no RVA: only those
        // the file holds, whole or in part, are taken, as the static import walk takes them.
        if (ofsSections < file.len) table = BYTE_SPAN{file.p + ofsSections, size_t(file.len - ofsSections)};
        cSections = std::min<uint64_t>(cSections, (uint64_t(table.len) + PE_SECTION_HDR_SIZE - 1) / PE_SECTION_HDR_SIZE);
    }
    im->section_table = table;
    PE_SECTION_MAP& m = im->secmap;
    m.SizeOfHeaders = im->hdr.SizeOfHeaders;
    m.sections.reserve(size_t(cSections));
    for (uint32_t k = 0; k < cSections; k++) m.sections.push_back(pe_section_at(table, k));
    build_runs(&m);
    PE_DIR exp{};
    uint8_t dir[PE_EXPORT_DIR_SIZE];
    if (pe_data_dir(im, PE_DIR_EXPORT, &exp) && pe_read_rva(&im->view, exp.RVA, dir, sizeof dir) == sizeof dir) {
        im->has_exports = true;
        im->exp_base = le32(dir + PE_EXP_ORDINAL_BASE);
        im->exp_num_funcs = le32(dir + PE_EXP_NUM_FUNCTIONS);
        im->exp_num_names = le32(dir + PE_EXP_NUM_NAMES);
        im->exp_funcs = le32(dir + PE_EXP_FUNCTIONS);
        im->exp_names = le32(dir + PE_EXP_NAMES);
        im->exp_ordinals = le32(dir + PE_EXP_NAME_ORDINALS);
    }
    return PE_STATUS{PE_FINE, 0};
}

bool pe_data_dir(const PE_IMAGE* im, uint32_t i, PE_DIR* dir) { return pe_header_dir(&im->hdr, i, dir); }

bool pe_named_section(const PE_IMAGE* im, std::string_view name, BYTE_SPAN* bytes) {
    if (name.size() > PE_SEC_NAME_SIZE) return false;
    const std::vector<PE_SECTION_HDR>& sections = im->secmap.sections;
    for (uint32_t k = 0; k < sections.size(); k++) {
        BYTE_SPAN field{nullptr, 0};
        if (!sub_span(im->section_table, uint64_t(k) * PE_SECTION_HDR_SIZE + PE_SEC_NAME, PE_SEC_NAME_SIZE, &field))
            return false;
        // The name fills the field, or ends at its first NUL.
        std::string_view have(reinterpret_cast<const char*>(field.p), PE_SEC_NAME_SIZE);
        have = have.substr(0, std::min(have.find('\0'), have.size()));
        if (have != name) continue;
        const PE_SECTION_HDR& s = sections[k];
        uint32_t cb = s.VirtualSize && s.VirtualSize < s.SizeOfRawData ? s.VirtualSize : s.SizeOfRawData;
        return sub_span(im->view.file, s.PointerToRawData, cb, bytes);
    }
    return false;
}

uint64_t pe_delay_rva(const PE_HEADERS* h, bool fVA, uint64_t v) {
    // Subtracting first keeps the test free of an overflow near the top of the address space.
    if (fVA && v >= h->ImageBase && v - h->ImageBase < h->SizeOfImage) return v - h->ImageBase;
    return v;
}

bool pe_delay_desc(PE_IMAGE* im, uint64_t rva, PE_DELAY_DESC* d) {
    uint8_t b[PE_DELAY_DESC_SIZE];
    if (pe_read_rva(&im->view, rva, b, sizeof b) != sizeof b) return false;
    uint32_t name = le32(b + PE_DELAY_NAME_RVA);
    d->fEnd = name == 0;
    d->fVA = (le32(b + PE_DELAY_ATTRIBUTES) & PE_DELAY_ATTR_RVA) == 0;
    d->NameRVA = pe_delay_rva(&im->hdr, d->fVA, name);
    // A descriptor without a name table imports nothing by name or ordinal that can be listed.
    uint32_t names = le32(b + PE_DELAY_INT_RVA);
    d->IntRVA = names ? pe_delay_rva(&im->hdr, d->fVA, names) : PE_BAD_RVA;
    return true;
}

// Reads the lookup entries at rva up to their terminating 0, taking one from *pcLeft for
// each. PE_FINE, or the RVA of what could not be read or went past the budget.
static PE_STATUS read_lookup_table(PE_VIEW* v, uint32_t rva, std::vector<PE_IMPORT_REF>* refs, uint64_t* pcLeft) {
    for (uint64_t at = rva;; at += pe_lookup_size(v)) {
        PE_LOOKUP e{};
        if (*pcLeft == 0) return PE_STATUS{PE_IMPORTS_TOO_LARGE, at};
        --*pcLeft;
        if (!pe_lookup_entry(v, at, &e)) return PE_STATUS{PE_IMPORTS_UNREADABLE, at};
        if (e.fEnd) return PE_STATUS{PE_FINE, 0};
        if (e.fOrdinal) {
            refs->push_back(PE_IMPORT_REF{true, e.Value, {}});
            continue;
        }
        std::string_view name;
        if (!pe_hint_name_at(v, e.Value, &name)) return PE_STATUS{PE_IMPORTS_UNREADABLE, e.Value};
        uint16_t hint = 0;
        refs->push_back(PE_IMPORT_REF{false, 0, name, pe_rva_u16(v, e.Value, &hint) ? hint : PE_NO_HINT});
    }
}

PE_STATUS pe_read_imports(PE_IMAGE* im, PE_IMPORT_TABLES* imp) {
    *imp = PE_IMPORT_TABLES{};
    PE_DIR dir{};
    if (!pe_data_dir(im, PE_DIR_IMPORT, &dir)) return PE_STATUS{PE_FINE, 0};
    PE_VIEW* v = &im->view;
    // Descriptors that share a lookup table share its one decoded copy. Tables that overlap
    // otherwise could still make D x L entries of a small file: an image whose tables hold
    // more entries than the file has room for is not loadable.
    std::unordered_map<uint32_t, size_t> byTable;
    uint64_t cLeft = v->file.len / pe_lookup_size(v);
    // Sections that map the same file bytes at many addresses could make one small file show
    // a directory of file-size squared bytes; an image with more descriptors than its file
    // has room for is not loadable either.
    uint64_t cDescLeft = v->file.len / PE_IMPORT_DESC_SIZE;
    for (uint64_t at = dir.RVA;; at += PE_IMPORT_DESC_SIZE) {
        if (cDescLeft-- == 0) return PE_STATUS{PE_IMPORTS_TOO_LARGE, at};
        PE_IMPORT_DESC d;
        if (!pe_import_desc(v, at, &d)) return PE_STATUS{PE_IMPORTS_UNREADABLE, at};
        if (d.NameRVA == 0 || d.IatRVA == 0) return PE_STATUS{PE_FINE, 0};
        PE_IMPORT_MODULE m{};
        if (!pe_name_at(v, d.NameRVA, UINT64_MAX, &m.dll)) return PE_STATUS{PE_IMPORTS_UNREADABLE, d.NameRVA};
        uint32_t table = d.LookupRVA != 0 ? d.LookupRVA : d.IatRVA;
        auto it = byTable.find(table);
        if (it != byTable.end()) {
            m.table = it->second;
        } else {
            m.table = imp->tables.size();
            imp->tables.emplace_back();
            PE_STATUS st = read_lookup_table(v, table, &imp->tables.back(), &cLeft);
            if (st.problem != PE_FINE) return st;
            byTable.emplace(table, m.table);
        }
        imp->modules.push_back(m);
    }
}

// Indexes the export names by name -> first index in table order. Only as many name
// pointers are read as the file could hold, so a huge count over zero-filled bytes costs no
// more than the file's size; a name pointer met before adds nothing (the first in table
// order wins), and names are indexed up to PE_MAX_EXPORT_NAME characters, so pointers into
// one long run of text cost at most that much each rather than the run's length.
static void index_names(PE_IMAGE* im) {
    im->name_order = PE_NAMES_INDEXED;
    uint64_t cNames = std::min<uint64_t>(im->exp_num_names, im->view.file.len / 4 + 1);
    std::unordered_set<uint32_t> seen;
    for (uint64_t i = 0; i < cNames; i++) {
        uint32_t rva = 0;
        std::string_view name;
        if (!pe_rva_u32(&im->view, im->exp_names + 4 * i, &rva)) break;
        if (!seen.insert(rva).second) continue;
        if (pe_cstr_at_most(im->view.file, &im->secmap, rva, PE_MAX_EXPORT_NAME, &name)) im->name_index.emplace(name, uint32_t(i));
    }
}

// Reads the export names, as far as index_names would, into im->names when every one of them
// can be read and they ascend in byte order; there a search by halving finds what the index
// would: the first match in table order is the lowest of the equal names, which stand side
// by side. Any other table is indexed. A pointer equal to the one before repeats its name
// without a second read.
static void read_names(PE_IMAGE* im) {
    im->name_order = PE_NAMES_SORTED;
    uint64_t cNames = std::min<uint64_t>(im->exp_num_names, im->view.file.len / 4 + 1);
    im->names.reserve(size_t(std::min<uint64_t>(cNames, PE_BUF_SIZE)));
    // The pointers that lie in the run of the first, in raw data, are taken straight from
    // the file; pe_rva_u32 reads the rest.
    const PE_REGION* r;
    BYTE_SPAN ptrs = pe_raw_from(&im->view, im->exp_names, &r);
    uint64_t cDirect = ptrs.len ? std::min<uint64_t>(ptrs.len, r->run_end - im->exp_names) / 4 : 0;
    uint32_t rvaPrev = 0;
    for (uint64_t i = 0; i < cNames; i++) {
        uint32_t rva = 0;
        std::string_view name;
        if (i < cDirect)
            rva = le32(ptrs.p + 4 * i);
        else if (!pe_rva_u32(&im->view, im->exp_names + 4 * i, &rva))
            break;
        if (i > 0 && rva == rvaPrev) {
            name = im->names.back();
        } else if (!pe_cstr_at_most(im->view.file, &im->secmap, rva, PE_MAX_EXPORT_NAME, &name) || (i > 0 && name < im->names.back())) {
            im->names = std::vector<std::string_view>();
            index_names(im);
            return;
        }
        im->names.push_back(name);
        rvaPrev = rva;
    }
}

// The index of name in a sorted table. The importer's hint, the index the name had when the
// importer was linked, is tried first; it is the first match when the name before differs.
static bool find_sorted_name(const PE_IMAGE* im, std::string_view name, uint32_t hint, uint32_t* i) {
    const std::vector<std::string_view>& v = im->names;
    if (hint < v.size() && v[hint] == name && (hint == 0 || v[hint - 1] != name)) {
        *i = hint;
        return true;
    }
    auto it = std::lower_bound(v.begin(), v.end(), name);
    if (it == v.end() || *it != name) return false;
    *i = uint32_t(it - v.begin());
    return true;
}

bool pe_export_index(PE_IMAGE* im, const PE_IMPORT_REF& ref, uint32_t* index) {
    if (!im->has_exports) return false;
    uint32_t idx = 0;
    if (ref.by_ordinal) {
        if (ref.ordinal < im->exp_base) return false;
        idx = ref.ordinal - im->exp_base;
    } else {
        if (im->name_order == PE_NAMES_UNREAD) read_names(im);
        uint32_t i = 0;
        if (im->name_order == PE_NAMES_SORTED) {
            if (!find_sorted_name(im, ref.name, ref.hint, &i)) return false;
        } else {
            auto it = im->name_index.find(ref.name);
            if (it == im->name_index.end()) return false;
            i = it->second;
        }
        uint16_t ord = 0;
        if (!pe_rva_u16(&im->view, im->exp_ordinals + 2ull * i, &ord)) return false;
        idx = ord;
    }
    if (idx >= im->exp_num_funcs) return false;
    *index = idx;
    return true;
}

bool pe_export_rva(PE_IMAGE* im, uint32_t index, uint32_t* rva) {
    return pe_rva_u32(&im->view, im->exp_funcs + 4ull * index, rva) && *rva != 0;
}

bool pe_is_forwarder(const PE_IMAGE* im, uint32_t rva) {
    const PE_DIR& d = im->hdr.dirs[PE_DIR_EXPORT];
    return im->has_exports && rva >= d.RVA && rva < uint64_t(d.RVA) + d.Size;
}

}  // namespace talvek
