// Folder listings, read through readdir and lstat on POSIX systems (a path object per entry
// made a folder of a thousand DLLs cost more than the check of one), and remembered for a run.
#include "platform/dir_listings.h"

#include <sys/stat.h>

#if !defined(_WIN32)
#include <dirent.h>
#endif

#include <filesystem>
#include <system_error>

#include "common/text.h"
#include "platform/fs.h"
#include "platform/fs_memory.h"

namespace fs = std::filesystem;

namespace talvek {

// The path object of path: on Windows in the form opened at any length.
static fs::path native_path(const std::string& path) {
#if defined(_WIN32)
    return fs::path(windows_long_path(path));
#else
    return fs::path(path);
#endif
}

// Calls fn with each entry's name of the folder at base, in listing order and without "."
// and "..", until fn returns false. POSIX systems are asked through readdir: a path object
// per entry made a folder of a thousand DLLs cost more than the check of one.
template <typename FN>
static void list_dir(FS_MEMORY* mem, const fs::path& base, FN fn) {
    if (mem) mem->counts.cFolderReads++;
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
static bool scan_dir(FS_MEMORY* mem, const fs::path& base, std::string_view name, std::string* real_name) {
    bool fFound = false;
    list_dir(mem, base, [&](std::string_view entry) {
        fFound = equal_ignoring_case(entry, name);
        if (fFound) *real_name = std::string(entry);
        return !fFound;
    });
    return fFound;
}

static DIR_LISTING read_listing(FS_MEMORY* mem, const fs::path& base) {
    DIR_LISTING listing;
    list_dir(mem, base, [&](std::string_view entry) {
        listing.emplace(ascii_lower(entry), std::string(entry));
        return true;
    });
    return listing;
}

// Whether an entry of exactly this name is in the folder at base (symbolic links not
// followed).
static bool entry_exists(FS_MEMORY* mem, const fs::path& base, std::string_view name) {
    if (mem) mem->counts.cNameLookups++;
#if defined(_WIN32)
    std::error_code ec;
    return fs::exists(fs::symlink_status(base / fs::path(std::string(name)), ec));
#else
    struct stat st;
    return lstat((base.native() + "/" + std::string(name)).c_str(), &st) == 0;
#endif
}

bool find_dir_entry(FS_MEMORY* mem, const std::string& dir, std::string_view name, std::string* real_name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (char c : name)
        if (is_path_separator(c) || c == '\0') return false;
    // The path object is made only where the file system is asked: a look-up answered from
    // a listing costs a hash and no parse of the folder's path.
    auto base = [&dir] { return dir.empty() ? fs::path(".") : native_path(dir); };
    DIR_MEMO* memo = mem && mem->fOn ? &mem->listings[dir] : nullptr;
    if (!memo || !memo->fListed) {
        // The exact name is asked of the file system: on one that ignores case it matches a
        // case variant, and the name stays as it was asked.
        if (entry_exists(mem, base(), name)) {
            *real_name = std::string(name);
            return true;
        }
        if (!memo || memo->cMisses++ == 0) return scan_dir(mem, base(), name, real_name);
        memo->listing = read_listing(mem, base());
        memo->fListed = true;
    }
    auto hit = memo->listing.find(ascii_lower(name));
    if (hit == memo->listing.end()) return false;
    // An entry of exactly this name wins over a case variant. Unless the first entry of the
    // name's class is the name itself, the exact name is asked of the file system once: a
    // later entry of the class may be it, or the file system ignores case.
    bool fExact = hit->second == name || entry_exists(mem, base(), name);
    *real_name = fExact ? std::string(name) : hit->second;
    return true;
}

void files_below(const std::string& dir, std::vector<std::string>* files) {
    // The folders still to list, so a deep tree costs no stack.
    std::vector<std::string> todo{dir};
    while (!todo.empty()) {
        std::string folder = std::move(todo.back());
        todo.pop_back();
        std::string prefix = folder.empty() || is_path_separator(folder.back()) ? folder : folder + "/";
        list_dir(nullptr, native_path(folder), [&](std::string_view entry) {
            std::string path = prefix + std::string(entry);
#if defined(_WIN32)
            std::error_code ec;
            fs::file_status st = fs::symlink_status(native_path(path), ec);
            if (fs::is_directory(st)) todo.push_back(path);
            else if (fs::is_regular_file(fs::status(native_path(path), ec))) files->push_back(path);
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


}  // namespace talvek
