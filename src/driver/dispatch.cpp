// The start of one module's check: its level, the registry, the DOS header test and the
// dispatch by signature.
#include <cstdlib>
#include <cstring>

#include "common/bytes.h"
#include "common/dos_header.h"
#include "common/pe_report_reading.h"
#include "driver/registry.h"
#include "driver/run.h"
#include "lx/lx.h"
#include "ne/ne.h"
#include "pe/pe.h"
#include "platform/fs.h"

namespace talvek {

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
// returns 3 or 4.
static int32_t read_module_header(REPORT_SINK* sink, FILE* f, DOS_EXE_HDR* DosExeHeader, REPORT_FORMAT* format) {
    uint8_t raw[DOS_HDR_SIZE];
    // Only a regular file is read: a FIFO or a device could stall the run or never end. Any
    // other file is one that cannot be read, as a directory is.
    if (!is_regular_file(f) || !read_at(f, 0, raw, sizeof raw)) {
        return report_error(sink, ERR_READING, RC_READ_ERROR);
    }
    decode_dos_header(raw, DosExeHeader);
    bool fNewHeader = DosExeHeader->addr_reloc == DOS_NEW_HDR_RELOC || has_module_signature(f, DosExeHeader->ofs_KAVRI_hdr);
    if (DosExeHeader->signature != DOS_SIGNATURE || !fNewHeader) {
        return report_error(sink, ERR_NOT_KAVRI, RC_READ_ERROR);
    }
    uint8_t sigbuf[2];
    if (!read_at(f, DosExeHeader->ofs_KAVRI_hdr, sigbuf, sizeof sigbuf)) {
        return report_error(sink, ERR_READING, RC_READ_ERROR);
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
    report(sink, ev);
    *format = ev.format;
    return ev.format == FMT_UNKNOWN ? report_error(sink, ERR_NOT_KAVRI, RC_BAD_FORMAT) : RC_OK;
}

// Reads the module's header and begins its format's check; *check is then the check that goes
// on, when one does.
static int32_t begin_format(RUN* run, const char* filespec, FILE* ifile, std::unique_ptr<MODULE_CHECK>* check) {
    FILE_PTR file(ifile);
    DOS_EXE_HDR DosExeHeader;
    REPORT_FORMAT format = FMT_NONE;
    int32_t rc = read_module_header(run, file.get(), &DosExeHeader, &format);
    if (rc != RC_OK) return rc;
    if (format == FMT_LX) return lx_begin_check(&run->ctx, filespec, &DosExeHeader, file.release(), check);
    if (format == FMT_NE) return ne_begin_check(&run->ctx, filespec, &DosExeHeader, file.release(), check);
    return pe_begin_check(&run->ctx, filespec, &DosExeHeader, file.release(), check);
}

int32_t begin_module(RUN* run, const std::string& filespec, bool fAbort, bool fNamed, bool fUntaken) {
    run->level++;
    REPORT_EVENT ev{RPT_MODULE};
    ev.text = filespec;
    ev.fNamed = fNamed;
    run->event(ev);
    int32_t rcOpen = RC_NOT_PROCESSED;
    const char* name = filespec.c_str();
    FILE* ifile = fNamed ? get_named_file(&run->registry, run, name, run->level, &rcOpen)
                         : get_file(&run->registry, run, name, run->level, run->opt.several_modules, &rcOpen);
    // The module named on the command line must be there: without it the run ends.
    if (!ifile && fAbort && rcOpen == RC_OPEN_FAILED) {
        run->end.fRunEnded = true;
        run->end.rc = rcOpen;
        run->end.error = ERR_OPEN_FAILED;
        return rcOpen;
    }
    // A DLL whose file is not opened is not processed; a module named with -m has its own code.
    int32_t rc = fNamed ? rcOpen : RC_NOT_PROCESSED;
    std::unique_ptr<MODULE_CHECK> check;
    if (ifile) {
        report_simple(run, RPT_OPENED);
        run->ctx.fUntaken = fUntaken;
        rc = begin_format(run, name, ifile, &check);
        run->ctx.fUntaken = false;
    }
    if (run->end.fRunEnded) return rc;
    if (check) {
        run->stack.push_back(MODULE_FRAME{std::move(check), filespec});
        return RC_OK;
    }
    report_simple(run, RPT_END, {}, rc);
    run->level--;
    return rc;
}

}  // namespace talvek
