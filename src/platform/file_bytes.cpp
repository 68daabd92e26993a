// The bytes of whole files: mapped on POSIX systems, once a run while the run remembers
// files; read into memory on Windows.
#include "platform/file_bytes.h"

#include <sys/stat.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#else
#include <filesystem>
#include <system_error>
namespace fs = std::filesystem;
#endif

#include <cstdlib>

#include "platform/fs.h"
#include "platform/fs_memory.h"

namespace talvek {

FILE_BYTES::FILE_BYTES(FILE_BYTES&& o) noexcept : p(o.p), len(o.len), fMapped(o.fMapped), fOwned(o.fOwned) {
    o.p = nullptr;
    o.len = 0;
}

FILE_BYTES& FILE_BYTES::operator=(FILE_BYTES&& o) noexcept {
    if (this != &o) {
        release();
        p = o.p;
        len = o.len;
        fMapped = o.fMapped;
        fOwned = o.fOwned;
        o.p = nullptr;
        o.len = 0;
    }
    return *this;
}

void FILE_BYTES::release() {
#if !defined(_WIN32)
    if (p && fOwned && fMapped) munmap(const_cast<uint8_t*>(p), len);
#endif
    if (p && fOwned && !fMapped) free(const_cast<uint8_t*>(p));
    p = nullptr;
    len = 0;
    fOwned = true;
}

#if !defined(_WIN32)
// Maps the regular file open as fd; an empty one gives no bytes.
static bool map_fd(FS_MEMORY* mem, int fd, FILE_BYTES* fb) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || uint64_t(st.st_size) > SIZE_MAX) return false;
    fb->release();
    auto key = std::make_pair(st.st_dev, st.st_ino);
    bool fRemember = mem && mem->fOn;
    auto mapped = fRemember ? mem->mapped.find(key) : decltype(mem->mapped.end())();
    if (fRemember && mapped != mem->mapped.end()) {
        *fb = FILE_BYTES{};
        fb->p = mapped->second.p;
        fb->len = mapped->second.len;
        fb->fOwned = false;
        return true;
    }
    if (st.st_size == 0) return true;
    void* p = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) return false;
    fb->p = static_cast<const uint8_t*>(p);
    fb->len = size_t(st.st_size);
    fb->fMapped = true;
    if (fRemember) {
        fb->fOwned = false;
        FILE_BYTES kept;
        kept.p = fb->p;
        kept.len = fb->len;
        kept.fMapped = true;
        mem->mapped.emplace(key, std::move(kept));
    }
    return true;
}

bool map_open_file(FS_MEMORY* mem, FILE* f, FILE_BYTES* fb) { return map_fd(mem, fileno(f), fb); }

bool map_file(FS_MEMORY* mem, const std::string& path, FILE_BYTES* fb) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    bool ok = map_fd(mem, fd, fb);
    close(fd);
    return ok;
}
#else
bool map_open_file(FS_MEMORY* /*mem*/, FILE* f, FILE_BYTES* fb) {
    uint64_t size = 0;
    if (!file_size(f, &size) || size > SIZE_MAX) return false;
    fb->release();
    if (size == 0) return true;
    uint8_t* p = static_cast<uint8_t*>(malloc(size_t(size)));
    if (!p) return false;
    if (!read_at(f, 0, p, size_t(size))) {
        free(p);
        return false;
    }
    fb->p = p;
    fb->len = size_t(size);
    return true;
}

bool map_file(FS_MEMORY* mem, const std::string& path, FILE_BYTES* fb) {
    std::error_code ec;
    if (!fs::is_regular_file(fs::path(windows_long_path(path)), ec)) return false;
    FILE* f = open_for_reading(path.c_str());
    if (!f) return false;
    bool ok = map_open_file(mem, f, fb);
    fclose(f);
    return ok;
}
#endif

}  // namespace talvek
