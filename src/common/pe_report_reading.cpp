// The report's classic reading of PE headers and sections.
#include "common/pe_report_reading.h"

#include <algorithm>
#include <cstring>

#include "common/dos_header.h"

namespace talvek {

PE_REPORT_LAYOUT pe_report_layout(const PE_HEADERS* h) {
    // A header that ends right after its NumberOfRvaAndSizes directories, fewer than 16, is
    // a whole header as Windows reads it; its width is its magic's, and h was decoded at
    // that width's offsets.
    bool fPE32 = h->Magic == PE_MAGIC_PE32 && !h->fWide;
    bool fPE32plus = h->Magic == PE_MAGIC_PE32PLUS && h->fWide;
    uint64_t cbWithDirs = uint64_t(h->fWide ? PE_OPT_DATA_DIRS64 : PE_OPT_DATA_DIRS) +
                          uint64_t(PE_DATA_DIR_SIZE) * h->NumberOfRvaAndSizes;
    if ((fPE32 || fPE32plus) && h->NumberOfRvaAndSizes < PE_NUM_DIRS && h->SizeOfOptionalHeader == cbWithDirs)
        return fPE32plus ? PE_LAYOUT_PE32PLUS : PE_LAYOUT_PE32;
    switch (h->SizeOfOptionalHeader) {
        case PE_OPT_SHORT: return PE_LAYOUT_SHORT;
        case PE_OPT_FULL: return PE_LAYOUT_PE32;
        case PE_OPT_FULL64: return h->Magic == PE_MAGIC_PE32PLUS ? PE_LAYOUT_PE32PLUS : PE_LAYOUT_BAD;
        default: return PE_LAYOUT_BAD;
    }
}

PE_VIEW pe_displaced_view(BYTE_SPAN file, bool fWide, uint32_t ulImportRVA, uint64_t ulImportOfs) {
    return PE_VIEW{file, fWide, PE_DISPLACEMENT{ulImportRVA, ulImportOfs}};
}

bool pe_is_pe32plus(FILE* f, uint32_t ofsPE) {
    uint8_t b[PE_FILE_HDR_END + PE_OPT_DATA_DIRS64] = {};
    uint64_t cbFile = 0;
    if (!file_size(f, &cbFile) || ofsPE > cbFile || cbFile - ofsPE < PE_FILE_HDR_END) return false;
    size_t n = size_t(std::min<uint64_t>(sizeof b, cbFile - ofsPE));
    if (!read_at(f, ofsPE, b, n) || le32(b) != PE_SIGNATURE) return false;
    PE_HEADERS h;
    pe_decode_loader_headers(BYTE_SPAN{b, n}, &h);
    return pe_report_layout(&h) == PE_LAYOUT_PE32PLUS;
}

int32_t report_pe_format_error(REPORT_SINK* sink) { return report_fatal(sink, ERR_PE_FORMAT, RC_BAD_PE_HEADER); }

void GetPEHeader(BYTE_SPAN file, uint8_t* Buf, uint64_t* pulBase) {
    *pulBase = 0;
    memset(Buf, 0, PE_BUF_SIZE);
    uint16_t sig = 0;
    uint32_t ulBase = 0, peSig = 0;
    if (!get_u16(file, 0, &sig) || sig != DOS_SIGNATURE || !get_u32(file, PE_OFS_NEW_HDR, &ulBase)) return;
    if (!get_u32(file, ulBase, &peSig) || peSig != PE_SIGNATURE || !span_has(file, ulBase, PE_FILE_HDR_END)) return;
    // The header length is not checked here; ReadPEHeader judges SizeOfOptionalHeader.
    // Bytes the file does not hold read as 0.
    uint64_t cbHeader = std::min<uint64_t>(PE_FILE_HDR_END + uint64_t(le16(file.p + ulBase + PE_OFS_OPT_SIZE)), PE_BUF_SIZE);
    cbHeader = std::min<uint64_t>(cbHeader, file.len - ulBase);
    memcpy(Buf, file.p + ulBase, size_t(cbHeader));
    *pulBase = ulBase;
}

int32_t ReadPEHeader(REPORT_SINK* sink, const PE_HEADERS* h, DATA_DIR* SectionAddr, uint64_t* pulBase) {
    PE_REPORT_LAYOUT layout = pe_report_layout(h);
    if (layout == PE_LAYOUT_SHORT) {
        REPORT_EVENT ev{RPT_NOTE};
        ev.note = NOTE_SHORT_HEADER;
        report(sink, ev);
        *pulBase += PE_FILE_HDR_END + PE_OPT_SHORT;
        return RC_OK;
    }
    if (layout == PE_LAYOUT_BAD) return report_pe_format_error(sink);
    for (uint32_t i = 0; i < PE_NUM_DIRS; i++) SectionAddr[i].RVA = h->dirs[i].RVA;
    SectionAddr[PE_DIR_BASERELOC].Size = h->dirs[PE_DIR_BASERELOC].Size;
    *pulBase += PE_FILE_HDR_END + uint64_t(h->SizeOfOptionalHeader);
    return RC_OK;
}

void ReadSectionTable(BYTE_SPAN Buf, uint32_t usNumberOfSections, DATA_DIR* SectionAddr) {
    // Headers past the end of Buf read as zeros, which map no directory: only those Buf
    // holds, whole or in part, are looked at.
    uint64_t cPresent = (uint64_t(Buf.len) + PE_SECTION_HDR_SIZE - 1) / PE_SECTION_HDR_SIZE;
    uint32_t cSections = uint32_t(std::min<uint64_t>(usNumberOfSections, cPresent));
    for (uint32_t k = 0; k < cSections; k++) {
        PE_SECTION_HDR s = pe_section_at(Buf, k);
        uint32_t va = s.VirtualAddress, size = s.SizeOfRawData, raw = s.PointerToRawData;
        for (uint32_t j = 0; j < PE_NUM_DIRS; j++) {
            DATA_DIR* d = &SectionAddr[j];
            if (d->RVA == 0) continue;
            // The end of the section is computed in 64 bits, so a section near the top of
            // the address space does not wrap round and miss.
            if (d->RVA == va) {
                d->Physical_Addr = raw;
                d->fMapped = true;
            } else if (va < d->RVA && d->RVA < uint64_t(va) + size) {
                d->Physical_Addr = uint64_t(d->RVA - va) + raw;
                d->fMapped = true;
            }
        }
    }
}

}  // namespace talvek
