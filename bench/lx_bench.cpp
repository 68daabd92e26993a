// Time the tool takes for LX modules with many fixup records, its output going to /dev/null.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "support/lx_writer.h"
#include "support/tool_runner.h"

namespace {

constexpr int kDlls = 10;

// A module whose cRecords fixup records import cEntries distinct entries from 10 DLLs,
// half by ordinal and half by name. The first cEntries records meet every entry once, in
// scattered order; the rest repeat them.
BYTES bench_module(int64_t cRecords, int64_t cEntries) {
    LX_DESC d;
    for (int i = 0; i < kDlls; i++) d.modules.push_back("BENCH" + std::to_string(i));
    int64_t cNames = (cEntries / kDlls + 1) / 2;
    std::vector<uint32_t> name_ofs;
    uint32_t ofs = 0;
    for (int64_t i = 0; i < cNames; i++) {
        d.procs.push_back("Proc" + std::to_string(i));
        name_ofs.push_back(ofs);
        ofs += 1 + uint32_t(d.procs.back().size());
    }
    d.raw_records.reserve(size_t(cRecords) * 8);
    for (int64_t r = 0; r < cRecords; r++) {
        int64_t e = (r * 7919) % cEntries;   // 7919 is prime to the entry counts used
        uint16_t mod = uint16_t(1 + e % kDlls);
        int64_t k = e / kDlls;
        LX_FIXUP_REC rec = (k % 2 == 0) ? lx_import_ordinal(mod, uint32_t(k / 2 + 1))
                                        : lx_import_name(mod, name_ofs[size_t(k / 2)]);
        if (rec.second > 0xFFFF) rec.flags |= 0x10;
        add_bytes(d.raw_records, lx_record(rec));
    }
    return write_lx(d);
}

// Runs the built tool on path with standard output to /dev/null; its exit status.
int run_tool_quietly(const std::string& path) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    std::string exe = TALVEK_EXE;
    char* argv[] = {exe.data(), const_cast<char*>(path.c_str()), nullptr};
    pid_t pid = 0;
    int status = -1;
    if (posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv, environ) == 0) waitpid(pid, &status, 0);
    posix_spawn_file_actions_destroy(&fa);
    return status;
}

void BM_LxFixupRecords(benchmark::State& state) {
    std::string dir = make_temp_dir();
    write_files(dir, {{"app.exe", bench_module(state.range(0), state.range(1))}});
    std::string path = dir + "/app.exe";
    for (auto _ : state) {
        if (run_tool_quietly(path) != 0) state.SkipWithError("the tool did not end with exit code 0");
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    remove_tree(dir);
}

}  // namespace

BENCHMARK(BM_LxFixupRecords)
    ->ArgNames({"records", "entries"})
    ->Args({1000000, 100000})
    ->Args({10000000, 100000})
    ->Args({10000000, 1000000})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
