// Fuzz target: the whole check of one module file of one format, with recursion into a
// small fixed folder of DLLs. Built once per format (FUZZ_FORMAT 'L', 'N' or 'P').
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz/fuzz_support.h"

#ifndef FUZZ_FORMAT
#error "FUZZ_FORMAT selects the format: 'L', 'N' or 'P'"
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string dir = fuzz_prepare_folder(FUZZ_FORMAT);
    // The first byte chooses the options; the rest follows the DOS header and signature.
    uint8_t opts = size ? data[0] : 0;
    BYTES file = fuzz_module_prefix(FUZZ_FORMAT);
    if (size > 1) file.insert(file.end(), data + 1, data + size);
    if (!fuzz_write(dir + "/fuzz.exe", file)) return 0;
    fuzz_run_check("fuzz.exe", opts);
    return 0;
}
