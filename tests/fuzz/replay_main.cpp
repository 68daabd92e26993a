// Replays fuzz inputs without the fuzzing engine: every file named, or found in a folder
// named, on the command line goes through the target once.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// Paths are made absolute first: the target moves into its own folder on its first input.
static std::string absolute(const char* path) {
    char* real = realpath(path, nullptr);
    std::string s = real ? real : path;
    free(real);
    return s;
}

static bool replay_file(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    std::vector<uint8_t> bytes;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    fclose(f);
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

int main(int argc, char** argv) {
    int count = 0;
    std::vector<std::string> args;
    for (int i = 1; i < argc; i++) args.push_back(absolute(argv[i]));
    for (const std::string& arg : args) {
        struct stat st;
        if (stat(arg.c_str(), &st) != 0) {
            fprintf(stderr, "replay: cannot read %s\n", arg.c_str());
            return 2;
        }
        if (!S_ISDIR(st.st_mode)) {
            count += replay_file(arg);
            continue;
        }
        DIR* d = opendir(arg.c_str());
        if (!d) return 2;
        std::vector<std::string> names;
        while (struct dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(arg + "/" + e->d_name);
        closedir(d);
        for (const std::string& name : names) count += replay_file(name);
    }
    fprintf(stderr, "%d inputs replayed\n", count);
    return count > 0 ? 0 : 1;
}
