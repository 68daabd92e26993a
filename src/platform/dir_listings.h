// Folder listings: a directory entry by name, exactly or ignoring letter case, and the files
// below a folder.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace talvek {

struct FS_MEMORY;   // platform/fs_memory.h

// Looks for name in dir ("" is the current directory): an entry of exactly that name
// wins, else the first entry, in the order the directory lists them, whose name matches
// ignoring ASCII letter case. Any entry type matches. A name holding a path separator
// or a NUL matches nothing. On success *real_name is the entry's own name. While mem
// remembers (mem may be null), a folder's listing is read once, when a second name is missed
// in it, and every later look-up in that folder is answered from it.
bool find_dir_entry(FS_MEMORY* mem, const std::string& dir, std::string_view name, std::string* real_name);

// Adds to *files every regular file in the folder dir and in its subfolders, as dir joined
// with the path below it (a symbolic link to a regular file counts as one; a symbolic link to
// a folder is not entered), in no particular order.
void files_below(const std::string& dir, std::vector<std::string>* files);

}  // namespace talvek
