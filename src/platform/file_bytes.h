// The bytes of a whole file: mapped read-only where the system maps files, else read into
// memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "common/bytes.h"

namespace talvek {

struct FS_MEMORY;   // platform/fs_memory.h

// The bytes of a file. The record owns them and may hand them on, unless they are the run's
// (fOwned false: while the run remembers files, a file is mapped once, and every map of it
// gives that one mapping, kept for the run).
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

// The bytes of the file open as f (an empty file gives none), through the run's memory of
// mapped files when mem remembers (mem may be null). False when it cannot be sized, mapped
// or read.
bool map_open_file(FS_MEMORY* mem, FILE* f, FILE_BYTES* fb);

// The bytes of the regular file at path, opened without blocking, so that a FIFO or device
// cannot stall the run. False when it cannot be opened or read, or is no regular file.
bool map_file(FS_MEMORY* mem, const std::string& path, FILE_BYTES* fb);

}  // namespace talvek
