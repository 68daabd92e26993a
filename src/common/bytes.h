// Bounded little-endian reads over file data, and the one positioned file read.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace talvek {

struct BYTE_SPAN {
    const uint8_t* p;
    size_t len;
};

// [ofs, ofs + n) lies inside s. Subtracts rather than adds, so nothing wraps.
inline bool span_has(BYTE_SPAN s, uint64_t ofs, uint64_t n) { return ofs <= s.len && n <= s.len - ofs; }

inline uint16_t le16(const uint8_t* b) { return uint16_t(b[0] | b[1] << 8); }
inline uint32_t le32(const uint8_t* b) { return le16(b) | uint32_t(le16(b + 2)) << 16; }

inline bool get_u8(BYTE_SPAN s, uint64_t ofs, uint8_t* v) {
    if (!span_has(s, ofs, 1)) return false;
    *v = s.p[ofs];
    return true;
}

inline bool get_u16(BYTE_SPAN s, uint64_t ofs, uint16_t* v) {
    if (!span_has(s, ofs, 2)) return false;
    *v = le16(s.p + ofs);
    return true;
}

inline bool get_u32(BYTE_SPAN s, uint64_t ofs, uint32_t* v) {
    if (!span_has(s, ofs, 4)) return false;
    *v = le32(s.p + ofs);
    return true;
}

// The n-byte (at most 8) little-endian field at ofs, of which the bytes inside s count and
// the missing ones read as 0: a header field that the end of the file cuts through.
inline uint64_t get_le_cut(BYTE_SPAN s, uint64_t ofs, uint32_t n) {
    uint64_t v = 0;
    if (ofs >= s.len) return 0;
    for (uint32_t i = 0; i < n && i < 8; i++)
        if (span_has(s, ofs + i, 1)) v |= uint64_t(s.p[ofs + i]) << (8 * i);
    return v;
}

// The n bytes at ofs as a span of their own; false when they do not all lie inside s.
inline bool sub_span(BYTE_SPAN s, uint64_t ofs, uint64_t n, BYTE_SPAN* out) {
    if (!span_has(s, ofs, n)) return false;
    *out = BYTE_SPAN{s.p + ofs, size_t(n)};
    return true;
}

// An LSTR at ofs: the length byte's count of characters, cut at the end of s
// and at a NUL byte, which ends a name as it ends a C string.
inline std::string_view get_lstr(BYTE_SPAN s, uint64_t ofs) {
    if (ofs >= s.len) return {};
    const char* p = reinterpret_cast<const char*>(s.p + ofs + 1);
    size_t n = std::min<size_t>(s.p[ofs], s.len - ofs - 1);
    return {p, strnlen(p, n)};
}

// A zero-terminated name at ofs, cut at the end of s when no NUL ends it there.
inline std::string_view get_cstr(BYTE_SPAN s, uint64_t ofs) {
    if (ofs >= s.len) return {};
    const char* p = reinterpret_cast<const char*>(s.p + ofs);
    return {p, strnlen(p, s.len - size_t(ofs))};
}

// A sticky cursor for variable records: every take after the first miss gives 0 and
// leaves ok false, so a record is decoded whole and checked once.
struct BYTE_CURSOR {
    BYTE_SPAN s;
    uint64_t pos;
    bool ok;
};

inline uint8_t take_u8(BYTE_CURSOR* c) {
    uint8_t v = 0;
    c->ok = c->ok && get_u8(c->s, c->pos, &v);
    if (c->ok) c->pos += 1;
    return v;
}

inline uint16_t take_u16(BYTE_CURSOR* c) {
    uint16_t v = 0;
    c->ok = c->ok && get_u16(c->s, c->pos, &v);
    if (c->ok) c->pos += 2;
    return v;
}

inline uint32_t take_u32(BYTE_CURSOR* c) {
    uint32_t v = 0;
    c->ok = c->ok && get_u32(c->s, c->pos, &v);
    if (c->ok) c->pos += 4;
    return v;
}

// Moves past n bytes that are not decoded; misses when they do not all lie in the span.
inline void skip_bytes(BYTE_CURSOR* c, uint64_t n) {
    c->ok = c->ok && span_has(c->s, c->pos, n);
    if (c->ok) c->pos += n;
}

// Positions f at ofs (a 64-bit seek on every platform) and reads exactly n bytes.
// A failed seek or a short read is false.
bool read_at(FILE* f, uint64_t ofs, void* dst, size_t n);

// The size of the file behind f in bytes; false when it cannot be found.
bool file_size(FILE* f, uint64_t* size);

}  // namespace talvek
