// Test-side writer of module files: byte helpers and the DOS header. The format writers
// (LX, NE, PE) build on it. It shares no code with the tool, so a reader fault cannot
// hide in a writer that makes the same mistake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

typedef std::vector<uint8_t> BYTES;

// Little-endian stores at ofs, growing the buffer with zeros as needed.
void put_u8(BYTES& b, size_t ofs, uint8_t v);
void put_u16(BYTES& b, size_t ofs, uint16_t v);
void put_u32(BYTES& b, size_t ofs, uint32_t v);
void put_bytes(BYTES& b, size_t ofs, const BYTES& v);
void put_str(BYTES& b, size_t ofs, const std::string& s);   // the characters, no terminator

// Appends at the end.
void add_u8(BYTES& b, uint8_t v);
void add_u16(BYTES& b, uint16_t v);
void add_u32(BYTES& b, uint32_t v);
void add_bytes(BYTES& b, const BYTES& v);
void add_str(BYTES& b, const std::string& s);
void add_lstr(BYTES& b, const std::string& s);   // a length byte, then the characters

uint16_t rd_u16(const BYTES& b, size_t ofs);
uint32_t rd_u32(const BYTES& b, size_t ofs);

// The DOS header fields the tool looks at; the rest are written as a linker would.
struct DOS_DESC {
    uint16_t signature = 0x5A4D;
    uint16_t addr_reloc = 0x40;
    uint32_t ofs_new_hdr = 0x40;   // where the new header goes
};

// A 64-byte DOS header.
BYTES write_dos(const DOS_DESC& d);

// A DOS header followed, at ofs_new_hdr, by the given new-header bytes.
BYTES write_module(const DOS_DESC& d, const BYTES& new_hdr);
