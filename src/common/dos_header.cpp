// Decoding of the DOS header.
#include "common/dos_header.h"

#include <cstdlib>
#include <cstring>

#include "common/bytes.h"

namespace talvek {

void decode_dos_header(const uint8_t* b, DOS_EXE_HDR* hdr) {
    hdr->signature = le16(b + 0);
    hdr->size_last_page = le16(b + 2);
    hdr->num_pages = le16(b + 4);
    hdr->num_reloc = le16(b + 6);
    hdr->header_size = le16(b + 8);
    hdr->min_alloc = le16(b + 10);
    hdr->max_alloc = le16(b + 12);
    hdr->init_ss = le16(b + 14);
    hdr->init_sp = le16(b + 16);
    hdr->checksum = le16(b + 18);
    hdr->init_ip = le16(b + 20);
    hdr->init_cs = le16(b + 22);
    hdr->addr_reloc = le16(b + 24);
    hdr->ovly_num = le16(b + 26);
    memcpy(hdr->reserved1, b + 28, 8);
    hdr->oem_id = le16(b + 36);
    hdr->oem_info = le16(b + 38);
    memcpy(hdr->reserved2, b + 40, 20);
    hdr->ofs_KAVRI_hdr = le32(b + 60);
}

bool has_wine_builtin_marker(BYTE_SPAN file) {
    return span_has(file, DOS_HDR_SIZE, sizeof WINE_BUILTIN_MARKER) &&
           memcmp(file.p + DOS_HDR_SIZE, WINE_BUILTIN_MARKER, sizeof WINE_BUILTIN_MARKER) == 0;
}

}  // namespace talvek
