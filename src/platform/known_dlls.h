// The known DLLs of Windows: names the loader takes only from the system folder.
#pragma once

#include <string_view>

namespace talvek {

// Whether name, a DLL file name in lower case, is one of the known DLLs of Windows 10 and 11.
bool is_known_dll(std::string_view name);

}  // namespace talvek
