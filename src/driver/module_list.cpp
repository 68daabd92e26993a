// The modules named with -m: each name a module file or a folder of them, checked in turn in
// one run that keeps what it learnt of the files.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "driver/run_record.h"
#include "platform/fs.h"

namespace talvek {

// Whether the regular file at path starts with "MZ", as every module does.
static bool starts_like_a_module(const std::string& path) {
    FILE_PTR f(open_for_reading(path.c_str()));
    char mz[2];
    return f && fread(mz, 1, sizeof mz, f.get()) == sizeof mz && mz[0] == 'M' && mz[1] == 'Z';
}

std::vector<std::string> named_module_files(const std::vector<PSZ>& names) {
    std::vector<std::string> files;
    for (PSZ name : names) {
        if (!is_folder(name)) {
            files.push_back(name);
            continue;
        }
        std::vector<std::string> below;
        files_below(name, &below);
        std::sort(below.begin(), below.end());
        for (std::string& path : below)
            if (starts_like_a_module(path)) files.push_back(std::move(path));
    }
    return files;
}

int32_t check_named_modules(const std::vector<std::string>& files) {
    RunRecord.fSeveralNamed = files.size() > 1;
    int32_t worst = RC_OK;
    for (size_t i = 0; i < files.size(); i++) {
        report_simple(RPT_NAMED, files[i], int32_t(i));
        worst = std::max(worst, check_named_module(files[i].c_str()));
    }
    return worst;
}

}  // namespace talvek
