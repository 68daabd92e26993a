// The decoding of PE images (PE32 and PE32+) that the report's and the loader's readings share:
// the headers, the section headers, and the import descriptors, lookup entries and names read
// through a view, which maps RVAs to file bytes in the way of one of the two readings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/bytes.h"
#include "common/pe_format.h"

namespace talvek {

// One data directory as the optional header states it. fInHeader: its fields lie inside
// SizeOfOptionalHeader (a directory outside reads as 0).
struct PE_DIR {
    uint32_t RVA;
    uint32_t Size;
    bool fInHeader;
};

// The signature, file header and optional header. Every field that the end of the given bytes
// cuts through reads its present bytes and zeros for the rest; optional-header fields exist only
// inside SizeOfOptionalHeader.
struct PE_HEADERS {
    uint16_t Machine;
    uint16_t NumberOfSections;
    uint16_t SizeOfOptionalHeader;
    uint16_t Characteristics;
    uint16_t Magic;
    bool fHasMagic;        // the magic lies inside SizeOfOptionalHeader and inside the bytes given
    bool fWide;            // the fields below were read at their PE32+ offsets
    uint64_t ImageBase;    // 4 bytes in PE32, 8 in PE32+
    uint32_t SizeOfImage;
    uint32_t SizeOfHeaders;
    uint32_t NumberOfRvaAndSizes;
    PE_DIR dirs[PE_NUM_DIRS];
};

// Decodes the headers from hdr, the bytes from the signature on (cut where the file ends).
// fWide picks the PE32+ offsets of the optional-header fields after the magic.
void pe_decode_headers(BYTE_SPAN hdr, bool fWide, PE_HEADERS* h);

// Decodes the headers as the loader reads them: at the PE32+ offsets when the magic says so.
void pe_decode_loader_headers(BYTE_SPAN hdr, PE_HEADERS* h);

// Data directory i (0 to 15) of the headers as the loader sees it: false when
// NumberOfRvaAndSizes or SizeOfOptionalHeader leaves it out, or its RVA is 0.
bool pe_header_dir(const PE_HEADERS* h, uint32_t i, PE_DIR* dir);

// One section header's fields, each cut by the end of table as header fields are.
struct PE_SECTION_HDR {
    uint32_t VirtualSize;
    uint32_t VirtualAddress;
    uint32_t SizeOfRawData;
    uint32_t PointerToRawData;
};
PE_SECTION_HDR pe_section_at(BYTE_SPAN table, uint32_t k);

// The longest single read of the report, and the longest name it reads.
constexpr uint32_t PE_BUF_SIZE = 4096;

// A run of RVAs [start, next run's start) and the section that maps it (PE_NO_SECTION: none).
struct PE_RUN {
    uint64_t start;
    uint32_t section;
};
constexpr uint32_t PE_NO_SECTION = UINT32_MAX;

// The part of the image that holds an RVA in the loader's mapping: the first section in table
// order whose extent holds it, else the headers. Bytes from raw_end on read as 0; file_ofs
// is the file offset of start. [run_start, run_end): the RVAs that map through it as well.
struct PE_REGION {
    uint64_t start, end, raw_end, file_ofs;
    uint64_t run_start, run_end;
};

// The loader's mapping of RVAs to file bytes: the first section in table order whose extent
// (the larger of VirtualSize and SizeOfRawData) holds the RVA, else the headers. Bytes past a
// section's raw data read as 0; a read that leaves its section or the file fails whole.
struct PE_SECTION_MAP {
    std::vector<PE_SECTION_HDR> sections;
    std::vector<PE_RUN> runs;   // ascending, so each read finds its section in log time
    uint32_t SizeOfHeaders;
    bool fLastRegion;           // lastRegion holds the last look-up: reads come in streams
    PE_REGION lastRegion;
};

// The report's mapping of RVAs to file bytes: every RVA displaced as the import directory
// at ulImportRVA, found at file offset ulImportOfs, is, whichever section it lies in. Reads
// come up short where the file ends.
struct PE_DISPLACEMENT {
    uint32_t ulImportRVA;
    uint64_t ulImportOfs;
};

// A module file read through one explicit mapping of RVAs, as the walks of import tables
// read it. The file is whole: its length is the file's size.
struct PE_VIEW {
    BYTE_SPAN file;
    bool fWide;   // 8-byte lookup entries
    std::variant<PE_DISPLACEMENT, PE_SECTION_MAP*> map;
};

// Why a file is no image the loader can map, and where in the file it saw so.
enum PE_PROBLEM : uint8_t {
    PE_FINE,
    PE_NO_DOS_HEADER,        // no "MZ" header of 64 bytes
    PE_NO_SIGNATURE,         // no "PE\0\0" where the DOS header points
    PE_HEADERS_CUT,          // the file header or the optional header's magic is cut off
    PE_SECTIONS_CUT,         // the section table runs past the end of the file
    PE_IMPORTS_UNREADABLE,   // a part of the import table lies outside the image
    PE_IMPORTS_TOO_LARGE,    // more descriptors or lookup entries than the file has room for
};
struct PE_STATUS {
    PE_PROBLEM problem;
    uint64_t where;          // the file offset, or for the import table the RVA, it concerns
};

// The problem in words, without its place: "the section table runs past the end of the file".
const char* pe_problem_text(PE_PROBLEM problem);

// The problem in words, with its place: "the section table runs past the end of the file (at 0x1f8)".
std::string pe_status_text(PE_STATUS st);

// The file bytes from rva to the end of its region's raw data (cut where the file ends), as
// pe_read_rva reads them; empty in the report's mapping or where none are present. *pr: the
// region.
BYTE_SPAN pe_raw_from(PE_VIEW* v, uint64_t rva, const PE_REGION** pr);

// A name of at most cchMax characters at rva through the section map m; a longer one is
// false, found after looking at no more than cchMax + 1 bytes.
bool pe_cstr_at_most(BYTE_SPAN file, PE_SECTION_MAP* m, uint64_t rva, uint64_t cchMax, std::string_view* s);

// Up to n bytes at rva through the view's mapping; returns how many were read (the loader's
// mapping gives n or 0, bytes past a section's raw data reading as 0).
size_t pe_read_rva(PE_VIEW* v, uint64_t rva, uint8_t* dst, size_t n);
bool pe_rva_u32(PE_VIEW* v, uint64_t rva, uint32_t* x);
bool pe_rva_u16(PE_VIEW* v, uint64_t rva, uint16_t* x);

// The zero-terminated name at rva, of at most cchMax characters: the report's mapping cuts a
// longer one there, at PE_BUF_SIZE bytes and where the file ends (an RVA before the file reads
// as empty); the loader's fails on it, and on one that runs out of its section unterminated.
// The name points into the file.
bool pe_name_at(PE_VIEW* v, uint64_t rva, uint64_t cchMax, std::string_view* name);

// The name of the hint/name entry at rva, past its 2-byte hint, read as pe_name_at reads
// names (the report's mapping cuts it at PE_BUF_SIZE less the hint). In the report's mapping
// the entry's own RVA is mapped, so an entry before the file reads as empty.
bool pe_hint_name_at(PE_VIEW* v, uint32_t rva, std::string_view* name);

// An import descriptor. The directory ends at one without a name or an address table.
struct PE_IMPORT_DESC {
    uint32_t LookupRVA;
    uint32_t NameRVA;
    uint32_t IatRVA;
};
bool pe_import_desc(PE_VIEW* v, uint64_t rva, PE_IMPORT_DESC* d);

// One import lookup entry of the image's width (pe_lookup_size bytes). fEnd: the entry is 0.
// Value: the ordinal (fOrdinal) or the hint/name RVA, bits 0 to 30 of the entry.
struct PE_LOOKUP {
    bool fEnd;
    bool fOrdinal;
    uint32_t Value;
};
uint32_t pe_lookup_size(const PE_VIEW* v);
bool pe_lookup_entry(PE_VIEW* v, uint64_t rva, PE_LOOKUP* e);

}  // namespace talvek
