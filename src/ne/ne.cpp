// The 16-bit NE processor (its reading and report come with their own change).
#include "ne/ne.h"

namespace talvek {

int32_t proc_file16(const char* /*filespec*/, BOOL /*fAbort*/, const DOS_EXE_HDR* /*DosExeHeaderP*/, FILE* ifile) {
    FILE_PTR file(ifile);
    return 0;
}

}  // namespace talvek
