// Speed of the NE processor on a large module: 65,535 relocation records in each segment,
// 50,000 distinct imported entries, the whole run of the tool with its output discarded.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>

#include "support/ne_writer.h"
#include "support/tool_runner.h"

namespace {

constexpr int kRecordsPerSegment = 65535;
constexpr int kDistinctEntries = 50000;
constexpr int kModules = 4;

// Entry e comes from module 1 + e % 4; every fifth entry is imported by name (10,000
// names), the others by ordinal e.
BYTES big_module(int cSegs) {
    NE_DESC d;
    d.align = 10;   // 1 KiB sectors: 100 segments of 512 KiB stay within 16-bit sector numbers
    for (int m = 0; m < kModules; m++) d.modrefs.push_back(d.names.add("MOD" + std::string(1, char('A' + m))));
    std::vector<uint16_t> name_ofs;
    for (int i = 0; i < kDistinctEntries / 5; i++) {
        char name[8];
        snprintf(name, sizeof name, "N%04d", i);
        name_ofs.push_back(d.names.add(name));
    }
    for (int s = 0; s < cSegs; s++) {
        NE_SEG seg;
        seg.seg_size = 16;
        seg.relocs.reserve(kRecordsPerSegment);
        for (int r = 0; r < kRecordsPerSegment; r++) {
            int e = int((int64_t(s) * kRecordsPerSegment + r) % kDistinctEntries);
            uint16_t mod = uint16_t(1 + e % kModules);
            seg.relocs.push_back(e % 5 == 0 ? ne_by_name(mod, name_ofs[size_t(e / 5)]) : ne_ordinal(mod, uint16_t(e)));
        }
        d.segs.push_back(std::move(seg));
    }
    return write_ne(d);
}

// The directory of the module files, removed with everything in it when the run ends.
struct BENCH_DIR {
    std::string path = make_temp_dir();
    ~BENCH_DIR() { remove_tree(path); }
};

// The module file for a segment count, written once per process.
const std::string& module_path(int cSegs) {
    static BENCH_DIR bench_dir;
    const std::string& dir = bench_dir.path;
    static std::map<int, std::string> paths;
    auto it = paths.find(cSegs);
    if (it != paths.end()) return it->second;
    std::string name = "big" + std::to_string(cSegs) + ".exe";
    write_files(dir, {{name, big_module(cSegs)}});
    return paths[cSegs] = dir + "/" + name;
}

// Runs the tool on path with standard output to /dev/null; its exit code.
int run_quiet(const std::string& path) {
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open("/dev/null", O_WRONLY);
        dup2(fd, 1);
        execl(TALVEK_EXE, TALVEK_EXE, path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

void BM_NeRelocationScan(benchmark::State& state) {
    const std::string& path = module_path(int(state.range(0)));
    for (auto _ : state) {
        if (run_quiet(path) != 0) {
            state.SkipWithError("the tool did not end with code 0");
            break;
        }
    }
    state.counters["records"] = double(state.range(0)) * kRecordsPerSegment;
}

BENCHMARK(BM_NeRelocationScan)->Arg(100)->Arg(50)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace
