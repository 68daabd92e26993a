// The API-set schema reader: one check of the whole namespace, then lookups by hash.
#include "platform/apiset.h"

#include "common/pe_loader_reading.h"
#include "common/text.h"

namespace talvek {

namespace {

// A UTF-16LE string of the namespace; its bounds were checked when the schema was read.
struct WSTR {
    uint64_t ofs;
    uint64_t cch;
};

uint32_t unit_at(BYTE_SPAN ns, WSTR w, uint64_t i) {
    uint16_t u = 0;
    get_u16(ns, w.ofs + 2 * i, &u);
    return u;
}

// Orders s against w by their lower-cased units, then by length; the bytes of s count as
// units of their own value.
int compare_ignoring_case(std::string_view s, BYTE_SPAN ns, WSTR w) {
    uint64_t n = std::min<uint64_t>(s.size(), w.cch);
    for (uint64_t i = 0; i < n; i++) {
        uint32_t a = ascii_lower(uint32_t(uint8_t(s[i]))), b = ascii_lower(unit_at(ns, w, i));
        if (a != b) return a < b ? -1 : 1;
    }
    if (s.size() == w.cch) return 0;
    return s.size() < w.cch ? -1 : 1;
}

// A string given by its offset and byte length at field ofs of a record: inside ns and of
// whole units.
bool read_wstr(BYTE_SPAN ns, uint64_t ofs, WSTR* w) {
    uint32_t str_ofs = 0, cb = 0;
    if (!get_u32(ns, ofs, &str_ofs) || !get_u32(ns, ofs + 4, &cb)) return false;
    if (cb % 2 || !span_has(ns, str_ofs, cb)) return false;
    *w = WSTR{str_ofs, cb / 2};
    return true;
}

// One namespace entry's fields; fName is false when its name does not lie whole in ns.
struct NS_ENTRY {
    WSTR name;
    bool fName;
    uint32_t cbHashed;
    uint32_t valueOfs;
    uint32_t cValues;
};

NS_ENTRY read_entry(BYTE_SPAN ns, uint64_t e) {
    NS_ENTRY n{};
    n.fName = read_wstr(ns, e + APISET_ENTRY_NAME, &n.name);
    get_u32(ns, e + APISET_ENTRY_HASHED_LENGTH, &n.cbHashed);
    get_u32(ns, e + APISET_ENTRY_VALUE_OFFSET, &n.valueOfs);
    get_u32(ns, e + APISET_ENTRY_VALUE_COUNT, &n.cValues);
    return n;
}

bool starts_with_ignoring_case(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); i++)
        if (ascii_lower(uint32_t(uint8_t(s[i]))) != uint8_t(prefix[i])) return false;
    return true;
}

void append_utf8(std::string* out, uint32_t u) {
    if (u < 0x80) {
        out->push_back(char(u));
    } else if (u < 0x800) {
        out->push_back(char(0xC0 | u >> 6));
        out->push_back(char(0x80 | (u & 0x3F)));
    } else {
        out->push_back(char(0xE0 | u >> 12));
        out->push_back(char(0x80 | (u >> 6 & 0x3F)));
        out->push_back(char(0x80 | (u & 0x3F)));
    }
}

}  // namespace

bool apiset_read_schema(BYTE_SPAN section, APISET_SCHEMA* schema) {
    BYTE_SPAN ns = section;
    uint32_t version = 0;
    APISET_SCHEMA s{ns, 0, 0, 0, 0};
    if (!span_has(ns, 0, APISET_HEADER_SIZE) || !get_u32(ns, 0, &version) || version != APISET_VERSION) return false;
    get_u32(ns, APISET_HDR_COUNT, &s.Count);
    get_u32(ns, APISET_HDR_ENTRY_OFFSET, &s.EntryOffset);
    get_u32(ns, APISET_HDR_HASH_OFFSET, &s.HashOffset);
    get_u32(ns, APISET_HDR_HASH_FACTOR, &s.HashFactor);
    // Both tables must fit before anything is walked, so Count is bounded by the section size.
    if (!span_has(ns, s.EntryOffset, uint64_t(s.Count) * APISET_ENTRY_SIZE) ||
        !span_has(ns, s.HashOffset, uint64_t(s.Count) * APISET_HASH_SIZE))
        return false;
    // Value tables may not claim more bytes, all together, than the section holds: entries
    // sharing one large table would otherwise make this check quadratic.
    uint64_t cbValues = 0;
    for (uint32_t i = 0; i < s.Count; i++) {
        NS_ENTRY n = read_entry(ns, s.EntryOffset + uint64_t(i) * APISET_ENTRY_SIZE);
        if (!n.fName || n.cbHashed % 2 || n.cbHashed / 2 > n.name.cch) return false;
        cbValues += uint64_t(n.cValues) * APISET_VALUE_SIZE;
        if (cbValues > ns.len || !span_has(ns, n.valueOfs, uint64_t(n.cValues) * APISET_VALUE_SIZE)) return false;
        for (uint32_t k = 0; k < n.cValues; k++) {
            uint64_t v = n.valueOfs + uint64_t(k) * APISET_VALUE_SIZE;
            WSTR importer{}, host{};
            if (!read_wstr(ns, v + APISET_VALUE_NAME, &importer) || !read_wstr(ns, v + APISET_VALUE_VALUE, &host))
                return false;
        }
    }
    // Halving needs each hash once and in ascending order.
    for (uint32_t j = 0; j < s.Count; j++) {
        uint32_t hash = 0, prev = 0, index = 0;
        get_u32(ns, s.HashOffset + uint64_t(j) * APISET_HASH_SIZE, &hash);
        get_u32(ns, s.HashOffset + uint64_t(j) * APISET_HASH_SIZE + APISET_HASH_INDEX, &index);
        if (index >= s.Count) return false;
        if (j > 0 && get_u32(ns, s.HashOffset + uint64_t(j - 1) * APISET_HASH_SIZE, &prev) && prev >= hash) return false;
    }
    *schema = s;
    return true;
}

APISET_RESULT apiset_resolve(const APISET_SCHEMA& schema, std::string_view name, std::string_view importer,
                             std::string* host) {
    const BYTE_SPAN ns = schema.ns;
    if (!starts_with_ignoring_case(name, "api-") && !starts_with_ignoring_case(name, "ext-")) return APISET_NOT_API_SET;
    if (name.size() >= 4 && starts_with_ignoring_case(name.substr(name.size() - 4), ".dll")) name.remove_suffix(4);
    // The hashed part ends before the last '-', which the prefix guarantees there is.
    std::string_view stem = name.substr(0, name.rfind('-'));
    uint32_t hash = 0;
    for (char c : stem) hash = hash * schema.HashFactor + ascii_lower(uint32_t(uint8_t(c)));

    uint32_t lo = 0, hi = schema.Count, index = 0;
    bool fFound = false;
    while (lo < hi && !fFound) {
        uint32_t mid = lo + (hi - lo) / 2, h = 0;
        get_u32(ns, schema.HashOffset + uint64_t(mid) * APISET_HASH_SIZE, &h);
        if (h == hash) {
            fFound = get_u32(ns, schema.HashOffset + uint64_t(mid) * APISET_HASH_SIZE + APISET_HASH_INDEX, &index);
        } else if (h < hash) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    if (!fFound) return APISET_NOT_API_SET;
    // A hash is not a name: the entry's hashed part must be the asked stem.
    NS_ENTRY n = read_entry(ns, schema.EntryOffset + uint64_t(index) * APISET_ENTRY_SIZE);
    n.name.cch = n.cbHashed / 2;
    if (compare_ignoring_case(stem, ns, n.name) != 0) return APISET_NOT_API_SET;
    if (n.cValues == 0) return APISET_NO_HOST;
    const uint32_t valueOfs = n.valueOfs, cValues = n.cValues;

    // The first value is the default; the others, sorted by importer name, are exceptions.
    uint32_t chosen = 0;
    size_t cut = importer.find_last_of("/\\");
    std::string_view base = cut == std::string_view::npos ? importer : importer.substr(cut + 1);
    uint32_t vlo = 1, vhi = base.empty() ? 1 : cValues;
    while (vlo < vhi) {
        uint32_t mid = vlo + (vhi - vlo) / 2;
        WSTR who{};
        read_wstr(ns, valueOfs + uint64_t(mid) * APISET_VALUE_SIZE + APISET_VALUE_NAME, &who);
        int c = compare_ignoring_case(base, ns, who);
        if (c == 0) {
            chosen = mid;
            break;
        }
        if (c < 0) vhi = mid;
        else vlo = mid + 1;
    }
    WSTR value{};
    read_wstr(ns, valueOfs + uint64_t(chosen) * APISET_VALUE_SIZE + APISET_VALUE_VALUE, &value);
    if (value.cch == 0) return APISET_NO_HOST;
    host->clear();
    for (uint64_t i = 0; i < value.cch; i++) append_utf8(host, unit_at(ns, value, i));
    return APISET_HOST;
}

bool apiset_find_section(BYTE_SPAN file, BYTE_SPAN* section) {
    PE_IMAGE im;
    return pe_parse_image(file, &im).problem == PE_FINE && pe_named_section(&im, APISET_SECTION_NAME, section);
}

}  // namespace talvek
