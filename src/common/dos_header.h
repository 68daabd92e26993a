// The 64-byte DOS header that starts every module file.
#pragma once

#include <cstdint>

#include "common/bytes.h"

namespace talvek {

constexpr uint16_t DOS_SIGNATURE = 0x5A4D;     // the bytes "MZ"
constexpr uint16_t DOS_NEW_HDR_RELOC = 0x40;   // addr_reloc of a module with a new header
constexpr uint32_t DOS_HDR_SIZE = 64;

struct DOS_EXE_HDR {
    uint16_t signature;
    uint16_t size_last_page;
    uint16_t num_pages;
    uint16_t num_reloc;
    uint16_t header_size;
    uint16_t min_alloc;
    uint16_t max_alloc;
    uint16_t init_ss;
    uint16_t init_sp;
    uint16_t checksum;
    uint16_t init_ip;
    uint16_t init_cs;
    uint16_t addr_reloc;
    uint16_t ovly_num;
    uint8_t reserved1[8];
    uint16_t oem_id;
    uint16_t oem_info;
    uint8_t reserved2[20];
    uint32_t ofs_KAVRI_hdr;
};

// Decodes the 64 bytes at b, field by field at the table's offsets.
void decode_dos_header(const uint8_t* b, DOS_EXE_HDR* hdr);

// Wine's PE builtins (its DLLs and programs, as installed) carry the text "Wine builtin DLL"
// and a NUL byte right after the DOS header, at file offset 64, in place of the DOS stub's
// code; the new header follows at 96 or 128. Such a file runs only under Wine's loader.
constexpr char WINE_BUILTIN_MARKER[] = "Wine builtin DLL";   // with its NUL: 17 bytes

// Whether the file holds Wine's builtin marker at offset 64, its NUL included.
bool has_wine_builtin_marker(BYTE_SPAN file);

}  // namespace talvek
