// The known DLLs of Windows 10 and 11, compiled in: the tool reads no list at run time.
#include "platform/known_dlls.h"

#include <algorithm>
#include <cstddef>
#include <iterator>

namespace talvek {

// The names under the registry key
// HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs of a vanilla Windows 10 or
// 11 installation (x64), in lower case and sorted. A machine's administrator can change the
// key; the list has changed little since Windows 7.
constexpr std::string_view KnownDlls[] = {
    "advapi32.dll", "clbcatq.dll", "combase.dll", "comdlg32.dll", "coml2.dll", "difxapi.dll",
    "gdi32.dll", "gdiplus.dll", "imagehlp.dll", "imm32.dll", "kernel32.dll", "msctf.dll",
    "msvcrt.dll", "normaliz.dll", "nsi.dll", "ole32.dll", "oleaut32.dll", "psapi.dll",
    "rpcrt4.dll", "sechost.dll", "setupapi.dll", "shcore.dll", "shell32.dll", "shlwapi.dll",
    "user32.dll", "wldap32.dll", "wow64.dll", "wow64cpu.dll", "wow64win.dll", "ws2_32.dll",
};

static constexpr bool ascending() {
    for (size_t i = 1; i < std::size(KnownDlls); i++)
        if (!(KnownDlls[i - 1] < KnownDlls[i])) return false;
    return true;
}
static_assert(ascending(), "the names are searched by halving");

bool is_known_dll(std::string_view name) {
    return std::binary_search(std::begin(KnownDlls), std::end(KnownDlls), name);
}

}  // namespace talvek
