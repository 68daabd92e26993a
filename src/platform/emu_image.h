// A PE32 image as the emulated loader maps it: headers, sections, reads by RVA, exports
// and the static import table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/bytes.h"

namespace talvek {

constexpr uint16_t EMU_MACHINE_I386 = 0x014C;
constexpr uint16_t EMU_MAGIC_PE32 = 0x010B;
constexpr uint32_t EMU_OFS_NEW_HDR = 0x3C;
constexpr uint32_t EMU_OFS_MACHINE = 4;
constexpr uint32_t EMU_OFS_NUM_SECTIONS = 6;
constexpr uint32_t EMU_OFS_OPT_SIZE = 20;
constexpr uint32_t EMU_FILE_HDR_END = 24;
constexpr uint32_t EMU_OPT_SIZE_OF_HEADERS = 60;
constexpr uint32_t EMU_OPT_NUM_RVA_SIZES = 92;
constexpr uint32_t EMU_OPT_DATA_DIRS = 96;
constexpr uint32_t EMU_DIR_EXPORT = 0;
constexpr uint32_t EMU_DIR_IMPORT = 1;
constexpr uint32_t EMU_NUM_DIRS = 16;
constexpr uint32_t EMU_SECTION_HDR_SIZE = 40;
constexpr uint32_t EMU_EXPORT_DIR_SIZE = 40;
constexpr uint32_t EMU_IMPORT_DESC_SIZE = 20;
constexpr uint32_t EMU_ORDINAL_FLAG = 0x80000000;

struct EMU_SECTION {
    uint32_t va;
    uint64_t extent;    // max(VirtualSize, SizeOfRawData)
    uint32_t raw_size;
    uint32_t raw_ptr;
};

// One imported entry: by ordinal (the lookup value without its flag bit) or by name.
struct EMU_REF {
    bool by_ordinal;
    uint32_t ordinal;
    std::string_view name;
};

// One import descriptor: the DLL's name and the index of its entry list in EMU_IMPORTS.
struct EMU_IMPORT {
    std::string_view dll;
    size_t table;
};

struct EMU_IMPORTS {
    std::vector<EMU_IMPORT> modules;
    std::vector<std::vector<EMU_REF>> tables;
};

// A run of RVAs [start, next run's start) and the section that maps it: the first in table
// order whose extent holds it, or none.
struct EMU_RUN {
    uint64_t start;
    uint32_t section;   // an index into sections, or EMU_NO_SECTION
};
constexpr uint32_t EMU_NO_SECTION = UINT32_MAX;

// The longest export name indexed: the longest the tool can ask for, as its name reads
// stop at 4096 bytes. Longer names are never found.
constexpr uint32_t EMU_MAX_EXPORT_NAME = 4096;

struct EMU_IMAGE {
    BYTE_SPAN file;
    std::vector<EMU_SECTION> sections;
    std::vector<EMU_RUN> runs;   // ascending, so each read finds its section in log time
    uint32_t size_of_headers;
    bool has_dir[EMU_NUM_DIRS];
    uint32_t dir_rva[EMU_NUM_DIRS];
    uint32_t dir_size[EMU_NUM_DIRS];
    // The export directory, when it can be read.
    bool has_exports;
    uint32_t exp_base, exp_num_funcs, exp_num_names, exp_funcs, exp_names, exp_ordinals;
    // Name -> index in the export name table, first in table order; built on first use.
    bool names_indexed;
    std::unordered_map<std::string_view, uint32_t> name_index;
};

// Decodes the headers of the file in file (which must outlive the image). False when it is
// not a loadable 32-bit x86 image: no "MZ" or "PE\0\0", headers cut short by the end of the
// file, another machine or another optional header magic.
bool emu_parse_image(BYTE_SPAN file, EMU_IMAGE* im);

// n bytes at rva as the loader maps them, bytes past a section's raw data reading as 0.
// False when the read leaves its section (or the headers) or the file.
bool emu_read(const EMU_IMAGE* im, uint64_t rva, uint8_t* dst, uint32_t n);
bool emu_u32(const EMU_IMAGE* im, uint64_t rva, uint32_t* v);
bool emu_u16(const EMU_IMAGE* im, uint64_t rva, uint16_t* v);

// The zero-terminated string at rva (a view into the file). False when it runs out of its
// section or the file before its end.
bool emu_cstr(const EMU_IMAGE* im, uint64_t rva, std::string_view* s);

// Reads the whole static import table. False when any part of it cannot be read.
bool emu_read_imports(const EMU_IMAGE* im, EMU_IMPORTS* imp);

// The export address table index of an entry, by ordinal or by name. False when there is none.
bool emu_export_index(EMU_IMAGE* im, const EMU_REF& ref, uint32_t* index);

// The RVA at export index; false when it cannot be read or is 0.
bool emu_export_rva(const EMU_IMAGE* im, uint32_t index, uint32_t* rva);

// Whether rva lies inside the export directory, which makes the export a forwarder.
bool emu_is_forwarder(const EMU_IMAGE* im, uint32_t rva);

}  // namespace talvek
