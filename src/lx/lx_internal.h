// The LX format's constants and the stages of its check, shared by its files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "common/bytes.h"
#include "common/dos_header.h"
#include "common/module_check.h"
#include "common/reflist.h"
#include "common/types.h"

namespace talvek {

constexpr uint16_t LX_SIGNATURE = 0x584C;            // the bytes "LX"
constexpr uint32_t LX_HDR_SIZE = 172;
constexpr uint16_t LX_OS_KAVRI = 1;                  // os_type 0 (unspecified) or 1 is accepted
constexpr uint32_t LX_FLAG_NOT_LOADABLE = 0x2000;    // link errors: the module must not be loaded

// Offsets of the header fields this tool reads, counted from the header's first byte.
constexpr size_t LXH_SIGNATURE = 0;
constexpr size_t LXH_BYTE_ORDER = 2;
constexpr size_t LXH_WORD_ORDER = 3;
constexpr size_t LXH_OS_TYPE = 10;
constexpr size_t LXH_FLAGS = 16;
constexpr size_t LXH_FIXUP_SIZE = 48;
constexpr size_t LXH_OFS_FIXUP_PG_TBL = 104;
constexpr size_t LXH_OFS_FIXUP_REC_TBL = 108;
constexpr size_t LXH_OFS_IMPMOD_TBL = 112;
constexpr size_t LXH_NUM_IMPORT_ENT = 116;
constexpr size_t LXH_OFS_IMPORT_PROC_TBL = 120;

// Source type byte of a fixup record.
constexpr uint8_t LX_FIX_TYPE_MASK = 0x0F;
constexpr uint8_t LX_FIX_SELECTOR16 = 0x02;          // 16-bit selector: no target offset
constexpr uint8_t LX_SOURCE_LIST = 0x20;

// Target flags byte of a fixup record.
constexpr uint8_t LX_TARGET_TYPE_MASK = 0x03;
constexpr uint8_t LX_TARGET_INTERNAL = 0;
constexpr uint8_t LX_TARGET_IMP_ORDINAL = 1;
constexpr uint8_t LX_TARGET_IMP_NAME = 2;
constexpr uint8_t LX_TARGET_ENTRY = 3;
constexpr uint8_t LX_ADDITIVE = 0x04;
constexpr uint8_t LX_TARGET32 = 0x10;
constexpr uint8_t LX_ADD32 = 0x20;
constexpr uint8_t LX_OBJ16 = 0x40;
constexpr uint8_t LX_ORD8 = 0x80;

// The header fields this tool reads, decoded at the table's offsets.
struct KAVRI_LX_EXEHEADER {
    uint16_t signature;
    uint8_t byte_order;
    uint8_t word_order;
    uint16_t os_type;
    uint32_t flags;
    uint32_t fixup_size;
    uint32_t ofs_fixup_pg_tbl;
    uint32_t ofs_fixup_rec_tbl;
    uint32_t ofs_impmod_tbl;
    uint32_t num_import_ent;
    uint32_t ofs_import_proc_tbl;
};

// Everything the check of one LX module takes. The tables are spans inside the one fixup
// section buffer; the names of the import module name table are offsets into it.
struct LX_MODULE {
    std::string filespec;         // as handed to the check
    KAVRI_LX_EXEHEADER KAVRILXExeHeader;
    MEM_PTR<uint8_t> fixup_sectionp;
    BYTE_SPAN fixup;              // the whole fixup section
    uint64_t rec_ofs;             // fixup record table, from the start of the section
    uint64_t impmod_ofs;          // import module name table
    uint64_t import_proc_ofs;     // import procedure name table, up to the section's end
    uint32_t cMods;               // num_import_ent
    MEM_PTR<uint64_t> dllNameOfs;   // entry i (1..cMods): offset of module i's LSTR
    REF_TABLE32 refs;
};

// One fixup record as far as this tool decodes it.
struct LX_FIXUP {
    uint64_t record_size;
    uint8_t target_type;
    uint16_t mod_ordinal;         // target types 1 and 2
    uint32_t num;                 // imported ordinal (type 1) or procedure name offset (type 2)
};

// Decodes the header at b (LX_HDR_SIZE bytes just read).
void decode_lx_header(const uint8_t* b, KAVRI_LX_EXEHEADER* hdr);

// Reads and checks the header and reads the fixup section into mod->fixup_sectionp.
// Reports the failure; returns 0, or 3, 4, 6 or 12.
int32_t lx_read_fixup_section(CHECK_CONTEXT* ctx, LX_MODULE* mod, const DOS_EXE_HDR* DosExeHeaderP, FILE* ifile);

// Takes the reference lists and walks the import module name table.
// Reports the failure; returns 0, or 6 or 55.
int32_t lx_read_name_tables(CHECK_CONTEXT* ctx, LX_MODULE* mod);

// Sizes and decodes the record at pos of s, whose whole extent must lie inside s.
// False, with nothing decoded, when it does not.
bool lx_decode_fixup(BYTE_SPAN s, uint64_t pos, LX_FIXUP* fix);

// Walks the fixup record table and enters every import into mod->refs. Returns 0, or
// when a list node cannot be had the failure that ends the run (6), reported.
int32_t lx_decode_fixups(CHECK_CONTEXT* ctx, LX_MODULE* mod);

// Reports imported module i (1..cMods) and its entries; *next is the module name to search.
void lx_report_import(CHECK_CONTEXT* ctx, const LX_MODULE* mod, uint32_t i, FOLLOW* next);

}  // namespace talvek
