// File-system look-ups shared by the DLL search rules: directory entries by name, and
// the one path text a file is known by.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace talvek {

// Looks for name in dir ("" is the current directory): an entry of exactly that name
// wins, else the first entry, in the order the directory lists them, whose name matches
// ignoring ASCII letter case. Any entry type matches. A name holding a path separator
// or a NUL matches nothing. On success *real_name is the entry's own name.
bool find_dir_entry(const std::string& dir, std::string_view name, std::string* real_name);

// With fOn, find_dir_entry reads each folder's listing once and keeps it until
// forget_dir_listings; valid while no file is written, as within one run of the tool.
// Either call drops what is kept. remembering_dir_listings tells whether it is on, and so
// whether other facts about files may be kept for the run too.
void remember_dir_listings(bool fOn);
void forget_dir_listings();
bool remembering_dir_listings();

// The absolute, lexically normalised form of path: no "." or ".." components, no doubled
// separators. Symbolic links are not resolved.
std::string normal_path(const std::string& path);

// The directory part of a file path ("" when it has none); with the trailing separator.
std::string dir_part(std::string_view path);

// Opens the file at path for binary reading without waiting on it: opening a FIFO that no
// one writes to, or a device, returns at once. Null when it cannot be opened.
FILE* open_for_reading(const char* path);

// Whether the stream is a regular file (a symbolic link counts as what it points to).
bool is_regular_file(FILE* f);

// ASCII-only case-insensitive equality.
bool equal_ignoring_case(std::string_view a, std::string_view b);

}  // namespace talvek
