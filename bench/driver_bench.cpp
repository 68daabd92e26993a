// Growth of the reference lists and the registry with the number of entries.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "common/reflist.h"
#include "driver/registry.h"

using namespace talvek;

// Distinct inserts into one list, each followed by a repeat that must be found.
static void BM_RefListDistinctInserts(benchmark::State& state) {
    const uint32_t n = uint32_t(state.range(0));
    for (auto _ : state) {
        REF_TABLE32 t;
        if (!alloc_ref_table(&t, 1, nullptr)) state.SkipWithError("no table");
        for (uint32_t i = 0; i < n; i++) {
            AddRelocEntry32(&t, 1, i, REF_BY_ORDINAL);
            AddRelocEntry32(&t, 1, i / 2, REF_BY_ORDINAL);
        }
        benchmark::DoNotOptimize(t.heads[1]);
        free_ref_lists(&t);
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_RefListDistinctInserts)->Arg(100000)->Arg(1000000)->Arg(10000000)->Unit(benchmark::kMillisecond)->Complexity();

// The registry's reports go nowhere.
struct NO_SINK : REPORT_SINK {
    void event(const REPORT_EVENT&) override {}
};

// Registry insertions of names that do not exist (the open fails fast, the record stays).
static void BM_RegistryInserts(benchmark::State& state) {
    const int n = int(state.range(0));
    std::vector<std::string> names;
    for (int i = 0; i < n; i++) names.push_back("/nonexistent/talvek-bench/m" + std::to_string(i) + ".dll");
    NO_SINK sink;
    for (auto _ : state) {
        std::unique_ptr<REGISTRY> reg(new REGISTRY);
        int32_t rc = 0;
        for (const std::string& name : names) get_file(reg.get(), &sink, name.c_str(), 2, false, &rc);
        for (const std::string& name : names) get_file(reg.get(), &sink, name.c_str(), 2, false, &rc);
        state.PauseTiming();
        reg.reset();
        state.ResumeTiming();
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_RegistryInserts)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Complexity();
