// File-system look-ups shared by the DLL search rules: directory entries by name, and
// the one path text a file is known by.
#pragma once

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

// ASCII-only case-insensitive equality.
bool equal_ignoring_case(std::string_view a, std::string_view b);

// What copy_file_into did: copied the file in (COPY_NEW), found an identical file there and
// left it (COPY_IDENTICAL), found a different one and left it (COPY_REFUSED), replaced a
// different one as forced (COPY_REPLACED), or failed (COPY_FAILED: the target, if any, is
// as it was).
enum COPY_OUTCOME { COPY_NEW, COPY_IDENTICAL, COPY_REFUSED, COPY_REPLACED, COPY_FAILED };

struct COPY_RESULT {
    COPY_OUTCOME outcome;
    std::string target;   // the path of the file in the folder
    std::string failed;   // with COPY_FAILED: src or target, whichever the failing call was on
    std::string why;      // with COPY_FAILED: the system's text for the error
};

// Copies the file src into the folder dir under its base name. A file of that name with the
// same bytes is left alone; one with other bytes is replaced only with fForce. The copy is
// written under a temporary name in dir and renamed over the target when complete, so the
// target is never seen half-written; the temporary is removed on every failure.
COPY_RESULT copy_file_into(const std::string& src, const std::string& dir, bool fForce);

}  // namespace talvek
