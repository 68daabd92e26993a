// The PE load test over a folder of DLLs: how a -l run grows with the number of DLLs, for
// 32-bit and 64-bit modules of the same shape.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "support/pe_writer.h"
#include "support/tool_runner.h"

namespace {

constexpr int kExports = 40;       // each DLL exports e0 .. e39
constexpr int kDeps = 5;           // and imports all of them from the next five: 200 entries
constexpr int kAppImports = 20;    // the application imports from the first twenty

std::string dll_name(int i) { return "m" + std::to_string(i) + ".dll"; }

// n DLLs, each importing 200 entries from 5 others, and app.exe importing from 20 of them;
// all PE32+ when fWide.
std::vector<TOOL_FILE> dll_folder(int n, bool fWide) {
    auto width = [&](const PE_DESC& d) { return fWide ? pe_wide(d) : d; };
    std::vector<TOOL_FILE> files;
    for (int i = 0; i < n; i++) {
        PE_DESC d;
        for (int e = 0; e < kExports; e++) d.exports.push_back(PE_EXPORT{uint32_t(e + 1), "e" + std::to_string(e), "", 0});
        for (int k = 1; k <= kDeps; k++) {
            PE_IMPORT imp{dll_name((i + k) % n), {}};
            for (int e = 0; e < kExports; e++) imp.refs.push_back(pe_name("e" + std::to_string(e)));
            d.imports.push_back(imp);
        }
        files.push_back({dll_name(i), write_pe(width(d))});
    }
    PE_DESC app;
    for (int i = 0; i < kAppImports && i < n; i++) app.imports.push_back({dll_name(i), {pe_name("e0"), pe_name("e1")}});
    files.push_back({"app.exe", write_pe(width(app))});
    return files;
}

void BM_PeListAllDlls(benchmark::State& state, bool fWide) {
    const int n = int(state.range(0));
    std::string dir = make_temp_dir();
    write_files(dir, dll_folder(n, fWide));
    for (auto _ : state) {
        TOOL_RUN r = run_talvek_in(dir, {"-l", "app.exe"});
        if (r.exit_code != 0 || r.out.find("The following " + std::to_string(n) + " DLLs") == std::string::npos)
            state.SkipWithError("unexpected output");
        benchmark::DoNotOptimize(r.out.size());
    }
    remove_tree(dir);
    state.SetComplexityN(n);
}

// The same folder as 32-bit and as 64-bit modules: the two should cost the same.
BENCHMARK_CAPTURE(BM_PeListAllDlls, pe32, false)
    ->Arg(100)
    ->Arg(300)
    ->Arg(1000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5)
    ->Complexity();
BENCHMARK_CAPTURE(BM_PeListAllDlls, pe64, true)
    ->Arg(100)
    ->Arg(300)
    ->Arg(1000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5)
    ->Complexity();

}  // namespace
