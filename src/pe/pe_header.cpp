// PE headers and section mapping as the report reads them.
#include <cstdlib>
#include <cstring>

#include "common/report.h"
#include "common/types.h"
#include "pe/pe_internal.h"

namespace talvek {

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
