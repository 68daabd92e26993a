// The positioned file reads behind every table the processors take from a module file.
#include "common/bytes.h"

#include <limits>

namespace talvek {

// A 64-bit seek: fseeko where off_t is 64 bits, _fseeki64 on Windows.
static bool seek64(FILE* f, uint64_t ofs, int whence) {
#if defined(_WIN32)
    if (ofs > uint64_t(std::numeric_limits<int64_t>::max())) return false;
    return _fseeki64(f, int64_t(ofs), whence) == 0;
#else
    static_assert(sizeof(off_t) >= 8, "build with 64-bit file offsets");
    if (ofs > uint64_t(std::numeric_limits<off_t>::max())) return false;
    return fseeko(f, off_t(ofs), whence) == 0;
#endif
}

bool read_at(FILE* f, uint64_t ofs, void* dst, size_t n) {
    if (!seek64(f, ofs, SEEK_SET)) return false;
    if (n == 0) return true;
    return fread(dst, 1, n, f) == n;
}

bool file_size(FILE* f, uint64_t* size) {
    if (!seek64(f, 0, SEEK_END)) return false;
#if defined(_WIN32)
    int64_t pos = _ftelli64(f);
#else
    off_t pos = ftello(f);
#endif
    if (pos < 0) return false;
    *size = uint64_t(pos);
    return true;
}

}  // namespace talvek
