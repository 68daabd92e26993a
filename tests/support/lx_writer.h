// Test-side writer of whole LX modules: header fields, the fixup section with records of
// every kind, both name tables, and the field offsets to damage any of it afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/module_writer.h"

// Offsets of the LX header fields, counted from the header's first byte.
enum : size_t {
    LXW_SIGNATURE = 0,
    LXW_BYTE_ORDER = 2,
    LXW_WORD_ORDER = 3,
    LXW_OS_TYPE = 10,
    LXW_FLAGS = 16,
    LXW_FIXUP_SIZE = 48,
    LXW_OFS_FIXUP_PG_TBL = 104,
    LXW_OFS_FIXUP_REC_TBL = 108,
    LXW_OFS_IMPMOD_TBL = 112,
    LXW_NUM_IMPORT_ENT = 116,
    LXW_OFS_IMPORT_PROC_TBL = 120,
    LXW_HEADER_SIZE = 172,
};

// One fixup record. Which fields are written, and how wide, follows the two type bytes
// exactly as the format lays them out, so any combination of bits can be written.
struct LX_FIXUP_REC {
    uint8_t src = 0x07;                 // source type byte; 0x20 = source list, low nibble 2 = selector
    uint8_t flags = 0x01;               // target flags byte
    uint16_t src_ofs = 0;               // the one source offset, without a source list
    std::vector<uint16_t> src_list;     // the source offsets with a source list; count = size
    uint16_t first = 1;                 // object number, module ordinal or entry ordinal
    uint32_t second = 0;                // target offset, imported ordinal or procedure name offset
    uint32_t additive = 0;              // written when flags has 0x04
};

// The record's bytes.
BYTES lx_record(const LX_FIXUP_REC& r);

// A 32-bit offset fixup importing ordinal from module mod; extra is or-ed into the target flags.
LX_FIXUP_REC lx_import_ordinal(uint16_t mod, uint32_t ordinal, uint8_t extra = 0);
// The same importing by name, name_ofs counted from the import procedure name table.
LX_FIXUP_REC lx_import_name(uint16_t mod, uint32_t name_ofs, uint8_t extra = 0);

struct LX_DESC {
    DOS_DESC dos;
    uint16_t signature = 0x584C;        // "LX"
    uint8_t byte_order = 0;
    uint8_t word_order = 0;
    uint16_t os_type = 1;
    uint32_t flags = 0x00000200;
    BYTES fixup_page_table = BYTES(8, 0);
    std::vector<LX_FIXUP_REC> records;
    BYTES raw_records;                  // written after records, as they stand
    std::vector<std::string> modules;   // the import module name table, module ordinal 1 first
    std::vector<std::string> procs;     // the import procedure name table
    std::optional<BYTES> impmod_raw;    // replaces the table built from modules
    std::optional<BYTES> procnm_raw;    // replaces the table built from procs
    BYTES trailer;                      // bytes after the fixup section
    // Header values that replace the ones the layout gives.
    std::optional<uint32_t> fixup_size, ofs_fixup_pg_tbl, ofs_fixup_rec_tbl, ofs_impmod_tbl, num_import_ent,
        ofs_import_proc_tbl;
};

// The offset of procs[i] from the start of the import procedure name table.
uint32_t lx_proc_offset(const LX_DESC& d, size_t i);

// The whole module file: DOS header, LX header at dos.ofs_new_hdr, then at once the fixup
// section (page table, records, module names, procedure names), then the trailer.
BYTES write_lx(const LX_DESC& d);

// Overwrites a 32-bit header field of an image that write_lx made for d.
void damage_lx_u32(BYTES& image, const LX_DESC& d, size_t field, uint32_t v);

// A module importing from A, DOSCALLS and MISSING through one record of every kind: 8-,
// 16- and 32-bit ordinals, 16- and 32-bit name offsets, 16- and 32-bit additives, a 16-bit
// module ordinal, a source list, a selector fixup and an entry-table target.
LX_DESC lx_every_record_kind();
