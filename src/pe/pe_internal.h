// The PE processor's records and stages, shared by its files and tests; the format's numbers
// and the image reader are in pe_format.h and pe_image.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "common/bytes.h"
#include "common/dos_header.h"
#include "common/module_check.h"
#include "common/pe_format.h"
#include "common/pe_image.h"
#include "common/reflist.h"
#include "common/report.h"
#include "common/types.h"

namespace talvek {

constexpr uint32_t PE_MODNAME_SIZE = 260;           // the loader's path buffer

// One data directory and the file offset its data starts at. fMapped tells a directory
// that a section holds from one that none does, since a file offset of 0 is a valid result.
struct DATA_DIR {
    uint32_t RVA;
    uint64_t Physical_Addr;
    uint32_t Size;
    bool fMapped;
};

// Name copies of one module: each copy is its own block, so equal names stay apart. alloc is
// the allocator of the blocks.
struct NAME_BLOCK;
struct NAME_POOL {
    NAME_BLOCK* head;
    ALLOC_FN alloc;
};

// A zero-terminated copy of s; null when no memory can be had.
char* pool_copy(NAME_POOL* pool, std::string_view s);
void pool_free(NAME_POOL* pool);

// Reports the PE format error, which ends the run with exit code 8, without the key wait of
// -k; returns that code.
int32_t report_pe_format_error(REPORT_SINK* sink);

// Copies the signature, the file header and the optional header of the module in file into
// Buf (PE_BUF_SIZE bytes, from offset 0; bytes past the end of the file read as 0). On
// success *pulBase is the signature's file offset; on failure it is 0.
void GetPEHeader(BYTE_SPAN file, uint8_t* Buf, uint64_t* pulBase);

// Takes the directory RVAs from the optional header and moves *pulBase from the signature
// to the section table. Reports the short-header note for a 28-byte optional header. Returns
// 0, or for a header that pe_report_layout calls bad the PE format error, which ends the run.
int32_t ReadPEHeader(REPORT_SINK* sink, const PE_HEADERS* h, DATA_DIR* SectionAddr, uint64_t* pulBase);

// Maps each directory to a file offset through the section headers in Buf. When several
// sections hold a directory, the last one in table order decides. A field that the end of
// Buf cuts through reads its present bytes.
void ReadSectionTable(BYTE_SPAN Buf, uint32_t usNumberOfSections, DATA_DIR* SectionAddr);

// Walks the import directory. Without NameTable it only counts the imported modules;
// with it (cNames + 1 entries) it also stores each module's name copy at its number and
// records its entries in ModRefTblP. Returns the number of modules. When a name copy or an
// entry's node cannot be had, it stops and sets *pfNoMemory, which ends the run
// ("Insufficient memory.\n", exit code 6: the caller reports it).
int32_t ReadImportDirTable(PE_VIEW* fIn, const DATA_DIR* SectionAddr, char** NameTable, int32_t cNames,
                           REF_TABLE32* ModRefTblP, NAME_POOL* pool, bool* pfNoMemory);

// Walks the delay-load directory of im, read the loader's way, as ReadImportDirTable walks
// the import directory: without NameTable it counts, with it it fills. Returns the number of
// delay-loaded modules.
int32_t ReadDelayImportTable(PE_IMAGE* im, char** NameTable, int32_t cNames, REF_TABLE32* ModRefTblP,
                             NAME_POOL* pool, bool* pfNoMemory);

// Everything the check of one PE module keeps between reading it and its report.
struct PE_MODULE {
    DATA_DIR SectionAddr[PE_NUM_DIRS];
    uint64_t ulBase;
    uint16_t usNumberOfSections;
    uint16_t Machine;     // the process its DLLs are loaded into
    bool fDll;            // Characteristics: a DLL, which some program loads, rather than a program
    bool fWide;           // PE32+: 8-byte lookup entries
    int32_t numMods;
    REF_TABLE32 ModRefTblP;
    char** ModuleNameTblP;
    // With -d: the delay-loaded modules, numbered and listed as the static ones.
    int32_t numDelayMods;
    REF_TABLE32 DelayRefTblP;
    char** DelayNameTblP;
    NAME_POOL names;
    char modname[PE_MODNAME_SIZE];

    ~PE_MODULE();   // releases the name tables and the name copies
};

// Reads the headers, the section table and the import directory of the module in ifile,
// reporting the count, and with -d the delay-load directory. Returns 0, 3 (positioning
// or reading the file failed), 6 (no memory for a table) or a failure that ends the run
// (the PE format error 8, or 6 when no memory is left for a name or an entry).
int32_t pe_read_module(CHECK_CONTEXT* ctx, PE_MODULE* mod, const DOS_EXE_HDR* DosExeHeaderP, FILE* ifile);

// The load test of imported module i (1..numMods), or with fDelay delay-loaded module i: loads
// it, resolves its entries and reports; *next is the DLL's file to follow. Clears *pOK on a
// failure.
void pe_test_import(CHECK_CONTEXT* ctx, PE_MODULE* mod, int32_t i, bool fDelay, bool* pOK, FOLLOW* next);

}  // namespace talvek
