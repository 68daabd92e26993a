// The NE processor's records, format constants and the stages of its check.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "common/bytes.h"
#include "common/dos_header.h"
#include "common/module_check.h"
#include "common/reflist.h"
#include "common/types.h"

namespace talvek {

constexpr uint16_t NE_SIGNATURE = 0x454E;          // the bytes "NE"
constexpr uint32_t NE_HDR_SIZE = 64;
constexpr uint16_t NE_FLAG_LINK_ERRORS = 0x2000;   // flags bit 13: linked with errors
constexpr uint8_t NE_OS_MAX_ACCEPTED = 1;          // op_sys 0 and 1 are this system's
constexpr uint8_t NE_OS_WINDOWS = 2;               // noted, then processed all the same

constexpr uint32_t NE_SEG_ENTRY_SIZE = 8;
constexpr uint16_t NE_SEG_HAS_RELOCS = 0x0100;     // seg_flags bit 8: relocations follow the data
constexpr uint32_t NE_SEG_SIZE_FULL = 65536;       // what a seg_size of 0 stands for
constexpr uint16_t NE_ALIGN_LIMIT = 32;            // an align of this or more gives sector size 0

constexpr uint32_t NE_MODREF_SIZE = 2;
constexpr uint32_t NE_RELOC_COUNT_SIZE = 2;
constexpr uint32_t NE_RELOC_SIZE = 8;
constexpr uint8_t NE_RELOC_TARGET_MASK = 0x03;     // flags bits 0-1: the target type
constexpr uint8_t NE_TARGET_ORDINAL = 1;
constexpr uint8_t NE_TARGET_NAME = 2;

// Offsets of the NE header fields used or shown, relative to the header.
constexpr uint32_t NEH_SIGNATURE = 0x00;
constexpr uint32_t NEH_OFS_ENTRY_TBL = 0x04;
constexpr uint32_t NEH_FLAGS = 0x0C;
constexpr uint32_t NEH_NUM_SEGS = 0x1C;
constexpr uint32_t NEH_NUM_MODREF = 0x1E;
constexpr uint32_t NEH_OFS_SEG_TBL = 0x22;
constexpr uint32_t NEH_OFS_MODREF_TBL = 0x28;
constexpr uint32_t NEH_OFS_IMPNAM_TBL = 0x2A;
constexpr uint32_t NEH_ALIGN = 0x32;
constexpr uint32_t NEH_OP_SYS = 0x36;

// The NE header fields the processor reads, decoded from the 64 bytes.
struct KAVRI_EXE_HDR {
    uint16_t signature;
    uint16_t ofs_entry_tbl;
    uint16_t flags;
    uint16_t num_segs;
    uint16_t num_modref;
    uint16_t ofs_seg_tbl;
    uint16_t ofs_modref_tbl;
    uint16_t ofs_impnam_tbl;
    uint16_t align;
    uint8_t op_sys;
};

struct SEG_TBL_ENTRY {
    uint16_t sector_num;
    uint16_t seg_size;
    uint16_t seg_flags;
    uint16_t min_alloc;
};

// The working state of one NE module's check. Tables are kept as the bytes read and
// decoded where used; a table of count 0 is an empty span with no block behind it.
struct NE_MODULE {
    CHECK_CONTEXT* ctx;                // the run's, which outlives the module
    std::string filespec;
    FILE_PTR file;
    uint64_t cbFile;
    KAVRI_EXE_HDR KAVRIExeHeader;
    uint32_t tsize;
    bool fImportsNothing;              // an empty imported-names table: the early end
    MEM_PTR<uint8_t> ImportNameBuf;
    BYTE_SPAN ImportNames;
    MEM_PTR<uint8_t> SegTable;
    BYTE_SPAN Segs;
    MEM_PTR<uint8_t> ModRefTable;
    BYTE_SPAN ModRefs;
    REF_TABLE16 refs;
    MEM_PTR<uint8_t> RelocTable;
    // Without -o and -r, the record slots already decoded: per alignment class of the file
    // position (mod 8), one bit per 8-byte slot; taken with the first table.
    MEM_PTR<uint64_t> ScannedSlots;
    uint64_t cSlotWords;           // words per class
    std::string dll;               // the name of the module being reported
};

// Phase 1: reads and checks the NE header, then the imported-names, segment and module
// reference tables, and takes the reference lists. Reports its failure; returns 3, 4, 6, 12.
int32_t ne_read_tables(NE_MODULE* mod, const DOS_EXE_HDR* DosExeHeaderP);

// Phase 2: scans the relocation records of every segment that has them into the lists,
// reporting the -o and -r lines. Reports its failure; returns 3 or 6.
int32_t ne_scan_relocs(NE_MODULE* mod);

// Phase 3: the listing of imported module k (1..num_modref) and its entries; *next is the
// module name to search.
void ne_report_import(NE_MODULE* mod, uint32_t k, FOLLOW* next);

// Reports one line of the -o, -r, -c, -s or -i listings, formatted as printf formats it.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void ne_listing(const NE_MODULE* mod, const char* fmt, ...);

// Phases 4, 5 and 6: the -c, -s and -i listings, each reported only when its option is set.
void ne_list_chains(const NE_MODULE* mod);
void ne_list_segments(const NE_MODULE* mod);
void ne_list_imports(const NE_MODULE* mod);

// Entry i (from 0) of the segment table; the caller keeps i below num_segs.
SEG_TBL_ENTRY ne_seg_entry(const NE_MODULE* mod, uint32_t i);

// The name of imported module k. Module numbers outside 1..num_modref, and reference
// words at or beyond the table's end, give an empty name.
std::string_view ne_module_name(const NE_MODULE* mod, uint16_t k);

// The name at an offset of the imported-names table: empty at or beyond its end, cut
// at its end and at a NUL byte.
std::string_view ne_import_name(const NE_MODULE* mod, uint32_t ofs);

}  // namespace talvek
