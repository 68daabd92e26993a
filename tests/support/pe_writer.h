// Test-side writer of PE32 and PE32+ modules: headers, sections, imports and exports, with the
// file offsets of every part so a test can damage any field afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/module_writer.h"

// One lookup entry: by ordinal (pe_ord), by name with a hint (pe_name), or any raw value
// (cut to 32 bits in a PE32 module).
struct PE_REF {
    uint64_t value = 0;       // the lookup entry when name is empty
    bool by_ordinal = false;  // value is an ordinal: the top bit of the entry is set
    std::string name;         // a hint/name entry is written for a name
    uint16_t hint = 0;
};
PE_REF pe_ord(uint32_t ordinal);   // bit 31 (PE32) or bit 63 (PE32+) | ordinal
PE_REF pe_name(const std::string& name, uint16_t hint = 0);

struct PE_IMPORT {
    std::string dll;
    std::vector<PE_REF> refs;
    bool iat_only = false;   // lookup table RVA 0: the entries live only in the address table
};

// One export: its ordinal, its name (none when empty), and either a forwarder text (placed
// inside the export directory) or an RVA (0: a default address outside the directory).
struct PE_EXPORT {
    uint32_t ordinal;
    std::string name;
    std::string forwarder;
    uint32_t rva = 0;
};

// A section written as given; data goes to raw_ptr.
struct PE_SECTION {
    std::string name;
    uint32_t va = 0;
    uint32_t vsize = 0;
    uint32_t raw_size = 0;
    uint32_t raw_ptr = 0;
    BYTES data;
};

struct PE_DESC {
    DOS_DESC dos;
    BYTES dos_stub;                     // written right after the DOS header (Wine's builtin marker goes there)
    uint16_t machine = 0x014C;
    uint16_t opt_size = 224;
    uint16_t magic = 0x010B;
    uint32_t num_rva = 16;
    std::vector<PE_IMPORT> imports;
    bool import_terminator = true;      // the all-zero descriptor that ends the directory
    std::vector<PE_IMPORT> delay_imports;   // delay-load descriptors (data directory 13)
    bool delay_va = false;              // Attributes 0: addresses in them as VAs (ImageBase added)
    bool delay_rva_fields = false;      // with delay_va: the descriptors' own fields as RVAs all the same
    bool delay_rva_entries = false;     // with delay_va: the name tables' entries as RVAs all the same
    std::vector<PE_EXPORT> exports;
    bool export_dir = false;            // write an export directory even with no exports
    uint32_t export_base = 1;
    uint32_t export_funcs = 0;          // NumberOfFunctions; 0: just enough for the ordinals
    std::string export_name = "x.dll";
    std::vector<PE_SECTION> sections;   // extra sections, before the generated data section
    uint32_t data_va = 0x1000;          // where the generated data section (imports, exports) goes
    bool wide = false;                  // PE32+ layout: 64-bit fields, 8-byte lookup entries
    bool program = false;               // Characteristics without the DLL flag: a program (.exe)
};

// The same description as a PE32+ module for x64: the width switch with the machine, the
// 240-byte optional header and its magic, each of which a test may change afterwards.
PE_DESC pe_wide(PE_DESC d);

// Where the parts landed: file offsets, and the RVAs of the generated data.
struct PE_LAYOUT {
    size_t pe_ofs;          // the signature
    size_t opt_ofs;         // the optional header
    size_t dir_ofs;         // the data directories
    size_t sect_ofs;        // the section table
    size_t data_raw;        // the generated data section in the file
    uint32_t data_va;
    size_t import_ofs;      // the first import descriptor
    size_t export_ofs;      // the export directory
    size_t eat_ofs;         // the export address table
    uint32_t import_rva, export_rva;
    std::vector<size_t> lookup_ofs;   // each module's lookup table (its address table when iat_only)
    std::vector<size_t> dll_name_ofs;
    size_t delay_ofs;       // the first delay-load descriptor
};

// A whole module file.
BYTES write_pe(const PE_DESC& d, PE_LAYOUT* layout = nullptr);

// The file offset of data directory i's address field, and of section k's header.
size_t pe_dir_ofs(const PE_LAYOUT& l, unsigned i);
size_t pe_section_ofs(const PE_LAYOUT& l, unsigned k);

// A 40-byte section header.
BYTES pe_section_header(uint32_t va, uint32_t vsize, uint32_t raw_size, uint32_t raw_ptr);

// An API-set schema: each entry's name without ".dll" and its values, the default (empty
// importer) first, then the exceptions for single importing modules, sorted by importer.
struct APISET_VALUE {
    std::string importer;
    std::string host;
};
struct APISET_ENTRY {
    std::string name;
    std::vector<APISET_VALUE> values;
};
struct APISET_DESC {
    uint32_t version = 6;
    uint32_t hash_factor = 31;
    std::vector<APISET_ENTRY> entries;
};

// Where its tables landed in the section, for tests that damage them.
struct APISET_LAYOUT {
    size_t entry_ofs;   // the namespace entries
    size_t hash_ofs;    // the hash entries, sorted by hash
    size_t value_ofs;   // the first entry's values
};

// The ".apiset" section's bytes: header, entries, hash entries, values, UTF-16LE strings.
BYTES write_apiset(const APISET_DESC& d, APISET_LAYOUT* layout = nullptr);

// An apisetschema.dll holding section (the bytes of write_apiset, or damaged ones) as its
// ".apiset" section.
BYTES write_apiset_dll(const BYTES& section);
