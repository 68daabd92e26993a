// The one reader of PE images (PE32 and PE32+): headers, Machine and magic, the section table,
// data directories, import descriptors and lookup entries of both widths, and exports, read
// through one of two explicit mappings of RVAs to file bytes: the report's and the loader's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "common/bytes.h"
#include "common/pe_format.h"
#include "common/types.h"

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

// How the import report lays out a module's optional header: by its size (28, 224, or 240 with
// the PE32+ magic), or as a header of a magic's width that ends right after its fewer than 16
// data directories (96 + 8 x NumberOfRvaAndSizes bytes for PE32, 112 + 8 x n for PE32+). h is
// decoded as pe_decode_loader_headers decodes it. The loader judges images otherwise
// (pe_loadable_for): it takes any optional header that holds its magic, so a DLL with, say, a
// 200-byte optional header that claims 16 directories loads, and then the report of that DLL
// ends the run with the format error. Both rules stand here side by side, as the one place
// where the two readings of a header part.
enum PE_REPORT_LAYOUT { PE_LAYOUT_SHORT, PE_LAYOUT_PE32, PE_LAYOUT_PE32PLUS, PE_LAYOUT_BAD };
PE_REPORT_LAYOUT pe_report_layout(const PE_HEADERS* h);

// Whether the PE module whose signature is at ofsPE in f is reported as a 64-bit module: a
// 240-byte optional header with the PE32+ magic. False when the headers cannot be read.
bool pe_is_pe32plus(FILE* f, uint32_t ofsPE);

// Whether the loader maps an image with these headers into the process of Machine: its Machine
// is the process's and its magic is the one that Machine's processes run.
bool pe_loadable_for(const PE_HEADERS* h, uint16_t Machine);

// Whether the DLL search passes over this file for a process of Machine: a PE image (whole file
// header) of another machine, or of this machine with another magic inside its optional header.
// file is the file's first bytes, as many as are present or wanted.
// *pFileMachine, when given, receives the file's Machine.
bool pe_other_machine(BYTE_SPAN file, uint16_t Machine, uint16_t* pFileMachine = nullptr);

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

// The report's view of file: every RVA displaced as the import directory's.
PE_VIEW pe_displaced_view(BYTE_SPAN file, bool fWide, uint32_t ulImportRVA, uint64_t ulImportOfs);

// The longest export name indexed: the longest the tool can ask for, as its name reads stop
// at PE_BUF_SIZE bytes. Longer names are never found.
constexpr uint32_t PE_MAX_EXPORT_NAME = PE_BUF_SIZE;

enum PE_NAME_ORDER { PE_NAMES_UNREAD, PE_NAMES_SORTED, PE_NAMES_INDEXED };

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

// The problem in words, with its place: "the section table runs past the end of the file (at 0x1f8)".
std::string pe_status_text(PE_STATUS st);

// An image as the loader reads it: headers, section table and export directory, read through
// the section map. It refers to itself, so it is never copied.
struct PE_IMAGE {
    PE_VIEW view;
    PE_HEADERS hdr;
    BYTE_SPAN section_table;    // the section headers in file
    PE_SECTION_MAP secmap;
    // The export directory, when it can be read.
    bool has_exports;
    uint32_t exp_base, exp_num_funcs, exp_num_names, exp_funcs, exp_names, exp_ordinals;
    // The export names, read on the first look-up by name: the usable prefix of the name
    // pointer table. A table in ascending byte order, as linkers write them, is searched by
    // halving; any other is indexed by name -> first index in table order.
    PE_NAME_ORDER name_order;
    std::vector<std::string_view> names;
    std::unordered_map<std::string_view, uint32_t> name_index;

    PE_IMAGE() = default;
    PE_IMAGE(const PE_IMAGE&) = delete;
    PE_IMAGE& operator=(const PE_IMAGE&) = delete;
};

// How pe_parse_image takes a section table that the file cuts short (NumberOfSections claims
// more headers than the file holds).
enum PE_TABLE_RULE {
    PE_TABLE_WHOLE,        // the loader's: the image is not loadable
    PE_TABLE_AS_PRESENT,   // the report's: the headers present, a cut one read as far as it goes
};

// Reads file (which must outlive the image) the loader's way into im. PE_FINE, or why the
// headers (or by PE_TABLE_WHOLE the section table) cannot be read; the caller then asks
// pe_loadable_for whether the image suits its process.
PE_STATUS pe_parse_image(BYTE_SPAN file, PE_IMAGE* im, PE_TABLE_RULE rule = PE_TABLE_WHOLE);

// pe_header_dir of the image's headers.
bool pe_data_dir(const PE_IMAGE* im, uint32_t i, PE_DIR* dir);

// The bytes in file of the section named name (up to 8 characters) in the loader's image im:
// its raw data, cut to VirtualSize when that is smaller and not 0 (the raw size is rounded up
// to the file alignment). False when no section has the name or its bytes are not in the file.
bool pe_named_section(const PE_IMAGE* im, std::string_view name, BYTE_SPAN* bytes);

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

// A delay-load descriptor with its fields as RVAs (pe_delay_rva): fEnd when its DLL name
// field is 0.
struct PE_DELAY_DESC {
    bool fEnd;
    bool fVA;           // Attributes bit 0 clear: the fields were virtual addresses
    uint64_t NameRVA;
    uint64_t IntRVA;    // the import name table, entries as import lookup entries (PE_BAD_RVA: none)
};
constexpr uint64_t PE_BAD_RVA = UINT64_MAX;
bool pe_delay_desc(PE_IMAGE* im, uint64_t rva, PE_DELAY_DESC* d);

// An address field of a delay-load table, or an entry of its name table, of the image with
// headers h as an RVA. In the VA form (fVA) a value inside the image's address range
// [ImageBase, ImageBase + SizeOfImage) loses ImageBase; any other value is an RVA already, as
// hand-made files of that form hold.
uint64_t pe_delay_rva(const PE_HEADERS* h, bool fVA, uint64_t v);

// One import lookup entry of the image's width (pe_lookup_size bytes). fEnd: the entry is 0.
// Value: the ordinal (fOrdinal) or the hint/name RVA, bits 0 to 30 of the entry.
struct PE_LOOKUP {
    bool fEnd;
    bool fOrdinal;
    uint32_t Value;
};
uint32_t pe_lookup_size(const PE_VIEW* v);
bool pe_lookup_entry(PE_VIEW* v, uint64_t rva, PE_LOOKUP* e);

// One imported entry: by ordinal, or by name. hint: the hint of a name imported through a
// hint/name entry, the export name table index to try first; PE_NO_HINT where there is none.
constexpr uint32_t PE_NO_HINT = UINT32_MAX;
struct PE_IMPORT_REF {
    bool by_ordinal;
    uint32_t ordinal;
    std::string_view name;
    uint32_t hint = PE_NO_HINT;
};

// One import descriptor: the DLL's name and the index of its entry list in PE_IMPORT_TABLES.
struct PE_IMPORT_MODULE {
    std::string_view dll;
    size_t table;
};

struct PE_IMPORT_TABLES {
    std::vector<PE_IMPORT_MODULE> modules;
    std::vector<std::vector<PE_IMPORT_REF>> tables;
};

// The whole static import table, read the loader's way. PE_FINE, or why a part of it cannot
// be read.
PE_STATUS pe_read_imports(PE_IMAGE* im, PE_IMPORT_TABLES* imp);

// The export address table index of an entry, by ordinal or by name. False when there is none.
bool pe_export_index(PE_IMAGE* im, const PE_IMPORT_REF& ref, uint32_t* index);

// The RVA at export index; false when it cannot be read or is 0.
bool pe_export_rva(PE_IMAGE* im, uint32_t index, uint32_t* rva);

// Whether rva lies inside the export directory, which makes the export a forwarder.
bool pe_is_forwarder(const PE_IMAGE* im, uint32_t rva);

}  // namespace talvek
