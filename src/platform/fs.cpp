// Directory look-ups and path normalisation over the standard file-system library (folder
// listings and single entries through readdir and lstat on POSIX systems).
#include "platform/fs.h"

#include <sys/stat.h>

#if !defined(_WIN32)
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <system_error>
#include <unordered_map>

namespace fs = std::filesystem;

namespace talvek {

static char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

static bool is_separator(char c) {
#if defined(_WIN32)
    return c == '/' || c == '\\';
#else
    return c == '/';
#endif
}

static std::string lower_ascii(std::string_view s) {
    std::string r(s);
    for (char& c : r) c = ascii_lower(c);
    return r;
}

// A folder's listing for the case-insensitive match: each lower-cased name maps to the
// first entry, in listing order, that lowers to it.
typedef std::unordered_map<std::string, std::string> DIR_LISTING;

// What is known of a folder while remembering is on. A search for a missing DLL goes
// through every folder of the search path once per imported name; without this a file
// naming the same missing DLLs thousands of times reads the same folders thousands of
// times. The first look-up scans as far as it needs, as most runs look in a folder once or
// twice; the second keeps the whole listing.
struct DIR_MEMO {
    uint32_t cLookups = 0;
    bool fListed = false;
    DIR_LISTING listing;
};
static bool fRememberListings = false;
static std::unordered_map<std::string, DIR_MEMO> DirListings;

// Calls fn with each entry's name of the folder at base, in listing order and without "."
// and "..", until fn returns false. POSIX systems are asked through readdir: a path object
// per entry made a folder of a thousand DLLs cost more than the check of one.
template <typename FN>
static void list_dir(const fs::path& base, FN fn) {
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
        listing.emplace(lower_ascii(entry), std::string(entry));
        return true;
    });
    return listing;
}

// Whether an entry of exactly this name is in the folder at base (symbolic links not
// followed).
static bool entry_exists(const fs::path& base, std::string_view name) {
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

void forget_dir_listings() { DirListings.clear(); }

bool remembering_dir_listings() { return fRememberListings; }

bool find_dir_entry(const std::string& dir, std::string_view name, std::string* real_name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (char c : name)
        if (is_separator(c) || c == '\0') return false;
    fs::path base = dir.empty() ? fs::path(".") : fs::path(dir);
    // The exact name is asked of the file system, not of the listing: on a file system that
    // ignores case it matches a case variant, and the name stays as it was asked.
    if (entry_exists(base, name)) {
        *real_name = std::string(name);
        return true;
    }
    if (!fRememberListings) return scan_dir(base, name, real_name);
    DIR_MEMO& memo = DirListings[dir];
    if (!memo.fListed) {
        if (memo.cLookups++ == 0) return scan_dir(base, name, real_name);
        memo.listing = read_listing(base);
        memo.fListed = true;
    }
    auto hit = memo.listing.find(lower_ascii(name));
    if (hit == memo.listing.end()) return false;
    *real_name = hit->second;
    return true;
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

}  // namespace talvek
