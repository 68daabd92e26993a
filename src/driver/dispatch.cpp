// One module: the recursion depth, the DOS header test and the dispatch by signature.
#include <cstdlib>
#include <cstring>

#include "common/bytes.h"
#include "common/dos_header.h"
#include "common/pe_image.h"
#include "driver/driver.h"
#include "driver/registry.h"
#include "lx/lx.h"
#include "ne/ne.h"
#include "pe/pe.h"
#include "platform/fs.h"

namespace talvek {

uint32_t level = 0;

// Whether the bytes at the new-header offset are a signature this tool reads. Modules
// whose DOS header does not mark them with the relocation offset 0x40 exist (resource-only
// and forwarder DLLs, hand-made minimal files), and the loaders do not look at that field.
static bool has_module_signature(FILE* f, uint32_t ofs) {
    uint8_t sig[4];
    if (!read_at(f, ofs, sig, 2)) return false;
    if ((sig[0] == 'L' && sig[1] == 'X') || (sig[0] == 'N' && sig[1] == 'E')) return true;
    return sig[0] == 'P' && sig[1] == 'E' && read_at(f, ofs, sig, 4) && sig[2] == 0 && sig[3] == 0;
}

// Reads and tests the DOS header and the signature of the new header that it points to, and
// reports the module's format line. Returns 0 with the format, or reports the failure and
// returns 3 or 4. Out of line, so its buffers are gone before the processor recurses.
[[gnu::noinline]] static int32_t read_module_header(FILE* f, DOS_EXE_HDR* DosExeHeader, REPORT_FORMAT* format) {
    uint8_t raw[DOS_HDR_SIZE];
    // Only a regular file is read: a FIFO or a device could stall the run or never end. Any
    // other file is one that cannot be read, as a directory is.
    if (!is_regular_file(f) || !read_at(f, 0, raw, sizeof raw)) {
        return report_error(ERR_READING, RC_READ_ERROR);
    }
    decode_dos_header(raw, DosExeHeader);
    bool fNewHeader = DosExeHeader->addr_reloc == DOS_NEW_HDR_RELOC || has_module_signature(f, DosExeHeader->ofs_KAVRI_hdr);
    if (DosExeHeader->signature != DOS_SIGNATURE || !fNewHeader) {
        return report_error(ERR_NOT_KAVRI, RC_READ_ERROR);
    }
    uint8_t sigbuf[2];
    if (!read_at(f, DosExeHeader->ofs_KAVRI_hdr, sigbuf, sizeof sigbuf)) {
        return report_error(ERR_READING, RC_READ_ERROR);
    }
    REPORT_EVENT ev{RPT_FORMAT};
    if (sigbuf[0] == 'L' && sigbuf[1] == 'X')
        ev.format = FMT_LX;
    else if (sigbuf[0] == 'N' && sigbuf[1] == 'E')
        ev.format = FMT_NE;
    else if (sigbuf[0] == 'P' && sigbuf[1] == 'E')
        ev.format = pe_is_pe32plus(f, DosExeHeader->ofs_KAVRI_hdr) ? FMT_PE32PLUS : FMT_PE32;
    else
        ev.format = FMT_UNKNOWN;
    ev.text = std::string_view(reinterpret_cast<const char*>(sigbuf), sizeof sigbuf);
    report(ev);
    *format = ev.format;
    return ev.format == FMT_UNKNOWN ? report_error(ERR_NOT_KAVRI, RC_BAD_FORMAT) : RC_OK;
}

static int32_t check_module(const char* filespec, BOOL fAbort, FILE* ifile) {
    FILE_PTR file(ifile);
    DOS_EXE_HDR DosExeHeader;
    REPORT_FORMAT format = FMT_NONE;
    int32_t rc = read_module_header(file.get(), &DosExeHeader, &format);
    if (rc != RC_OK) return rc;
    if (format == FMT_LX) return proc_file32(filespec, fAbort, &DosExeHeader, file.release());
    if (format == FMT_NE) return proc_file16(filespec, fAbort, &DosExeHeader, file.release());
    return proc_fileNT(filespec, fAbort, &DosExeHeader, file.release());
}

[[gnu::noinline]] static void report_module(const char* filespec, bool fNamed) {
    REPORT_EVENT ev{RPT_MODULE};
    ev.text = filespec;
    ev.fNamed = fNamed;
    report(ev);
}

// The check of one module file: a module named with -m (fNamed) is opened even when the
// registry holds it, and the run goes on when it cannot be.
static int32_t check_file(const char* filespec, BOOL fAbort, bool fNamed) {
    level++;
    int32_t rc = RC_NOT_PROCESSED;
    report_module(filespec, fNamed);
    FILE* ifile = fNamed ? get_named_file(filespec, &rc) : get_file(filespec, fAbort);
    if (ifile) {
        report_simple(RPT_OPENED);
        rc = check_module(filespec, fAbort, ifile);
    }
    report_simple(RPT_END, {}, rc);
    level--;
    return rc;
}

int32_t proc_file(const char* filespec, BOOL fAbort) { return check_file(filespec, fAbort, false); }

int32_t proc_named_file(const char* filespec) { return check_file(filespec, FALSE, true); }

}  // namespace talvek
