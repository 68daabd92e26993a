// The PE processor's records and stages, shared by its files and tests; the format's numbers
// and the two readings of an image are in common/pe_format.h, pe_report_reading.h and
// pe_loader_reading.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "common/bytes.h"
#include "common/dos_header.h"
#include "common/module_check.h"
#include "common/pe_format.h"
#include "common/pe_loader_reading.h"
#include "common/pe_report_reading.h"
#include "common/reflist.h"
#include "common/report.h"
#include "common/types.h"

namespace talvek {

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

// Walks the import directory. Without NameTable it only counts the imported modules;
// with it (cNames + 1 entries) it also stores each module's name copy at its number and
// records its entries in refs. Returns the number of modules. When a name copy or an
// entry's node cannot be had, it stops and sets *pfNoMemory, which ends the run
// ("Insufficient memory.\n", exit code 6: the caller reports it).
int32_t ReadImportDirTable(PE_VIEW* fIn, const DATA_DIR* SectionAddr, char** NameTable, int32_t cNames,
                           REF_TABLE32* refs, NAME_POOL* pool, bool* pfNoMemory);

// Walks the delay-load directory of im, read the loader's way, as ReadImportDirTable walks
// the import directory: without NameTable it counts, with it it fills. Returns the number of
// delay-loaded modules.
int32_t ReadDelayImportTable(PE_IMAGE* im, char** NameTable, int32_t cNames, REF_TABLE32* refs,
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
    REF_TABLE32 refs;
    char** dllNames;
    // With -d: the delay-loaded modules, numbered and listed as the static ones.
    int32_t numDelayMods;
    REF_TABLE32 delayRefs;
    char** delayDllNames;
    NAME_POOL names;
    std::string modname;  // the loader's path of the last DLL that loaded
    std::string_view filespec;   // the module file, as handed to the check
    bool fRefused;        // the loader would refuse the module's own image

    ~PE_MODULE();   // releases the name tables and the name copies
};

// Reads the headers, the section table and the import directory of the module in ifile,
// reporting the count, and with -d the delay-load directory. Under -e, -j and -x a module no
// loader took (ctx->fUntaken) is read the loader's way as well: an image the loader would
// refuse is reported as ERR_NOT_LOADABLE with the loader's reason, and sets fRefused.
// Returns 0, 3 (positioning or reading the file failed), 6 (no memory for a table) or a
// failure that ends the run (the PE format error 8, or 6 when no memory is left for a name
// or an entry).
int32_t pe_read_module(CHECK_CONTEXT* ctx, PE_MODULE* mod, const DOS_EXE_HDR* DosExeHeaderP, FILE* ifile);

// The load test of imported module i (1..numMods), or with fDelay delay-loaded module i: loads
// it, resolves its entries and reports; *next is the DLL's file to follow. Clears *pOK on a
// failure.
void pe_test_import(CHECK_CONTEXT* ctx, PE_MODULE* mod, int32_t i, bool fDelay, bool* pOK, FOLLOW* next);

}  // namespace talvek
