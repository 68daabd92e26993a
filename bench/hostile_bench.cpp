// Time and peak memory of whole runs of the tool on valid modules next to hostile ones
// (shared and overlapping tables, counts near 2^32, sizes near 4 GiB, offsets past the
// end), each at a size S and at 10 S. The tool runs as a child process with an empty PATH
// and WINEPATH (so the loader's search reads neither the system's folders nor Wine's) and
// its peak resident memory comes from wait4. That peak also counts this process's own memory
// at the fork, so the floor (the same fork running /bin/true) is shown beside it.
// TALVEK_BENCH_EXE names another build of the tool to measure, TALVEK_BENCH_PATH a PATH to
// give it; TALVEK_BENCH_VS names a build timed beside it in the same iterations (vs_ms, and
// vs_ratio: its time over the measured build's). The many-descriptor files are checked with
// -v -! in a folder of 2,000 other files, as a system folder on the search path would be.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>

#include "support/lx_writer.h"
#include "support/ne_writer.h"
#include "support/pe_writer.h"
#include "support/tool_runner.h"

namespace {

// CPU seconds and address space a child may take: a quadratic walk is cut off, not waited for.
constexpr rlim_t kCpuLimit = 120;
constexpr rlim_t kMemLimit = rlim_t(6) << 30;

struct CHILD_RESULT {
    int status;
    long maxrss_kb;
};

// Runs exe on the file with the options given, with search_path as PATH (null:
// TALVEK_BENCH_PATH, else empty).
CHILD_RESULT run_child(const std::string& exe, const std::string& path, std::vector<const char*> opts,
                       const char* search_path = nullptr) {
    malloc_trim(0);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        rlimit cpu{kCpuLimit, kCpuLimit}, as{kMemLimit, kMemLimit};
        setrlimit(RLIMIT_CPU, &cpu);
        setrlimit(RLIMIT_AS, &as);
        const char* path_env = search_path ? search_path : getenv("TALVEK_BENCH_PATH");
        std::string path_var = std::string("PATH=") + (path_env ? path_env : "");
        char* const envp[] = {const_cast<char*>(path_var.c_str()), const_cast<char*>("WINEPATH="), nullptr};
        std::vector<char*> argv{const_cast<char*>(exe.c_str())};
        for (const char* o : opts) argv.push_back(const_cast<char*>(o));
        argv.push_back(const_cast<char*>(path.c_str()));
        argv.push_back(nullptr);
        execve(exe.c_str(), argv.data(), envp);
        _exit(127);
    }
    CHILD_RESULT r{-1, 0};
    rusage ru{};
    if (pid > 0 && wait4(pid, &r.status, 0, &ru) == pid) r.maxrss_kb = ru.ru_maxrss;
    return r;
}

struct BENCH_DIR {
    std::string path = make_temp_dir();
    ~BENCH_DIR() { remove_tree(path); }
};

typedef BYTES (*MAKER)(int scale);

// The folder of the many-descriptor files: 2,000 other files, and bad.dll, a file of that
// name that is no module.
const std::string& crowded_dir() {
    static BENCH_DIR dir;
    static bool fFilled = false;
    if (!fFilled) {
        std::vector<TOOL_FILE> files{{"bad.dll", BYTES(4096, 0)}};
        for (int i = 0; i < 2000; i++) files.push_back({"other" + std::to_string(i) + ".dat", {}});
        write_files(dir.path, files);
        fFilled = true;
    }
    return dir.path;
}

// The module file a maker writes for a scale, written once per process.
const std::string& module_file(const char* name, MAKER make, int scale, bool fCrowded) {
    static BENCH_DIR plain;
    static std::map<std::string, std::string> paths;
    const std::string& dir = fCrowded ? crowded_dir() : plain.path;
    std::string key = std::string(name) + std::to_string(scale);
    auto it = paths.find(key);
    if (it != paths.end()) return it->second;
    write_files(dir, {{key + ".exe", make(scale)}});
    return paths[key] = dir + "/" + key + ".exe";
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Times path with opts (and search_path as PATH, see run_child) and reports the counters.
void time_runs(benchmark::State& state, const std::string& path, const std::vector<const char*>& opts,
               const char* search_path = nullptr) {
    const char* env = getenv("TALVEK_BENCH_EXE");
    const char* vs = getenv("TALVEK_BENCH_VS");
    struct stat st;
    long cb = stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? long(st.st_size) : 0;
    long maxrss = 0;
    int status = 0;
    double sThis = 0, sVs = 0;
    // The two builds take turns at running first, so that neither alone meets the caches
    // cold after the files are written.
    static uint32_t cVsRuns = 0;
    auto run_vs = [&]() {
        state.PauseTiming();
        auto t0 = std::chrono::steady_clock::now();
        run_child(vs, path, opts, search_path);
        sVs += seconds_since(t0);
        state.ResumeTiming();
    };
    for (auto _ : state) {
        bool fVsFirst = vs && cVsRuns++ % 2 == 0;
        if (fVsFirst) run_vs();
        auto t0 = std::chrono::steady_clock::now();
        CHILD_RESULT r = run_child(env ? env : TALVEK_EXE, path, opts, search_path);
        sThis += seconds_since(t0);
        maxrss = std::max(maxrss, r.maxrss_kb);
        status = r.status;
        if (vs && !fVsFirst) run_vs();
    }
    if (vs) {
        state.counters["vs_ms"] = benchmark::Counter(sVs * 1000, benchmark::Counter::kAvgIterations);
        state.counters["vs_ratio"] = sVs / sThis;
    }
    state.counters["floor_MiB"] = double(run_child("/bin/true", path, {}).maxrss_kb) / 1024;
    state.counters["S_KiB"] = double(cb) / 1024;
    state.counters["peak_MiB"] = double(maxrss) / 1024;
    state.counters["exit"] = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

void run_bench(benchmark::State& state, const char* name, MAKER make, bool fRecursive = false) {
    const std::string& path = module_file(name, make, int(state.range(0)), fRecursive);
    time_runs(state, path, fRecursive ? std::vector<const char*>{"-v", "-!"} : std::vector<const char*>{});
}

// NE -------------------------------------------------------------------------------------

void add_record(BYTES& b, uint8_t flags, uint16_t mod_idx, uint16_t proc_idx) {
    add_u8(b, 3);
    add_u8(b, flags);
    add_u16(b, 0);
    add_u16(b, mod_idx);
    add_u16(b, proc_idx);
}

// 10 x scale segments, each with its own table of 6,553 records over 4 DLLs.
BYTES ne_valid(int scale) {
    NE_DESC d = ne_module({"DOSCALLS", "KBDCALLS", "VIOCALLS", "MOUCALLS"});
    d.segs.clear();
    d.align = 9;
    for (int s = 0; s < 10 * scale; s++) {
        NE_SEG seg;
        for (int r = 0; r < 6553; r++) seg.relocs.push_back(ne_ordinal(uint16_t(1 + r % 4), uint16_t(r + s)));
        d.segs.push_back(seg);
    }
    return write_ne(d);
}

// 6,553 x scale segments all naming one table of 6,553 x scale records.
BYTES ne_shared(int scale) {
    const uint32_t n = 6553 * uint32_t(scale);
    NE_DESC d = ne_module({"DOSCALLS"});
    d.segs.clear();
    d.align = 4;
    NE_LAYOUT l;
    BYTES b = write_ne(d, &l);
    size_t seg_tbl = b.size();
    const uint16_t kSector = 0xA000;
    for (uint32_t i = 0; i < n; i++) {
        put_u16(b, seg_tbl + 8 * i, kSector);
        put_u16(b, seg_tbl + 8 * i + 2, 0x10);
        put_u16(b, seg_tbl + 8 * i + 4, 0x0100);
        put_u16(b, seg_tbl + 8 * i + 6, 0);
    }
    BYTES table;
    add_u16(table, uint16_t(n));
    for (uint32_t j = 0; j < n; j++) add_record(table, 1, 1, uint16_t(j % 1000));
    put_bytes(b, size_t(kSector) * 16 + 0x10, table);
    put_u16(b, l.ne_hdr + NEF_NUM_SEGS, uint16_t(n));
    put_u16(b, l.ne_hdr + NEF_OFS_SEG_TBL, uint16_t(seg_tbl - l.ne_hdr));
    return b;
}

// Counts at their largest and tables past the end, in a file padded to 64 KiB x scale.
BYTES ne_hostile_header(int scale) {
    NE_DESC d = ne_module({"DOSCALLS"}, {ne_ordinal(1, 1)});
    NE_LAYOUT l;
    BYTES b = write_ne(d, &l);
    put_u16(b, l.ne_hdr + NEF_NUM_SEGS, 0xFFFF);
    put_u16(b, l.ne_hdr + NEF_NUM_MODREF, 0xFFFF);
    put_u16(b, l.ne_hdr + NEF_OFS_SEG_TBL, 0xFFF0);
    put_u16(b, l.ne_hdr + NEF_OFS_ENTRY_TBL, 0xFFFF);
    b.resize(size_t(65536) * scale);
    return b;
}

// LX -------------------------------------------------------------------------------------

// 100,000 x scale fixup records over 10 DLLs, half by ordinal and half by name.
BYTES lx_valid(int scale) {
    LX_DESC d;
    for (int i = 0; i < 10; i++) d.modules.push_back("DLL" + std::to_string(i));
    std::vector<uint32_t> name_ofs;
    for (int i = 0; i < 1000; i++) {
        d.procs.push_back("Proc" + std::to_string(i));
        name_ofs.push_back(lx_proc_offset(d, size_t(i)));
    }
    for (int r = 0; r < 100000 * scale; r++) {
        uint16_t mod = uint16_t(1 + r % 10);
        add_bytes(d.raw_records, lx_record(r % 2 ? lx_import_ordinal(mod, uint32_t(r % 5000 + 1))
                                                 : lx_import_name(mod, name_ofs[size_t(r % 1000)])));
    }
    return write_lx(d);
}

// num_import_ent near 2^32, fixup_size near 4 GiB, or tables past the end; 64 KiB x scale.
BYTES lx_hostile_count(int scale) {
    LX_DESC d;
    d.modules = {"DOSCALLS"};
    d.num_import_ent = 0xFFFFFFFF;
    d.trailer = BYTES(size_t(65536) * scale, 0);
    return write_lx(d);
}

BYTES lx_hostile_size(int scale) {
    LX_DESC d;
    d.modules = {"DOSCALLS"};
    d.fixup_size = 0xFFFFFFF0;
    d.trailer = BYTES(size_t(65536) * scale, 0);
    return write_lx(d);
}

// PE -------------------------------------------------------------------------------------

// 20 x scale DLLs of 1,000 entries each, half by name.
BYTES pe_valid(int scale) {
    PE_DESC d;
    for (int k = 0; k < 20 * scale; k++) {
        d.imports.push_back({"m" + std::to_string(k) + ".dll", {}});
        for (int j = 0; j < 1000; j++)
            d.imports.back().refs.push_back(j % 2 ? pe_ord(uint32_t(j)) : pe_name("f" + std::to_string(j)));
    }
    return write_pe(d);
}

// 2,000 x scale descriptors on one table of 2,000 x scale ordinals.
BYTES pe_shared(int scale) {
    PE_DESC d;
    int n = 2000 * scale;
    for (int k = 0; k < n; k++) d.imports.push_back({"m" + std::to_string(k) + ".dll", {}});
    for (int j = 0; j < n; j++) d.imports[0].refs.push_back(pe_ord(uint32_t(j)));
    PE_LAYOUT l;
    BYTES b = write_pe(d, &l);
    uint32_t table = rd_u32(b, l.import_ofs);
    for (int k = 1; k < n; k++) put_u32(b, l.import_ofs + 20 * size_t(k), table);
    return b;
}

// 30,000 x scale entries of one DLL all naming one 5,000-byte name.
BYTES pe_one_name(int scale) {
    PE_DESC d;
    d.imports = {{"a.dll", {pe_name(std::string(5000, 'n'))}}};
    for (int j = 1; j < 30000 * scale; j++) d.imports[0].refs.push_back(pe_ord(1));
    PE_LAYOUT l;
    BYTES b = write_pe(d, &l);
    uint32_t hintName = rd_u32(b, l.lookup_ofs[0]);
    for (int j = 0; j < 30000 * scale; j++) put_u32(b, l.lookup_ofs[0] + 4 * size_t(j), hintName);
    return b;
}

// 65,535 sections claimed, the import directory past the end; 64 KiB x scale.
BYTES pe_hostile_header(int scale) {
    PE_DESC d;
    d.imports = {{"a.dll", {pe_ord(1)}}};
    PE_LAYOUT l;
    BYTES b = write_pe(d, &l);
    put_u16(b, l.pe_ofs + 6, 0xFFFF);
    put_u32(b, pe_dir_ofs(l, 1), 0xFFFFFF00);
    b.resize(std::max(b.size(), size_t(65536) * scale));
    return b;
}

// 5,000 x scale descriptors, one entry each, naming dlls[k % n] in turn: every name the
// loader fails to find or to load comes back thousands of times.
BYTES pe_many_descriptors(int scale, const std::vector<std::string>& dlls) {
    PE_DESC d;
    for (int k = 0; k < 5000 * scale; k++) d.imports.push_back({dlls[size_t(k) % dlls.size()], {pe_ord(1)}});
    return write_pe(d);
}

BYTES pe_many_missing(int scale) { return pe_many_descriptors(scale, {"m0.dll", "m1.dll", "m2.dll", "m3.dll", "m4.dll"}); }
BYTES pe_many_not_image(int scale) { return pe_many_descriptors(scale, {"BAD.DLL"}); }

#define HOSTILE_BENCH(fn)                                                         \
    void BM_##fn(benchmark::State& state) { run_bench(state, #fn, fn); }           \
    BENCHMARK(BM_##fn)->ArgName("scale")->Arg(1)->Arg(10)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime()

HOSTILE_BENCH(ne_valid);
HOSTILE_BENCH(ne_shared);
HOSTILE_BENCH(ne_hostile_header);
HOSTILE_BENCH(lx_valid);
HOSTILE_BENCH(lx_hostile_count);
HOSTILE_BENCH(lx_hostile_size);
HOSTILE_BENCH(pe_valid);
HOSTILE_BENCH(pe_shared);
HOSTILE_BENCH(pe_one_name);
HOSTILE_BENCH(pe_hostile_header);

#define RECURSIVE_BENCH(fn)                                                            \
    void BM_##fn(benchmark::State& state) { run_bench(state, #fn, fn, true); }       \
    BENCHMARK(BM_##fn)->ArgName("scale")->Arg(1)->Arg(10)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime()

RECURSIVE_BENCH(pe_many_missing);
RECURSIVE_BENCH(pe_many_not_image);

// 52,000 descriptors naming 14,000 different garbage names (4 to 19 printable bytes other
// than path separators, then a number that keeps them apart), checked with -v -! under a
// PATH of 12 folders of 200 files each: every name is searched for in 14 folders (with the
// application's and the current directory) and found in none.
void BM_pe_garbage_names(benchmark::State& state) {
    static BENCH_DIR dir;
    static std::string path_var;
    const std::string file = dir.path + "/garbage.exe";
    if (path_var.empty()) {
        std::vector<std::string> names;
        uint32_t seed = 19;
        auto next = [&seed]() { return (seed = seed * 1103515245u + 12345u) >> 16; };
        while (names.size() < 14000) {
            std::string name(4 + next() % 16, ' ');
            for (char& c : name) {
                do {
                    c = char(0x21 + next() % 94);
                } while (c == '/' || c == '\\');
            }
            names.push_back(name + std::to_string(names.size()));   // distinct
        }
        PE_DESC d;
        for (int k = 0; k < 52000; k++) d.imports.push_back({names[size_t(k) % names.size()], {pe_ord(1)}});
        std::vector<TOOL_FILE> files{{"garbage.exe", write_pe(d)}};
        for (int p = 0; p < 12; p++) {
            std::string folder = "path" + std::to_string(p);
            path_var += (p ? ":" : "") + dir.path + "/" + folder;
            for (int i = 0; i < 200; i++) files.push_back({folder + "/tool" + std::to_string(i), {}});
        }
        write_files(dir.path, files);
    }
    time_runs(state, file, {"-v", "-!"}, path_var.c_str());
}
BENCHMARK(BM_pe_garbage_names)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// A chain of 1,000 x scale PE DLLs, each importing one entry of the next, checked with -q:
// time and peak memory should grow with the chain's length, not faster.
void BM_pe_chain(benchmark::State& state) {
    const int n = 1000 * int(state.range(0));
    BENCH_DIR dir;
    auto module = [](int next) {
        PE_DESC d;
        d.exports = {PE_EXPORT{1, "entry", "", 0}};
        if (next >= 0) d.imports = {{"m" + std::to_string(next) + ".dll", {pe_name("entry")}}};
        return write_pe(d);
    };
    std::vector<TOOL_FILE> files{{"app.exe", module(0)}};
    for (int i = 0; i < n; i++) files.push_back({"m" + std::to_string(i) + ".dll", module(i + 1 < n ? i + 1 : -1)});
    write_files(dir.path, files);
    time_runs(state, dir.path + "/app.exe", {"-q"});
}
BENCHMARK(BM_pe_chain)->ArgName("scale")->Arg(1)->Arg(10)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// An install folder of 500 x scale modules in folders of 50, checked in one run with -m -q -e:
// each folder's programs import two of its 20 DLLs, which import one another, so the run keeps
// reaching DLLs it has read. Time and peak memory should grow with the folder, not faster.
void BM_install_folder(benchmark::State& state) {
    const int n = 500 * int(state.range(0));
    BENCH_DIR dir;
    auto dll = [](int next) {
        PE_DESC d;
        d.exports = {PE_EXPORT{1, "entry", "", 0}, PE_EXPORT{2, "other", "", 0}};
        if (next >= 0) d.imports = {{"lib" + std::to_string(next) + ".dll", {pe_name("entry")}}};
        return write_pe(d);
    };
    std::vector<TOOL_FILE> files;
    for (int i = 0; i < n; i++) {
        std::string folder = "part" + std::to_string(i / 50) + "/";
        int k = i % 50;
        if (k < 20) {
            files.push_back({folder + "lib" + std::to_string(k) + ".dll", dll(k > 0 ? k - 1 : -1)});
        } else {
            PE_DESC app;
            app.imports = {{"lib" + std::to_string(k % 20) + ".dll", {pe_name("entry"), pe_name("other")}},
                           {"lib" + std::to_string((k + 7) % 20) + ".dll", {pe_name("entry")}}};
            files.push_back({folder + "app" + std::to_string(k) + ".exe", write_pe(app)});
        }
    }
    write_files(dir.path, files);
    time_runs(state, dir.path, {"-m", "-q", "-e"});
}
BENCHMARK(BM_install_folder)->ArgName("scale")->Arg(1)->Arg(10)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
