// The report's classic reading of a PE image: the headers copied into a working buffer of
// PE_BUF_SIZE bytes (a cut file reads as zeros past its end), the optional header judged by its
// size, each data directory mapped to a file offset by the last section that holds it, and
// every RVA of the import walk displaced as the import directory's. The text of the report
// depends on each of these; the loader reads an image otherwise (pe_loader_reading.h), and the
// two part where noted here.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/bytes.h"
#include "common/pe_decode.h"
#include "common/report.h"

namespace talvek {

// One data directory and the file offset its data starts at. fMapped tells a directory
// that a section holds from one that none does, since a file offset of 0 is a valid result.
struct DATA_DIR {
    uint32_t RVA;
    uint64_t Physical_Addr;
    uint32_t Size;
    bool fMapped;
};

// How the import report lays out a module's optional header: by its size (28, 224, or 240 with
// the PE32+ magic), or as a header of a magic's width that ends right after its fewer than 16
// data directories (96 + 8 x NumberOfRvaAndSizes bytes for PE32, 112 + 8 x n for PE32+). h is
// decoded as pe_decode_loader_headers decodes it. The loader judges images otherwise
// (pe_loadable_for): it takes any optional header that holds its magic, so a DLL with, say, a
// 200-byte optional header that claims 16 directories loads, and then the report of that DLL
// ends the run with the format error.
enum PE_REPORT_LAYOUT { PE_LAYOUT_SHORT, PE_LAYOUT_PE32, PE_LAYOUT_PE32PLUS, PE_LAYOUT_BAD };
PE_REPORT_LAYOUT pe_report_layout(const PE_HEADERS* h);

// Whether the PE module whose signature is at ofsPE in f is reported as a 64-bit module: a
// 240-byte optional header with the PE32+ magic. False when the headers cannot be read.
bool pe_is_pe32plus(FILE* f, uint32_t ofsPE);

// The report's view of file: every RVA displaced as the import directory's.
PE_VIEW pe_displaced_view(BYTE_SPAN file, bool fWide, uint32_t ulImportRVA, uint64_t ulImportOfs);

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

}  // namespace talvek
