// Writes the seed corpora of the fuzz targets: one folder per format, each seed the option
// byte and then a valid module less the DOS header and signature that the target prefixes.
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "fuzz/fuzz_support.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: fuzz_seeds OUTDIR\n");
        return 2;
    }
    std::string out = argv[1];
    mkdir(out.c_str(), 0755);
    const struct {
        char format;
        const char* folder;
    } formats[] = {{'L', "lx"}, {'N', "ne"}, {'P', "pe"}, {'D', "loader"}, {'A', "apiset"}};
    for (const auto& f : formats) {
        std::string dir = out + "/" + f.folder;
        mkdir(dir.c_str(), 0755);
        size_t cut = fuzz_module_prefix(f.format).size();
        for (const FUZZ_FILE& seed : fuzz_seeds(f.format)) {
            // The schema target's seeds are whole inputs already.
            if (f.format == 'A') {
                if (!fuzz_write(dir + "/" + seed.name, seed.bytes)) return 1;
                continue;
            }
            if (seed.bytes.size() < cut) continue;
            // Each seed twice: without options, and with every option bit set.
            for (uint8_t opts : {uint8_t(0), uint8_t(0xFF)}) {
                // The byte before the cut is replaced by the option byte.
                BYTES b(seed.bytes.begin() + long(cut) - 1, seed.bytes.end());
                b[0] = opts;
                std::string name = dir + "/" + seed.name + (opts ? "_all_options" : "");
                if (!fuzz_write(name, b)) return 1;
            }
        }
    }
    return 0;
}
