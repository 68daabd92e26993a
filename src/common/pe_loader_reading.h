// The loader's reading of a PE image, as Windows reads it: the whole section table, RVAs mapped
// through the first section that holds them, the export directory with its names and
// forwarders, the static import table, the delay-load descriptors, and whether an image suits
// a process. The emulated loader loads by it, and the report reads the delay-load table by it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/bytes.h"
#include "common/pe_decode.h"

namespace talvek {

// Whether the loader maps an image with these headers into the process of Machine: its Machine
// is the process's and its magic is the one that Machine's processes run.
bool pe_loadable_for(const PE_HEADERS* h, uint16_t Machine);

// Whether the DLL search passes over this file for a process of Machine: a PE image (whole file
// header) of another machine, or of this machine with another magic inside its optional header.
// file is the file's first bytes, as many as are present or wanted. *pFileMachine, when given,
// receives the file's Machine.
bool pe_other_machine(BYTE_SPAN file, uint16_t Machine, uint16_t* pFileMachine = nullptr);

// The longest export name indexed: the longest the tool can ask for, as its name reads stop
// at PE_BUF_SIZE bytes. Longer names are never found.
constexpr uint32_t PE_MAX_EXPORT_NAME = PE_BUF_SIZE;

enum PE_NAME_ORDER { PE_NAMES_UNREAD, PE_NAMES_SORTED, PE_NAMES_INDEXED };

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
