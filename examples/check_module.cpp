// examples/check_module.cpp: a build step's check of what it just linked, through libtalvek.
#include <cstdio>

#include "talvek.h"

int main(int argc, char** argv) {
    if (argc != 2) return 1;
    talvek::OPTIONS opt;
    opt.recurse = true;        // every DLL it needs, as -!
    opt.exit_missing = true;   // and a record of what is missing, as -e
    talvek::RUN_PTR run = talvek::make_run(opt, nullptr);
    talvek::CHECK_RESULT r = talvek::check(run.get(), argv[1]);
    size_t cMissing = talvek::missing_count(run.get());
    printf("%s: result %d, %zu missing\n", argv[1], int(r.rc), cMissing);
    talvek::print_missing_summary(run.get(), stdout);
    return r.rc != 0 ? int(r.rc) : cMissing ? 10 : 0;
}
