// Test-side writer of whole 16-bit NE modules: header, segment table, segment data with
// relocation tables placed by sector and align, module reference and imported-names tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/module_writer.h"

// Offsets of NE header fields, relative to the header, for damaging a written module.
enum : size_t {
    NEF_SIGNATURE = 0x00,
    NEF_OFS_ENTRY_TBL = 0x04,
    NEF_FLAGS = 0x0C,
    NEF_NUM_SEGS = 0x1C,
    NEF_NUM_MODREF = 0x1E,
    NEF_OFS_SEG_TBL = 0x22,
    NEF_OFS_MODREF_TBL = 0x28,
    NEF_OFS_IMPNAM_TBL = 0x2A,
    NEF_ALIGN = 0x32,
    NEF_OP_SYS = 0x36,
};

// One relocation record as the file holds it.
struct NE_RELOC {
    uint8_t reloc_type = 3;   // a far pointer, as linkers write for calls into DLLs
    uint8_t flags = 0;        // bits 0-1: 0 internal, 1 by ordinal, 2 by name, 3 system fixup
    uint16_t source_ofs = 0;
    uint16_t mod_idx = 0;
    uint16_t proc_idx = 0;
};
NE_RELOC ne_ordinal(uint16_t mod_idx, uint16_t ordinal);
NE_RELOC ne_by_name(uint16_t mod_idx, uint16_t name_ofs);
NE_RELOC ne_internal_ref();
NE_RELOC ne_os_fixup();

struct NE_SEG {
    std::optional<uint16_t> sector_num;   // unset: the first free sector behind what is written
    uint16_t seg_size = 0x20;             // 0 stands for 65536
    uint16_t seg_flags = 0x0100;          // 0x0100: relocation records follow the data
    uint16_t min_alloc = 0x20;
    bool write_data = true;               // fill the data bytes (off: only the table is written)
    bool write_relocs = true;             // write the relocation table, whatever seg_flags says
    std::vector<NE_RELOC> relocs;
    std::optional<uint16_t> num_reloc;    // the count written, when it should not match relocs
};

// The imported-names table under construction: LSTR names at known offsets.
struct NE_NAMES {
    BYTES bytes;
    uint16_t add(const std::string& name);   // appends the name, returns its offset
};

struct NE_DESC {
    DOS_DESC dos;
    uint16_t flags = 0;
    uint8_t op_sys = 1;
    uint16_t align = 9;
    NE_NAMES names;
    std::vector<uint16_t> modrefs;   // per imported module 1..n: the offset of its name
    std::vector<NE_SEG> segs;
};

// Where write_ne put things, as absolute file positions.
struct NE_LAYOUT {
    size_t ne_hdr;
    size_t seg_tbl;
    size_t modref_tbl;
    size_t impnam_tbl;
    size_t entry_tbl;
    std::vector<size_t> reloc_tbl;   // per segment: its count word (when a table is written)
};

BYTES write_ne(const NE_DESC& d, NE_LAYOUT* layout = nullptr);

// A module importing the given DLL names (the imported-names table starts with them, in
// order) with one segment holding the given records.
NE_DESC ne_module(const std::vector<std::string>& dlls, const std::vector<NE_RELOC>& relocs = {});
