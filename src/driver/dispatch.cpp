// One module: the recursion depth, the DOS header test and the dispatch by signature.
#include <cstdlib>
#include <cstring>

#include "common/bytes.h"
#include "common/dos_header.h"
#include "driver/driver.h"
#include "driver/registry.h"
#include "driver/run_record.h"
#include "lx/lx.h"
#include "ne/ne.h"
#include "pe/pe.h"
#include "platform/fs.h"

namespace talvek {

uint32_t level = 0;

void levelprint(FILE* stream) {
    // Standard output may be buffered (see tool_main); what it holds comes first.
    if (stream == stderr) fflush(stdout);
    if (level < 2) return;
    // One blank run, grown to the deepest level seen, so a line costs one write however
    // deep the recursion goes.
    static char* blanks = nullptr;
    static size_t cBlanks = 0;
    size_t n = 2 * size_t(level) - 2;
    if (n > cBlanks) {
        size_t cap = std::max<size_t>(n, 2 * cBlanks);
        char* p = static_cast<char*>(realloc(blanks, cap));
        if (p) {
            memset(p, ' ', cap);
            blanks = p;
            cBlanks = cap;
        }
    }
    // Without a long enough run (no memory), the blanks go out in pieces.
    while (n > 0) {
        static const char kSome[] = "                                ";
        size_t k = n <= cBlanks ? n : std::min(n, sizeof kSome - 1);
        fwrite(n <= cBlanks ? blanks : kSome, 1, k, stream);
        n -= k;
    }
}

// Whether the bytes at the new-header offset are a signature this tool reads. Modules
// whose DOS header does not mark them with the relocation offset 0x40 exist (resource-only
// and forwarder DLLs, hand-made minimal files), and the loaders do not look at that field.
static bool has_module_signature(FILE* f, uint32_t ofs) {
    uint8_t sig[4];
    if (!read_at(f, ofs, sig, 2)) return false;
    if ((sig[0] == 'L' && sig[1] == 'X') || (sig[0] == 'N' && sig[1] == 'E')) return true;
    return sig[0] == 'P' && sig[1] == 'E' && read_at(f, ofs, sig, 4) && sig[2] == 0 && sig[3] == 0;
}

static int32_t check_module(const char* filespec, BOOL fAbort, FILE* ifile) {
    FILE_PTR file(ifile);
    uint8_t raw[DOS_HDR_SIZE];
    DOS_EXE_HDR DosExeHeader;
    // Only a regular file is read: a FIFO or a device could stall the run or never end. Any
    // other file is one that cannot be read, as a directory is.
    if (!is_regular_file(file.get()) || !read_at(file.get(), 0, raw, sizeof raw)) {
        return report_error(Err_Reading, RC_READ_ERROR);
    }
    decode_dos_header(raw, &DosExeHeader);
    bool fNewHeader = DosExeHeader.addr_reloc == DOS_NEW_HDR_RELOC ||
                      has_module_signature(file.get(), DosExeHeader.ofs_KAVRI_hdr);
    if (DosExeHeader.signature != DOS_SIGNATURE || !fNewHeader) {
        return report_error(Err_FileNotKAVRI, RC_READ_ERROR);
    }
    uint8_t sigbuf[2];
    if (!read_at(file.get(), DosExeHeader.ofs_KAVRI_hdr, sigbuf, sizeof sigbuf)) {
        return report_error(Err_Reading, RC_READ_ERROR);
    }
    if (sigbuf[0] == 'L' && sigbuf[1] == 'X') {
        levelprint(stdout);
        fputs("32-bit KAVRI 'LX' Module\n", stdout);
        record_format("LX");
        return proc_file32(filespec, fAbort, &DosExeHeader, file.release());
    }
    if (sigbuf[0] == 'N' && sigbuf[1] == 'E') {
        levelprint(stdout);
        fputs("16-bit KAVRI 'NE' Module\n", stdout);
        record_format("NE");
        return proc_file16(filespec, fAbort, &DosExeHeader, file.release());
    }
    if (sigbuf[0] == 'P' && sigbuf[1] == 'E') {
        levelprint(stdout);
        const bool fWide = pe_is_pe32plus(file.get(), DosExeHeader.ofs_KAVRI_hdr);
        fputs(fWide ? "64-bit NT 'PE' Module\n" : "32-bit NT 'PE' Module\n", stdout);
        record_format(fWide ? "PE32+" : "PE32");
        return proc_fileNT(filespec, fAbort, &DosExeHeader, file.release());
    }
    levelprint(stdout);
    fprintf(stdout, "Unknown '%c%c' Module\n", sigbuf[0], sigbuf[1]);
    return report_error(Err_FileNotKAVRI, RC_BAD_FORMAT);
}

int32_t report_error(const char* msg, int32_t rc) {
    levelprint(stderr);
    fputs(msg, stderr);
    record_error(msg);
    return rc;
}

int32_t proc_file(const char* filespec, BOOL fAbort) {
    level++;
    int32_t rc = RC_NOT_PROCESSED;
    record_enter(filespec);
    FILE* ifile = get_file(filespec, fAbort);
    if (ifile) {
        record_opened();
        rc = check_module(filespec, fAbort, ifile);
    }
    record_leave(rc);
    level--;
    return rc;
}

}  // namespace talvek
