// The PE processor's records, format constants and readers, shared by its stages and tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "common/bytes.h"
#include "common/dos_header.h"
#include "common/types.h"
#include "driver/reflist.h"

namespace talvek {

constexpr uint32_t PE_BUF_SIZE = 4096;              // the work buffer, and the longest name read
constexpr uint32_t PE_FILE_HDR_END = 24;            // signature and file header
constexpr uint32_t PE_OFS_NUM_SECTIONS = 0x06;      // NumberOfSections, from the signature
constexpr uint32_t PE_OFS_OPT_SIZE = 0x14;          // SizeOfOptionalHeader, from the signature
constexpr uint16_t PE_OPT_SHORT = 28;
constexpr uint16_t PE_OPT_FULL = 224;
constexpr uint32_t PE_OFS_DATA_DIRS = 0x78;         // DataDirectory[0], from the signature
constexpr uint32_t PE_DATA_DIR_SIZE = 8;
constexpr uint32_t PE_OFS_RELOC_SIZE = 0xA4;        // DataDirectory[5].Size, from the signature
constexpr uint32_t PE_NUM_DIRS = 11;                // directories 11 to 15 are not read
constexpr uint32_t PE_DIR_IMPORT = 1;
constexpr uint32_t PE_DIR_BASERELOC = 5;
constexpr uint32_t PE_SECTION_HDR_SIZE = 40;
constexpr uint32_t PE_SEC_VIRTUAL_ADDRESS = 12;
constexpr uint32_t PE_SEC_SIZE_OF_RAW_DATA = 16;
constexpr uint32_t PE_SEC_POINTER_TO_RAW_DATA = 20;
constexpr uint32_t PE_IMPORT_DESC_SIZE = 20;
constexpr uint32_t PE_IMP_LOOKUP_RVA = 0;
constexpr uint32_t PE_IMP_NAME_RVA = 12;
constexpr uint32_t PE_IMP_IAT_RVA = 16;
constexpr uint32_t PE_LOOKUP_ENTRY_SIZE = 4;
constexpr uint32_t PE_ORDINAL_FLAG = 0x80000000;
constexpr uint32_t PE_HINT_SIZE = 2;
constexpr uint32_t PE_MAX_ORDINAL = 0xFFFF;         // the largest ordinal a loader is asked for
constexpr uint32_t PE_CALL_GATE = 0xFE37;
constexpr uint32_t PE_MODNAME_SIZE = 260;           // the loader's path buffer
extern const char PE_BAD_FORMAT_TEXT[];             // "File error - format is incorrect"

// One data directory and the file offset its data starts at. fMapped tells a directory
// that a section holds from one that none does, since a file offset of 0 is a valid result.
struct DATA_DIR {
    uint32_t RVA;
    uint64_t Physical_Addr;
    uint32_t Size;
    bool fMapped;
};

// A few read windows over the module's file, each refilled by the one read that misses the
// others, so the import walk's small reads at nearby offsets cost a copy instead of a seek
// and a read each. Descriptors, lookup entries and names are three streams at three places
// in the file; the least recently used window gives way, so none evicts another's window.
constexpr size_t PE_READ_WINDOWS = 4;
constexpr size_t PE_WINDOW_SIZE = 16384;
struct PE_WINDOW {
    uint64_t ofs;
    size_t cb;
    uint64_t ulLastUse;
};
struct PE_READER {
    FILE* f;
    uint64_t cbFile;
    MEM_PTR<uint8_t> buf;                       // PE_READ_WINDOWS windows of PE_WINDOW_SIZE bytes
    PE_WINDOW win[PE_READ_WINDOWS];
    uint64_t ulClock;
};

// Takes the window buffer and the file size. False when either cannot be had.
bool open_pe_reader(PE_READER* r, FILE* f);
void close_pe_reader(PE_READER* r);

// Up to n bytes at ofs, fewer where the file ends (none past it or on a read error).
// n is at most PE_BUF_SIZE. The span stays valid until the next read.
BYTE_SPAN pe_read(PE_READER* r, uint64_t ofs, size_t n);

// Name copies of one module: each copy is its own block, so equal names stay apart.
struct NAME_BLOCK;
struct NAME_POOL {
    NAME_BLOCK* head;
};

// A zero-terminated copy of s; null when no memory can be had.
char* pool_copy(NAME_POOL* pool, std::string_view s);
void pool_free(NAME_POOL* pool);

// Writes the format error to standard error without indentation or newline and ends the
// process with code 8 at once, without the key wait of -k.
[[noreturn]] void BadFile(const char* ErrorMsg);

// The little-endian value at Buf + ulOffset: one byte for ulLen 1, two for 2, four for any
// other length. Bytes outside Buf read as 0.
uint32_t GetHexNum(uint32_t ulOffset, uint32_t ulLen, BYTE_SPAN Buf);

// Reads the signature, the file header and the optional header into Buf (PE_BUF_SIZE
// bytes, from offset 0; bytes past the end of the file read as 0). On success *pulBase is
// the signature's file offset; on failure it is 0.
void GetPEHeader(FILE* fIn, uint8_t* Buf, uint64_t* pulBase);

// Takes the directory RVAs from the optional header and moves *pulBase from the signature
// to the section table. Prints "Short header\n" for a 28-byte optional header; ends the run
// through BadFile for a size other than 28 or 224.
void ReadPEHeader(const uint8_t* Buf, DATA_DIR* SectionAddr, uint64_t* pulBase);

// Maps each directory to a file offset through the section headers in Buf. When several
// sections hold a directory, the last one in table order decides.
void ReadSectionTable(BYTE_SPAN Buf, uint32_t usNumberOfSections, DATA_DIR* SectionAddr);

// The bytes at a name's RVA, mapped with the import directory's displacement: up to
// PE_BUF_SIZE, fewer at the end of the file, none when the offset lies outside it.
BYTE_SPAN LoadName(PE_READER* fIn, uint32_t ulNameRVA, const DATA_DIR* SectionAddr);

// Walks the import directory. Without NameTable it only counts the imported modules;
// with it (cNames + 1 entries) it also stores each module's name copy at its number and
// records its entries in ModRefTblP. Returns the number of modules. A name copy that cannot
// be had ends the run: "Insufficient memory.\n", exit code 6.
int32_t ReadImportDirTable(PE_READER* fIn, const DATA_DIR* SectionAddr, char** NameTable, int32_t cNames,
                           REF_TABLE32* ModRefTblP, NAME_POOL* pool);

// Everything proc_fileNT keeps of one module between reading it and its report.
struct PE_MODULE {
    DATA_DIR SectionAddr[PE_NUM_DIRS];
    uint64_t ulBase;
    uint16_t usNumberOfSections;
    int32_t numMods;
    REF_TABLE32 ModRefTblP;
    char** ModuleNameTblP;
    NAME_POOL names;
    char modname[PE_MODNAME_SIZE];

    ~PE_MODULE();   // releases the name table and the name copies
};

// Reads the headers, the section table and the import directory of the module in ifile,
// printing the count line. Returns 0, 3 (positioning failed) or 6 (no memory for a table).
int32_t pe_read_module(PE_MODULE* mod, const DOS_EXE_HDR* DosExeHeaderP, FILE* ifile);

// The load test of every imported module, with its report and the recursion.
void pe_report(PE_MODULE* mod, const char* filespec);

}  // namespace talvek
