// The fuzz harness: folder, prefix, and a check that survives the tool's exits.
#include "fuzz/fuzz_support.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

#include "common/types.h"
#include "driver/driver.h"

namespace {

struct EXIT_REQUEST {
    int rc;
};

[[noreturn]] void exit_by_throw(int rc) { throw EXIT_REQUEST{rc}; }

}  // namespace

std::string fuzz_prepare_folder(char format) {
    char tmpl[] = "/tmp/talvek-fuzz-XXXXXX";
    if (!mkdtemp(tmpl)) abort();
    std::string dir = tmpl;
    for (const FUZZ_FILE& f : fuzz_dll_folder(format))
        if (!fuzz_write(dir + "/" + f.name, f.bytes)) abort();
    if (chdir(dir.c_str()) != 0) abort();
    // The folder is the system folder too, so its apisetschema.dll is read and no Wine
    // installed on the machine takes part.
    setenv("WINEPATH", dir.c_str(), 1);
    talvek::tool_exit_hook = exit_by_throw;
    return dir;
}

BYTES fuzz_module_prefix(char format) {
    DOS_DESC d;
    BYTES b = write_dos(d);
    switch (format) {
        case 'L': add_str(b, "LX"); break;
        case 'N': add_str(b, "NE"); break;
        default: add_str(b, std::string("PE\0\0", 4)); break;
    }
    return b;
}

bool fuzz_write(const std::string& path, const BYTES& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

void fuzz_run_check(const char* filespec, uint8_t opts) {
    using namespace talvek;
    reset_run_state();
    recurse = opts & 1;
    LoadVerbose = (opts >> 1) & 1;
    silent_recurse = (opts >> 2) & 1;
    segments = (opts >> 3) & 1;
    delay_load = segments;   // -s concerns NE modules only, -d PE modules only
    ordinals = (opts >> 4) & 1;
    relocation = (opts >> 5) & 1;
    reloc_chain = (opts >> 6) & 1;
    imports = (opts >> 7) & 1;
    list_files = recurse;
    try {
        proc_file(filespec, FALSE);
    } catch (const EXIT_REQUEST&) {
        level = 0;
    }
    reset_run_state();
}
