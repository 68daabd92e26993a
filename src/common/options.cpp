// The option flags of the run.
#include "common/options.h"

namespace talvek {

BOOL recurse = FALSE;
BOOL list_files = FALSE;
BOOL silent_recurse = FALSE;
BOOL LoadVerbose = FALSE;
BOOL delay_load = FALSE;
BOOL wait_for_key = FALSE;
BOOL reloc_chain = FALSE;
BOOL imports = FALSE;
BOOL ordinals = FALSE;
BOOL relocation = FALSE;
BOOL segments = FALSE;
BOOL exit_missing = FALSE;
BOOL json_report = FALSE;
BOOL graph_report = FALSE;
BOOL check_failed_dlls = FALSE;
BOOL several_modules = FALSE;
int32_t windows_version = -1;
BOOL ship_list = FALSE;
BOOL ship_all = FALSE;
const char* deploy_dir = nullptr;
BOOL deploy_force = FALSE;

void reset_options() {
    recurse = list_files = silent_recurse = LoadVerbose = delay_load = wait_for_key = FALSE;
    reloc_chain = imports = ordinals = relocation = segments = FALSE;
    exit_missing = json_report = graph_report = check_failed_dlls = several_modules = FALSE;
    windows_version = -1;
    ship_list = ship_all = deploy_force = FALSE;
    deploy_dir = nullptr;
}

}  // namespace talvek
