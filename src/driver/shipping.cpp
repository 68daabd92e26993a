// The DLLs a program must bring, from the run record: the list of --ship, the copies of --deploy.
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "driver/messages.h"
#include "driver/run.h"
#include "platform/file_copy.h"
#include "platform/fs.h"

namespace talvek {

void print_ship_list(const RUN* run, FILE* out) {
    for (const std::string& file : run->record.ship) fprintf(out, "%s\n", file.c_str());
}

// The files --deploy copies: with --ship=all, which gathers a whole program, the modules named
// first; then the DLLs to ship, each file once.
static std::vector<std::string> files_to_deploy(const RUN* run) {
    std::vector<std::string> files;
    std::set<std::string> seen;
    auto add = [&](const std::string& file) {
        if (seen.insert(normal_path(file)).second) files.push_back(file);
    };
    if (run->opt.ship_all)
        for (const RUN_MODULE& m : run->record.modules)
            if (m.iParent < 0 && m.format) add(m.filespec);
    for (const std::string& file : run->record.ship) add(file);
    return files;
}

int32_t deploy_ship_list(const RUN* run, const std::string& dir, bool fForce) {
    int32_t rc = RC_OK;
    for (const std::string& src : files_to_deploy(run)) {
        COPY_RESULT r = copy_file_into(src, dir, fForce);
        const char* target = r.target.c_str();
        switch (r.outcome) {
            case COPY_NEW: fprintf(stdout, Msg_Copied, src.c_str(), target); break;
            case COPY_REPLACED: fprintf(stdout, Msg_Replaced, target, src.c_str()); break;
            case COPY_IDENTICAL: fprintf(stdout, Msg_Identical, target, src.c_str()); break;
            case COPY_REFUSED:
                fflush(stdout);
                fprintf(stderr, Err_NotReplaced, target, src.c_str());
                rc = RC_NOT_DEPLOYED;
                break;
            case COPY_FAILED:
                fflush(stdout);
                fprintf(stderr, Err_CopyFailed, src.c_str(), target, r.failed.c_str(), r.why.c_str());
                rc = RC_NOT_DEPLOYED;
                break;
        }
    }
    return rc;
}

}  // namespace talvek
