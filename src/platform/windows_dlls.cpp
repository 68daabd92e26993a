// Look-ups in the compiled DLL lists of Windows installations, and the Visual C++ runtime
// names.
#include "platform/windows_dlls.h"

#include <cstdio>

#include "common/pe_format.h"
#include "common/text.h"

namespace talvek {

namespace {

// The name as the lists hold it: lower case, completed as the loader completes an import
// name. Path separators are kept, so a name with a folder part matches no list entry.
std::string list_key(std::string_view name) {
    std::string key = ascii_lower(name);
    if (!key.empty() && key.back() == '.')
        key.pop_back();
    else if (key.find('.') == std::string::npos)
        key += ".dll";
    return key;
}

bool has_prefix(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// The data folder of each version's x64 installation; the ARM64 one adds "-arm64".
const char* const VersionFolders[] = {"7sp1", "8", "8.1", "10", "11"};
const char* const VersionNames[] = {"Windows 7 SP1", "Windows 8", "Windows 8.1", "Windows 10", "Windows 11"};

// The path in the data folder of the list for version and machine; "" when there is none.
std::string list_for(WINDOWS_VERSION version, uint16_t machine) {
    std::string folder = VersionFolders[version];
    switch (machine) {
    case PE_MACHINE_AMD64:
        return folder + "/System32.txt";
    case PE_MACHINE_I386:
        return folder + "/SysWOW64.txt";
    case PE_MACHINE_ARM64:
        return version >= WINDOWS_10 ? folder + "-arm64/System32-arm64.txt" : std::string();
    default:
        return std::string();
    }
}

}  // namespace

int32_t windows_dll_list_index(const WINDOWS_DLL_TABLE& table, std::string_view list_name) {
    for (uint32_t k = 0; k < table.cLists; k++)
        if (list_name == table.ppListNames[k]) return int32_t(k);
    return -1;
}

uint32_t windows_dll_lists_of(const WINDOWS_DLL_TABLE& table, std::string_view name) {
    const std::string key = list_key(name);
    auto name_at = [&](uint32_t i) {
        return std::string_view(table.pText + table.pStarts[i], table.pStarts[i + 1] - table.pStarts[i]);
    };
    // The first name not below key.
    uint32_t lo = 0, hi = table.cNames;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (name_at(mid) < key)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo < table.cNames && name_at(lo) == key ? table.pLists[lo] : 0;
}

bool parse_windows_version(std::string_view text, WINDOWS_VERSION* version) {
    const struct {
        const char* text;
        WINDOWS_VERSION version;
    } versions[] = {{"7", WINDOWS_7_SP1}, {"8", WINDOWS_8}, {"8.1", WINDOWS_8_1}, {"10", WINDOWS_10}, {"11", WINDOWS_11}};
    for (const auto& v : versions) {
        if (text == v.text) {
            *version = v.version;
            return true;
        }
    }
    return false;
}

std::string windows_display_name(WINDOWS_VERSION version, uint16_t machine) {
    // An x86 module runs in the 32-bit layer of the x64 installation.
    std::string m = machine == PE_MACHINE_I386 ? "x86 on x64" : machine_name(machine);
    return std::string(VersionNames[version]) + " (" + m + ")";
}

bool windows_has_dll_list(WINDOWS_VERSION version, uint16_t machine) {
    return windows_dll_list_index(WindowsDllTable, list_for(version, machine)) >= 0;
}

bool is_windows_dll(WINDOWS_VERSION version, uint16_t machine, std::string_view name) {
    int32_t k = windows_dll_list_index(WindowsDllTable, list_for(version, machine));
    return k >= 0 && (windows_dll_lists_of(WindowsDllTable, name) >> k & 1) != 0;
}

bool is_api_set_name(std::string_view name) {
    std::string key = ascii_lower(name.substr(0, 4));
    return key == "api-" || key == "ext-";
}

bool is_part_of_windows(WINDOWS_VERSION version, uint16_t machine, std::string_view name) {
    if (is_api_set_name(name) && version >= WINDOWS_10) return windows_has_dll_list(version, machine);
    return is_windows_dll(version, machine, name);
}

// Whether stem ends in a number from lo to hi after prefix ("xaudio2_" "7").
static bool numbered(std::string_view stem, std::string_view prefix, int lo, int hi) {
    if (!has_prefix(stem, prefix) || stem.size() == prefix.size() || stem.size() > prefix.size() + 2) return false;
    int n = 0;
    for (char c : stem.substr(prefix.size())) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
    }
    return n >= lo && n <= hi;
}

DLL_SOURCE dll_source(WINDOWS_VERSION version, std::string_view name) {
    if (is_vc_runtime_dll(name)) return SOURCE_VC_REDIST;
    const std::string key = list_key(name);
    std::string_view stem(key);
    if (stem.size() > 4 && stem.substr(stem.size() - 4) == ".dll") stem.remove_suffix(4);
    if (version < WINDOWS_10 && (stem == "ucrtbase" || has_prefix(stem, "api-ms-win-crt-"))) return SOURCE_UCRT;
    if (has_prefix(stem, "d3dx9_") || has_prefix(stem, "d3dx10_") || has_prefix(stem, "d3dx11_") ||
        has_prefix(stem, "x3daudio") || has_prefix(stem, "xapofx") || numbered(stem, "xinput1_", 1, 3) ||
        numbered(stem, "xaudio2_", 0, 7) || numbered(stem, "d3dcompiler_", 33, 43))
        return SOURCE_DIRECTX;
    return SOURCE_NONE;
}

std::string machine_name(uint16_t machine) {
    switch (machine) {
    case PE_MACHINE_AMD64:
        return "x64";
    case PE_MACHINE_I386:
        return "x86";
    case PE_MACHINE_ARM64:
        return "ARM64";
    default:
        char number[32];
        snprintf(number, sizeof number, "machine 0x%04X", unsigned(machine));
        return number;
    }
}

bool is_vc_runtime_dll(std::string_view name) {
    const std::string key = list_key(name);
    std::string_view stem(key);
    if (stem.size() < 4 || stem.substr(stem.size() - 4) != ".dll") return false;
    stem.remove_suffix(4);
    return has_prefix(stem, "msvcp140") || has_prefix(stem, "vcruntime140") || has_prefix(stem, "mfc140") ||
           stem == "concrt140" || stem == "vccorlib140" || stem == "vcomp140";
}

}  // namespace talvek
