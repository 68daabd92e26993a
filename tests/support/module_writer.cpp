// Byte helpers and the DOS header of the test-side module writer.
#include "support/module_writer.h"

void put_u8(BYTES& b, size_t ofs, uint8_t v) {
    if (b.size() < ofs + 1) b.resize(ofs + 1);
    b[ofs] = v;
}

void put_u16(BYTES& b, size_t ofs, uint16_t v) {
    put_u8(b, ofs, uint8_t(v));
    put_u8(b, ofs + 1, uint8_t(v >> 8));
}

void put_u32(BYTES& b, size_t ofs, uint32_t v) {
    put_u16(b, ofs, uint16_t(v));
    put_u16(b, ofs + 2, uint16_t(v >> 16));
}

void put_bytes(BYTES& b, size_t ofs, const BYTES& v) {
    if (b.size() < ofs + v.size()) b.resize(ofs + v.size());
    for (size_t i = 0; i < v.size(); i++) b[ofs + i] = v[i];
}

void put_str(BYTES& b, size_t ofs, const std::string& s) { put_bytes(b, ofs, BYTES(s.begin(), s.end())); }

void add_u8(BYTES& b, uint8_t v) { b.push_back(v); }
void add_u16(BYTES& b, uint16_t v) { put_u16(b, b.size(), v); }
void add_u32(BYTES& b, uint32_t v) { put_u32(b, b.size(), v); }
void add_bytes(BYTES& b, const BYTES& v) { b.insert(b.end(), v.begin(), v.end()); }
void add_str(BYTES& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }

void add_lstr(BYTES& b, const std::string& s) {
    add_u8(b, uint8_t(s.size()));
    add_str(b, s);
}

uint16_t rd_u16(const BYTES& b, size_t ofs) { return uint16_t(b.at(ofs) | b.at(ofs + 1) << 8); }
uint32_t rd_u32(const BYTES& b, size_t ofs) { return rd_u16(b, ofs) | uint32_t(rd_u16(b, ofs + 2)) << 16; }

BYTES write_dos(const DOS_DESC& d) {
    BYTES b(64, 0);
    put_u16(b, 0, d.signature);
    put_u16(b, 2, 0x90);    // bytes in the last page
    put_u16(b, 4, 3);       // pages
    put_u16(b, 8, 4);       // header paragraphs
    put_u16(b, 12, 0xFFFF); // max_alloc
    put_u16(b, 16, 0xB8);   // init_sp
    put_u16(b, 24, d.addr_reloc);
    put_u32(b, 60, d.ofs_new_hdr);
    return b;
}

BYTES write_module(const DOS_DESC& d, const BYTES& new_hdr) {
    BYTES b = write_dos(d);
    put_bytes(b, d.ofs_new_hdr, new_hdr);
    return b;
}
