// The file that recursion checks for a module name imported by an LX or NE module.
#pragma once

#include <string>
#include <string_view>

namespace talvek {

// The file name (filespec) for an imported module name: the name with ".DLL" appended when
// it holds no '.', searched in the importing module's directory, then the named module's
// directory, then the current directory (exact name first, else ignoring ASCII case).
// Found: its absolute, normalised path with the entry's real name. Not found: the bare
// file name, which the registry then reports as not openable.
std::string dll_file_for(std::string_view module_name, const char* importer_filespec);

}  // namespace talvek
