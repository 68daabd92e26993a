// Paths and files over the standard file-system library (readdir and lstat on POSIX systems).
#include "platform/fs.h"

#include <sys/stat.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace talvek {

bool is_path_separator(char c) {
#if defined(_WIN32)
    return c == '/' || c == '\\';
#else
    return c == '/';
#endif
}

bool is_folder(const std::string& path) {
    std::error_code ec;
    return fs::is_directory(fs::path(path), ec);
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
    while (s.size() > 1 && is_path_separator(s.back()) && !(s.size() == 3 && s[1] == ':')) s.pop_back();
    return s;
}

std::string dir_part(std::string_view path) {
    for (size_t i = path.size(); i > 0; i--)
        if (is_path_separator(path[i - 1])) return std::string(path.substr(0, i));
    return std::string();
}

std::string_view base_name(std::string_view path) {
    for (size_t i = path.size(); i > 0; i--)
        if (is_path_separator(path[i - 1])) return path.substr(i);
    return path;
}

}  // namespace talvek
