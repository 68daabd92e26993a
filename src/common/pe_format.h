// The PE format's numbers: offsets, sizes, flags and magic values, for every reader of PE images.
#pragma once

#include <cstdint>

namespace talvek {

// The DOS header's pointer to the PE signature, and the signature "PE\0\0".
constexpr uint32_t PE_OFS_NEW_HDR = 0x3C;
constexpr uint32_t PE_SIGNATURE = 0x00004550;

// The file header, counted from the signature.
constexpr uint32_t PE_OFS_MACHINE = 0x04;
constexpr uint32_t PE_OFS_NUM_SECTIONS = 0x06;
constexpr uint32_t PE_OFS_OPT_SIZE = 0x14;
constexpr uint32_t PE_OFS_CHARACTERISTICS = 0x16;
constexpr uint16_t PE_FILE_DLL = 0x2000;            // Characteristics: the image is a DLL, not a program
constexpr uint32_t PE_FILE_HDR_END = 24;            // signature and file header: the optional header's start

// Machines whose processes run 64-bit images, and the one 32-bit machine named in tests.
constexpr uint16_t PE_MACHINE_I386 = 0x014C;
constexpr uint16_t PE_MACHINE_IA64 = 0x0200;
constexpr uint16_t PE_MACHINE_AMD64 = 0x8664;
constexpr uint16_t PE_MACHINE_ARM64 = 0xAA64;

// Optional header sizes and magics. PE32 and PE32+ differ in the fields before the data
// directories (PE32+ has a 64-bit image base and stack sizes, no BaseOfData), which moves
// NumberOfRvaAndSizes and the directories 16 bytes on.
constexpr uint16_t PE_OPT_SHORT = 28;
constexpr uint16_t PE_OPT_FULL = 224;
constexpr uint16_t PE_OPT_FULL64 = 240;
constexpr uint16_t PE_MAGIC_PE32 = 0x010B;
constexpr uint16_t PE_MAGIC_PE32PLUS = 0x020B;
constexpr uint32_t PE_OPT_MAGIC = 0;
constexpr uint32_t PE_OPT_IMAGE_BASE = 28;          // 4 bytes in PE32
constexpr uint32_t PE_OPT_IMAGE_BASE64 = 24;        // 8 bytes in PE32+
constexpr uint32_t PE_OPT_SIZE_OF_IMAGE = 56;
constexpr uint32_t PE_OPT_SIZE_OF_HEADERS = 60;
constexpr uint32_t PE_OPT_NUM_RVA_SIZES = 92;
constexpr uint32_t PE_OPT_NUM_RVA_SIZES64 = 108;
constexpr uint32_t PE_OPT_DATA_DIRS = 96;
constexpr uint32_t PE_OPT_DATA_DIRS64 = 112;

// Data directories: eight bytes each, the RVA and then the size.
constexpr uint32_t PE_NUM_DIRS = 16;
constexpr uint32_t PE_DATA_DIR_SIZE = 8;
constexpr uint32_t PE_DIR_EXPORT = 0;
constexpr uint32_t PE_DIR_IMPORT = 1;
constexpr uint32_t PE_DIR_BASERELOC = 5;
constexpr uint32_t PE_DIR_DELAY_IMPORT = 13;

// A section header.
constexpr uint32_t PE_SECTION_HDR_SIZE = 40;
constexpr uint32_t PE_SEC_NAME = 0;
constexpr uint32_t PE_SEC_NAME_SIZE = 8;             // NUL-padded, unterminated when full
constexpr uint32_t PE_SEC_VIRTUAL_SIZE = 8;
constexpr uint32_t PE_SEC_VIRTUAL_ADDRESS = 12;
constexpr uint32_t PE_SEC_SIZE_OF_RAW_DATA = 16;
constexpr uint32_t PE_SEC_POINTER_TO_RAW_DATA = 20;

// An import descriptor and the lookup entries of its tables. An entry by ordinal has the top
// bit set (bit 31 or bit 63); the ordinal, or the hint/name RVA of an entry by name, is in
// bits 0 to 30, whatever bits 31 to 62 of a 64-bit entry hold.
constexpr uint32_t PE_IMPORT_DESC_SIZE = 20;
constexpr uint32_t PE_IMP_LOOKUP_RVA = 0;
constexpr uint32_t PE_IMP_NAME_RVA = 12;
constexpr uint32_t PE_IMP_IAT_RVA = 16;
constexpr uint32_t PE_LOOKUP_ENTRY_SIZE = 4;
constexpr uint32_t PE_LOOKUP_ENTRY_SIZE64 = 8;
constexpr uint64_t PE_ORDINAL_FLAG = 0x80000000ull;
constexpr uint64_t PE_ORDINAL_FLAG64 = 0x8000000000000000ull;
constexpr uint32_t PE_LOOKUP_VALUE_MASK = 0x7FFFFFFF;
constexpr uint32_t PE_HINT_SIZE = 2;
constexpr uint32_t PE_MAX_ORDINAL = 0xFFFF;         // the largest ordinal a loader can be asked for

// A delay-load descriptor: Attributes, then the RVAs of the DLL name, the module handle, the
// address table, the name table, the bound and unload tables, and a time stamp. The table
// ends at a descriptor whose DLL name RVA is 0. With bit 0 of Attributes clear the fields
// are virtual addresses (ImageBase added), as the oldest linkers wrote them; hand-made files
// of that form hold RVAs in some of them all the same.
constexpr uint32_t PE_DELAY_DESC_SIZE = 32;
constexpr uint32_t PE_DELAY_ATTRIBUTES = 0;
constexpr uint32_t PE_DELAY_NAME_RVA = 4;
constexpr uint32_t PE_DELAY_INT_RVA = 16;
constexpr uint32_t PE_DELAY_ATTR_RVA = 0x1;

// The export directory.
constexpr uint32_t PE_EXPORT_DIR_SIZE = 40;
constexpr uint32_t PE_EXP_ORDINAL_BASE = 16;
constexpr uint32_t PE_EXP_NUM_FUNCTIONS = 20;
constexpr uint32_t PE_EXP_NUM_NAMES = 24;
constexpr uint32_t PE_EXP_FUNCTIONS = 28;
constexpr uint32_t PE_EXP_NAMES = 32;
constexpr uint32_t PE_EXP_NAME_ORDINALS = 36;

// The optional-header magic of the images a process of this Machine runs.
inline uint16_t pe_machine_magic(uint16_t Machine) {
    return Machine == PE_MACHINE_AMD64 || Machine == PE_MACHINE_ARM64 || Machine == PE_MACHINE_IA64
               ? PE_MAGIC_PE32PLUS
               : PE_MAGIC_PE32;
}

}  // namespace talvek
