// What a run remembers of the file system while it checks, as no file changes then: folder
// listings, the mappings of files, and how often the file system was asked.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>

#if !defined(_WIN32)
#include <sys/types.h>
#endif

#include "platform/file_bytes.h"

namespace talvek {

// A folder's listing for the case-insensitive match: each lower-cased name maps to the
// first entry, in listing order, that lowers to it.
typedef std::unordered_map<std::string, std::string> DIR_LISTING;

// What is known of a folder. A search for a missing DLL goes through every folder of the
// search path once per imported name; without this a file naming thousands of different
// missing DLLs asks every folder thousands of times. Until a name is missed in a folder, its
// exact names are asked of the file system, and the first miss scans the folder, as most runs
// find their DLLs at once or look in a folder for one missing name. The second miss keeps the
// whole listing, and from then on every look-up in the folder, by exact name or ignoring case,
// is answered from it: the questions to the file system grow with the folders, not with the
// names. (A file system that also folds letters beyond ASCII, or knows short names, may match
// a name that no listed entry matches byte for byte or in ASCII case; a listing does not find
// it.)
struct DIR_MEMO {
    uint32_t cMisses = 0;
    bool fListed = false;
    DIR_LISTING listing;
};

// What find_dir_entry has asked of the file system: folders read (whole or in part) and
// entries looked up by their exact name.
struct DIR_LOOKUP_COUNTS {
    uint64_t cFolderReads = 0;
    uint64_t cNameLookups = 0;
};

struct FS_MEMORY {
    // Whether listings, mappings and the loader's facts about files are kept; off, every
    // question goes to the file system, as for a caller that writes files between checks.
    bool fOn = false;
    std::unordered_map<std::string, DIR_MEMO> listings;
#if !defined(_WIN32)
    // The mappings of files by device and inode: the report of a module and the loader that
    // loads it read the same file.
    std::map<std::pair<dev_t, ino_t>, FILE_BYTES> mapped;
#endif
    DIR_LOOKUP_COUNTS counts;

    // Drops what is kept, as after files were written.
    void forget() {
        listings.clear();
#if !defined(_WIN32)
        mapped.clear();
#endif
    }
};

}  // namespace talvek
