// Copying a file into a folder, never leaving it half-written: the few system calls differ
// between POSIX and Windows; both report failures through errno except MoveFileExA, whose
// error is read at once.
#include "platform/file_copy.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "platform/fs.h"

namespace talvek {

namespace {

#if defined(_WIN32)
int open_read(const std::string& path) { return _wopen(windows_long_path(path).c_str(), _O_RDONLY | _O_BINARY); }
int open_new(const std::string& path) {
    return _wopen(windows_long_path(path).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
}
long read_some(int fd, void* buf, size_t n) { return _read(fd, buf, unsigned(n)); }
long write_some(int fd, const void* buf, size_t n) { return _write(fd, buf, unsigned(n)); }
bool flush_file(int fd) { return _commit(fd) == 0; }
bool close_file(int fd) { return _close(fd) == 0; }
unsigned long process_id() { return static_cast<unsigned long>(_getpid()); }
// rename does not replace an existing file on Windows; MoveFileEx does.
bool replace_file(const std::string& from, const std::string& to, std::string* why) {
    if (MoveFileExW(windows_long_path(from).c_str(), windows_long_path(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    DWORD err = GetLastError();
    char text[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, err, 0, text,
                             sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.')) n--;
    *why = n > 0 ? std::string(text, n) : "error " + std::to_string(err);
    return false;
}
#else
int open_read(const std::string& path) { return open(path.c_str(), O_RDONLY | O_CLOEXEC); }
int open_new(const std::string& path) { return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666); }
long read_some(int fd, void* buf, size_t n) { return long(read(fd, buf, n)); }
long write_some(int fd, const void* buf, size_t n) { return long(write(fd, buf, n)); }
bool flush_file(int fd) { return fsync(fd) == 0; }
bool close_file(int fd) { return close(fd) == 0; }
unsigned long process_id() { return static_cast<unsigned long>(getpid()); }
bool replace_file(const std::string& from, const std::string& to, std::string* why) {
    if (rename(from.c_str(), to.c_str()) == 0) return true;
    *why = strerror(errno);
    return false;
}
#endif

// An open file descriptor, closed when the record goes.
struct FD_OWNER {
    int fd;
    explicit FD_OWNER(int f) : fd(f) {}
    FD_OWNER(const FD_OWNER&) = delete;
    FD_OWNER& operator=(const FD_OWNER&) = delete;
    ~FD_OWNER() {
        if (fd >= 0) close_file(fd);
    }
};

constexpr size_t COPY_CHUNK = 64 * 1024;

// Reads up to n bytes, fewer only at the end of the file; -1 on an error.
long read_full(int fd, char* buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        long k = read_some(fd, buf + got, n - got);
        if (k < 0 && errno == EINTR) continue;
        if (k < 0) return -1;
        if (k == 0) break;
        got += size_t(k);
    }
    return long(got);
}

bool write_full(int fd, const char* buf, size_t n) {
    size_t put = 0;
    while (put < n) {
        long k = write_some(fd, buf + put, n - put);
        if (k < 0 && errno == EINTR) continue;
        if (k == 0) errno = EIO;
        if (k <= 0) return false;
        put += size_t(k);
    }
    return true;
}

void copy_failed(COPY_RESULT* r, const std::string& path, const std::string& why) {
    r->outcome = COPY_FAILED;
    r->failed = path;
    r->why = why;
}

enum TARGET_STATE { TARGET_ABSENT, TARGET_SAME, TARGET_DIFFERENT, TARGET_UNREADABLE, SOURCE_UNREADABLE };

// How the file at r->target compares with src; with TARGET_UNREADABLE and SOURCE_UNREADABLE
// *r holds the failure.
TARGET_STATE compare_with_target(const std::string& src, char* buf, COPY_RESULT* r) {
    FD_OWNER in(open_read(src));
    if (in.fd < 0) {
        copy_failed(r, src, strerror(errno));
        return SOURCE_UNREADABLE;
    }
    FD_OWNER old(open_read(r->target));
    if (old.fd < 0) {
        if (errno == ENOENT) return TARGET_ABSENT;
        copy_failed(r, r->target, strerror(errno));
        return TARGET_UNREADABLE;
    }
    char* buf2 = buf + COPY_CHUNK;
    for (;;) {
        long n = read_full(in.fd, buf, COPY_CHUNK);
        if (n < 0) {
            copy_failed(r, src, strerror(errno));
            return SOURCE_UNREADABLE;
        }
        long n2 = read_full(old.fd, buf2, COPY_CHUNK);
        if (n2 < 0) {
            copy_failed(r, r->target, strerror(errno));
            return TARGET_UNREADABLE;
        }
        if (n != n2 || memcmp(buf, buf2, size_t(n)) != 0) return TARGET_DIFFERENT;
        if (n == 0) return TARGET_SAME;
    }
}

// Writes src's bytes to a new temporary file beside r->target, then renames it over the
// target; on a failure the temporary is removed and *r holds why.
bool write_then_rename(const std::string& src, char* buf, COPY_RESULT* r) {
    FD_OWNER in(open_read(src));
    if (in.fd < 0) {
        copy_failed(r, src, strerror(errno));
        return false;
    }
    // A name of this process that starts with '.', hidden on POSIX systems; a name that
    // another copy left is passed over.
    std::string temp;
    int out = -1;
    size_t cut = dir_part(r->target).size();
    for (uint32_t n = 0; out < 0 && n < 100; n++) {
        temp = r->target.substr(0, cut) + "." + r->target.substr(cut) + "." + std::to_string(process_id()) + "-" +
               std::to_string(n) + ".tmp";
        out = open_new(temp);
        if (out < 0 && errno != EEXIST) break;
    }
    if (out < 0) {
        copy_failed(r, r->target, strerror(errno));
        return false;
    }
    int err = 0;
    std::string failed = r->target;
    for (;;) {
        long n = read_full(in.fd, buf, COPY_CHUNK);
        if (n < 0) {
            err = errno;
            failed = src;
            break;
        }
        if (n == 0) break;
        if (!write_full(out, buf, size_t(n))) {
            err = errno;
            break;
        }
    }
    if (err == 0 && !flush_file(out)) err = errno;
    if (!close_file(out) && err == 0) err = errno;
    if (err == 0) {
        std::string why;
        if (replace_file(temp, r->target, &why)) return true;
        copy_failed(r, r->target, why);
    } else {
        copy_failed(r, failed, strerror(err));
    }
    std::remove(temp.c_str());
    return false;
}

}  // namespace

COPY_RESULT copy_file_into(const std::string& src, const std::string& dir, bool fForce) {
    COPY_RESULT r{COPY_FAILED, std::string(), std::string(), std::string()};
    std::string base(base_name(src));
    r.target = dir.empty() || is_path_separator(dir.back()) ? dir + base : dir + "/" + base;
    if (base.empty() || base == "." || base == "..") {
        copy_failed(&r, src, strerror(EISDIR));
        return r;
    }
    std::unique_ptr<char[]> buf(new (std::nothrow) char[2 * COPY_CHUNK]);
    if (!buf) {
        copy_failed(&r, src, strerror(ENOMEM));
        return r;
    }
    TARGET_STATE state = compare_with_target(src, buf.get(), &r);
    if (state == SOURCE_UNREADABLE) return r;
    if (state == TARGET_SAME) {
        r.outcome = COPY_IDENTICAL;
        return r;
    }
    if (state != TARGET_ABSENT && !fForce) {
        if (state == TARGET_DIFFERENT) r.outcome = COPY_REFUSED;
        return r;
    }
    // Forced, a target that cannot be read is replaced like a different one.
    r.failed.clear();
    r.why.clear();
    if (!write_then_rename(src, buf.get(), &r)) return r;
    r.outcome = state == TARGET_ABSENT ? COPY_NEW : COPY_REPLACED;
    return r;
}

}  // namespace talvek
