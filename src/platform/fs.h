// File-system look-ups shared by the DLL search rules: directory entries by name, and
// the one path text a file is known by.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.h"

namespace talvek {

// Looks for name in dir ("" is the current directory): an entry of exactly that name
// wins, else the first entry, in the order the directory lists them, whose name matches
// ignoring ASCII letter case. Any entry type matches. A name holding a path separator
// or a NUL matches nothing. On success *real_name is the entry's own name.
bool find_dir_entry(const std::string& dir, std::string_view name, std::string* real_name);

// With fOn, find_dir_entry reads a folder's listing once, when a second name is missed in
// it, keeps it until forget_dir_listings and answers every later look-up in that folder
// from it; valid while no file is written, as within one run of the tool. Either call drops
// what is kept. remembering_dir_listings tells whether it is on, and so whether other facts
// about files may be kept for the run too.
void remember_dir_listings(bool fOn);
void forget_dir_listings();
bool remembering_dir_listings();

// What find_dir_entry has asked of the file system so far: folders read (whole or in part)
// and entries looked up by their exact name. Only tests read it.
struct DIR_LOOKUP_COUNTS {
    uint64_t cFolderReads;
    uint64_t cNameLookups;
};
extern DIR_LOOKUP_COUNTS dir_lookup_counts;

// The absolute, lexically normalised form of path: no "." or ".." components, no doubled
// separators. Symbolic links are not resolved.
std::string normal_path(const std::string& path);

// The directory part of a file path ("" when it has none); with the trailing separator.
std::string dir_part(std::string_view path);

// The file name part of a path: what follows its last separator.
std::string_view base_name(std::string_view path);

// Whether path is a folder (a symbolic link to one counts).
bool is_folder(const std::string& path);

// Adds to *files every regular file in the folder dir and in its subfolders, as dir joined
// with the path below it (a symbolic link to a regular file counts as one; a symbolic link to
// a folder is not entered), in no particular order.
void files_below(const std::string& dir, std::vector<std::string>* files);

// Opens the file at path for binary reading without waiting on it: opening a FIFO that no
// one writes to, or a device, returns at once. Null when it cannot be opened.
FILE* open_for_reading(const char* path);

// Whether the stream is a regular file (a symbolic link counts as what it points to).
bool is_regular_file(FILE* f);

// The bytes of a whole file: mapped read-only where the system maps files, else read into
// memory. The record owns them and may hand them on, unless they are the run's (fOwned
// false: while listings are remembered a file is mapped once a run, and every map of it
// gives that one mapping, kept until the listings are forgotten).
struct FILE_BYTES {
    const uint8_t* p = nullptr;
    size_t len = 0;
    bool fMapped = false;
    bool fOwned = true;

    FILE_BYTES() = default;
    FILE_BYTES(FILE_BYTES&& o) noexcept;
    FILE_BYTES& operator=(FILE_BYTES&& o) noexcept;
    FILE_BYTES(const FILE_BYTES&) = delete;
    FILE_BYTES& operator=(const FILE_BYTES&) = delete;
    ~FILE_BYTES() { release(); }
    void release();
    BYTE_SPAN span() const { return BYTE_SPAN{p, len}; }
};

// The bytes of the file open as f (an empty file gives none). False when it cannot be sized,
// mapped or read.
bool map_open_file(FILE* f, FILE_BYTES* fb);

// The bytes of the regular file at path, opened without blocking, so that a FIFO or device
// cannot stall the run. False when it cannot be opened or read, or is no regular file.
bool map_file(const std::string& path, FILE_BYTES* fb);

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
