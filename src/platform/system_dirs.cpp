// Finding Wine's DLL folder for a machine among the usual installation prefixes.
#include "platform/system_dirs.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "common/pe_format.h"
#include "platform/dir_listings.h"

namespace talvek {

namespace {

// A folder counts as Wine's when it holds kernel32.dll as a file: Debian leaves near-empty
// folders of the other architecture beside the real ones.
bool holds_kernel32(const std::string& dir) {
    std::string real;
    struct stat st;
    return find_dir_entry(nullptr, dir, "kernel32.dll", &real) && stat((dir + "/" + real).c_str(), &st) == 0 &&
           S_ISREG(st.st_mode);
}

// The entries of root/opt whose names start with "wine", sorted by name.
std::vector<std::string> opt_wine_prefixes(const std::string& root) {
    std::vector<std::string> names;
    if (DIR* d = opendir((root + "/opt").c_str())) {
        while (struct dirent* e = readdir(d))
            if (std::string_view(e->d_name).substr(0, 4) == "wine") names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    for (std::string& n : names) n = "/opt/" + n;
    return names;
}

}  // namespace

std::string find_wine_dll_folder(uint16_t machine, const std::string& root) {
    const char* arch = nullptr;
    const char* multiarch = nullptr;
    switch (machine) {
        case PE_MACHINE_I386: arch = "i386"; multiarch = "i386-linux-gnu"; break;
        case PE_MACHINE_AMD64: arch = "x86_64"; multiarch = "x86_64-linux-gnu"; break;
        case PE_MACHINE_ARM64: arch = "aarch64"; multiarch = "aarch64-linux-gnu"; break;
        default: return "";
    }
    std::vector<std::string> prefixes = {"/usr", "/usr/local"};
    for (std::string& p : opt_wine_prefixes(root)) prefixes.push_back(std::move(p));
    const std::string tail = std::string("/wine/") + arch + "-windows";
    for (const std::string& prefix : prefixes) {
        for (const std::string& dir : {root + prefix + "/lib" + tail, root + prefix + "/lib/" + multiarch + tail})
            if (holds_kernel32(dir)) return dir;
    }
    return "";
}

std::string default_system_folder(uint16_t machine, const std::string& root) {
    if (getenv("WINEPATH")) return "";
    return find_wine_dll_folder(machine, root);
}

}  // namespace talvek
