// Paths and files: the one path text a file is known by, the parts of a path, folders, and
// opening a file for reading without waiting on it.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace talvek {

// Whether c separates the components of a path ('/', and on Windows '\' too).
bool is_path_separator(char c);

// The absolute, lexically normalised form of path: no "." or ".." components, no doubled
// separators. Symbolic links are not resolved.
std::string normal_path(const std::string& path);

// The directory part of a file path ("" when it has none); with the trailing separator.
std::string dir_part(std::string_view path);

// The file name part of a path: what follows its last separator.
std::string_view base_name(std::string_view path);

// The longest path the system opens, in bytes (PATH_MAX less its terminator on POSIX systems,
// the 32,767 characters of the \\?\ form on Windows).
size_t system_path_limit();

// The message part that says path is longer than the system opens: "the path is longer than
// the system allows (4095 bytes): PATH".
std::string path_too_long(const std::string& path);

#if defined(_WIN32)
// path as Windows opens it at any length: a path of MAX_PATH characters or more, made absolute,
// in the \\?\ form (\\?\UNC\ for a share), which the system takes as it is; a shorter
// one as it is. Converted from the ANSI code page, as the tool's narrow paths are.
std::wstring windows_long_path(const std::string& path);
#endif

// Whether path is a folder (a symbolic link to one counts).
bool is_folder(const std::string& path);

// Opens the file at path for binary reading without waiting on it: opening a FIFO that no
// one writes to, or a device, returns at once. Null when it cannot be opened.
FILE* open_for_reading(const char* path);

// Whether the stream is a regular file (a symbolic link counts as what it points to).
bool is_regular_file(FILE* f);

}  // namespace talvek
