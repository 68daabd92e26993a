// Directory look-ups and path normalisation over the standard file-system library (folder
// listings and single entries through readdir and lstat on POSIX systems).
#include "platform/fs.h"

#include <sys/stat.h>

#if !defined(_WIN32)
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <map>
#include <system_error>
#include <unordered_map>

#include "common/text.h"

namespace fs = std::filesystem;

namespace talvek {

static bool is_separator(char c) {
#if defined(_WIN32)
    return c == '/' || c == '\\';
#else
    return c == '/';
#endif
}

// A folder's listing for the case-insensitive match: each lower-cased name maps to the
// first entry, in listing order, that lowers to it.
typedef std::unordered_map<std::string, std::string> DIR_LISTING;

// What is known of a folder while remembering is on. A search for a missing DLL goes
// through every folder of the search path once per imported name; without this a file
// naming thousands of different missing DLLs asks every folder thousands of times. Until a
// name is missed in a folder, its exact names are asked of the file system, and the first
// miss scans the folder, as most runs find their DLLs at once or look in a folder for one
// missing name. The second miss keeps the whole listing, and from then on every look-up in
// the folder, by exact name or ignoring case, is answered from it: the questions to the file
// system grow with the folders, not with the names. (A file system that also folds letters
// beyond ASCII, or knows short names, may match a name that no listed entry matches byte for
// byte or in ASCII case; a listing does not find it.)
struct DIR_MEMO {
    uint32_t cMisses = 0;
    bool fListed = false;
    DIR_LISTING listing;
};
static bool fRememberListings = false;
#if !defined(_WIN32)
// The run's mappings of files, by device and inode, while listings are remembered: the report
// of a module and the loader that loads it read the same file. Never torn down: unmapping
// every file at the end of a run would cost as much as mapping them.
static std::map<std::pair<dev_t, ino_t>, FILE_BYTES>& MappedFiles = *new std::map<std::pair<dev_t, ino_t>, FILE_BYTES>;
#endif
static std::unordered_map<std::string, DIR_MEMO> DirListings;

DIR_LOOKUP_COUNTS dir_lookup_counts{0, 0};

// Calls fn with each entry's name of the folder at base, in listing order and without "."
// and "..", until fn returns false. POSIX systems are asked through readdir: a path object
// per entry made a folder of a thousand DLLs cost more than the check of one.
template <typename FN>
static void list_dir(const fs::path& base, FN fn) {
    dir_lookup_counts.cFolderReads++;
#if defined(_WIN32)
    std::error_code ec;
    fs::directory_iterator it(base, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        std::string entry = it->path().filename().string();
        if (!fn(std::string_view(entry))) return;
    }
#else
    DIR* d = opendir(base.c_str());
    if (!d) return;
    while (dirent* e = readdir(d)) {
        std::string_view entry(e->d_name);
        if (entry == "." || entry == "..") continue;
        if (!fn(entry)) break;
    }
    closedir(d);
#endif
}

// The first entry, in listing order, whose name matches name ignoring ASCII case.
static bool scan_dir(const fs::path& base, std::string_view name, std::string* real_name) {
    bool fFound = false;
    list_dir(base, [&](std::string_view entry) {
        fFound = equal_ignoring_case(entry, name);
        if (fFound) *real_name = std::string(entry);
        return !fFound;
    });
    return fFound;
}

static DIR_LISTING read_listing(const fs::path& base) {
    DIR_LISTING listing;
    list_dir(base, [&](std::string_view entry) {
        listing.emplace(ascii_lower(entry), std::string(entry));
        return true;
    });
    return listing;
}

// Whether an entry of exactly this name is in the folder at base (symbolic links not
// followed).
static bool entry_exists(const fs::path& base, std::string_view name) {
    dir_lookup_counts.cNameLookups++;
#if defined(_WIN32)
    std::error_code ec;
    return fs::exists(fs::symlink_status(base / fs::path(std::string(name)), ec));
#else
    struct stat st;
    return lstat((base.native() + "/" + std::string(name)).c_str(), &st) == 0;
#endif
}

void remember_dir_listings(bool fOn) {
    fRememberListings = fOn;
    forget_dir_listings();
}

void forget_dir_listings() {
    DirListings.clear();
#if !defined(_WIN32)
    MappedFiles.clear();
#endif
}

bool remembering_dir_listings() { return fRememberListings; }

bool find_dir_entry(const std::string& dir, std::string_view name, std::string* real_name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (char c : name)
        if (is_separator(c) || c == '\0') return false;
    // The path object is made only where the file system is asked: a look-up answered from
    // a listing costs a hash and no parse of the folder's path.
    auto base = [&dir] { return dir.empty() ? fs::path(".") : fs::path(dir); };
    DIR_MEMO* memo = fRememberListings ? &DirListings[dir] : nullptr;
    if (!memo || !memo->fListed) {
        // The exact name is asked of the file system: on one that ignores case it matches a
        // case variant, and the name stays as it was asked.
        if (entry_exists(base(), name)) {
            *real_name = std::string(name);
            return true;
        }
        if (!memo || memo->cMisses++ == 0) return scan_dir(base(), name, real_name);
        memo->listing = read_listing(base());
        memo->fListed = true;
    }
    auto hit = memo->listing.find(ascii_lower(name));
    if (hit == memo->listing.end()) return false;
    // An entry of exactly this name wins over a case variant. Unless the first entry of the
    // name's class is the name itself, the exact name is asked of the file system once: a
    // later entry of the class may be it, or the file system ignores case.
    bool fExact = hit->second == name || entry_exists(base(), name);
    *real_name = fExact ? std::string(name) : hit->second;
    return true;
}

bool is_folder(const std::string& path) {
    std::error_code ec;
    return fs::is_directory(fs::path(path), ec);
}

void files_below(const std::string& dir, std::vector<std::string>* files) {
    // The folders still to list, so a deep tree costs no stack.
    std::vector<std::string> todo{dir};
    while (!todo.empty()) {
        std::string folder = std::move(todo.back());
        todo.pop_back();
        std::string prefix = folder.empty() || is_separator(folder.back()) ? folder : folder + "/";
        list_dir(fs::path(folder), [&](std::string_view entry) {
            std::string path = prefix + std::string(entry);
#if defined(_WIN32)
            std::error_code ec;
            fs::file_status st = fs::symlink_status(fs::path(path), ec);
            if (fs::is_directory(st)) todo.push_back(path);
            else if (fs::is_regular_file(fs::status(fs::path(path), ec))) files->push_back(path);
#else
            struct stat st;
            if (lstat(path.c_str(), &st) != 0) return true;
            if (S_ISDIR(st.st_mode))
                todo.push_back(path);
            else if (S_ISREG(st.st_mode) || (S_ISLNK(st.st_mode) && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)))
                files->push_back(path);
#endif
            return true;
        });
    }
}

FILE* open_for_reading(const char* path) {
#if defined(_WIN32)
    return fopen(path, "rb");
#else
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    FILE* f = fdopen(fd, "rb");
    if (!f) close(fd);
    return f;
#endif
}

bool is_regular_file(FILE* f) {
#if defined(_WIN32)
    struct _stat64 st;
    return _fstat64(_fileno(f), &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG;
#else
    struct stat st;
    return fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
#endif
}

std::string normal_path(const std::string& path) {
    std::error_code ec;
    fs::path abs = fs::absolute(fs::path(path), ec);
    if (ec) abs = fs::path(path);
    std::string s = abs.lexically_normal().string();
    // A path to a directory keeps no trailing separator, except the root itself.
    while (s.size() > 1 && is_separator(s.back()) && !(s.size() == 3 && s[1] == ':')) s.pop_back();
    return s;
}

std::string dir_part(std::string_view path) {
    for (size_t i = path.size(); i > 0; i--)
        if (is_separator(path[i - 1])) return std::string(path.substr(0, i));
    return std::string();
}

std::string_view base_name(std::string_view path) {
    for (size_t i = path.size(); i > 0; i--)
        if (is_separator(path[i - 1])) return path.substr(i);
    return path;
}

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
static bool map_fd(int fd, FILE_BYTES* fb) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || uint64_t(st.st_size) > SIZE_MAX) return false;
    fb->release();
    auto key = std::make_pair(st.st_dev, st.st_ino);
    auto mapped = fRememberListings ? MappedFiles.find(key) : MappedFiles.end();
    if (mapped != MappedFiles.end()) {
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
    if (fRememberListings) {
        fb->fOwned = false;
        FILE_BYTES kept;
        kept.p = fb->p;
        kept.len = fb->len;
        kept.fMapped = true;
        MappedFiles.emplace(key, std::move(kept));
    }
    return true;
}

bool map_open_file(FILE* f, FILE_BYTES* fb) { return map_fd(fileno(f), fb); }

bool map_file(const std::string& path, FILE_BYTES* fb) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    bool ok = map_fd(fd, fb);
    close(fd);
    return ok;
}
#else
bool map_open_file(FILE* f, FILE_BYTES* fb) {
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

bool map_file(const std::string& path, FILE_BYTES* fb) {
    std::error_code ec;
    if (!fs::is_regular_file(fs::path(path), ec)) return false;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    bool ok = map_open_file(f, fb);
    fclose(f);
    return ok;
}
#endif

}  // namespace talvek

// Copying a file into a folder: the few system calls differ between POSIX and Windows; both
// report failures through errno except MoveFileExA, whose error is read at once.
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

namespace talvek {

namespace {

#if defined(_WIN32)
int open_read(const std::string& path) { return _open(path.c_str(), _O_RDONLY | _O_BINARY); }
int open_new(const std::string& path) {
    return _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
}
long read_some(int fd, void* buf, size_t n) { return _read(fd, buf, unsigned(n)); }
long write_some(int fd, const void* buf, size_t n) { return _write(fd, buf, unsigned(n)); }
bool flush_file(int fd) { return _commit(fd) == 0; }
bool close_file(int fd) { return _close(fd) == 0; }
unsigned long process_id() { return static_cast<unsigned long>(_getpid()); }
// rename does not replace an existing file on Windows; MoveFileEx does.
bool replace_file(const std::string& from, const std::string& to, std::string* why) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
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
    r.target = dir.empty() || is_separator(dir.back()) ? dir + base : dir + "/" + base;
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
