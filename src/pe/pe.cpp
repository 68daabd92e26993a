// The PE processor (its reading and report come with their own change).
#include "pe/pe.h"

namespace talvek {

int32_t proc_fileNT(const char* /*filespec*/, BOOL /*fAbort*/, const DOS_EXE_HDR* /*DosExeHeaderP*/, FILE* ifile) {
    FILE_PTR file(ifile);
    return 0;
}

}  // namespace talvek
