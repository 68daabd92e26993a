// The fuzz harness: folder, prefix, and a check that survives the tool's exits.
#include "fuzz/fuzz_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

#include "talvek.h"

namespace {

// The folder's files are flat; it goes when the process ends, as it may take memory.
std::string FuzzDir;
void remove_fuzz_folder() {
    if (DIR* d = opendir(FuzzDir.c_str())) {
        while (dirent* e = readdir(d)) unlink((FuzzDir + "/" + e->d_name).c_str());
        closedir(d);
    }
    rmdir(FuzzDir.c_str());
}

}  // namespace

std::string fuzz_prepare_folder(char format) {
    // In memory where the system has such a folder: every input rewrites a file there, which
    // on a disk file system costs more than checking it.
    char shm[] = "/dev/shm/talvek-fuzz-XXXXXX";
    char tmp[] = "/tmp/talvek-fuzz-XXXXXX";
    char* tmpl = access("/dev/shm", W_OK) == 0 ? shm : tmp;
    if (!mkdtemp(tmpl)) abort();
    std::string dir = tmpl;
    for (const FUZZ_FILE& f : fuzz_dll_folder(format))
        if (!fuzz_write(dir + "/" + f.name, f.bytes)) abort();
    if (chdir(dir.c_str()) != 0) abort();
    // The folder is the system folder too, so its apisetschema.dll is read and no Wine
    // installed on the machine takes part. PATH names two absent folders, never the system's:
    // their listings would cost more than an input. Each input is one run, so folders are
    // listed once per input.
    setenv("PATH", (dir + "/path1:" + dir + "/path2").c_str(), 1);
    setenv("WINEPATH", dir.c_str(), 1);
    FuzzDir = dir;
    atexit(remove_fuzz_folder);
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
    OPTIONS opt;
    opt.recurse = opts & 1;
    opt.LoadVerbose = (opts >> 1) & 1;
    opt.silent_recurse = (opts >> 2) & 1;
    opt.segments = (opts >> 3) & 1;
    opt.delay_load = opt.segments;   // -s concerns NE modules only, -d PE modules only
    opt.ordinals = (opts >> 4) & 1;
    opt.relocation = (opts >> 5) & 1;
    opt.reloc_chain = (opts >> 6) & 1;
    opt.imports = (opts >> 7) & 1;
    opt.list_files = opt.recurse;
    std::unique_ptr<REPORT_SINK> text = make_text_report(opt);
    RUN_PTR run = make_run(opt, text.get());
    check_named(run.get(), {filespec});
}
