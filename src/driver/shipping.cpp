// The DLLs a program must bring, from the run record: the list of --ship, the copies of --deploy.
#include <cstdio>
#include <string>

#include "driver/messages.h"
#include "driver/run.h"
#include "platform/file_copy.h"

namespace talvek {

void print_ship_list(const RUN* run, FILE* out) {
    for (const std::string& file : run->record.ship) fprintf(out, "%s\n", file.c_str());
}

int32_t deploy_ship_list(const RUN* run, const std::string& dir, bool fForce) {
    int32_t rc = RC_OK;
    for (const std::string& src : run->record.ship) {
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
