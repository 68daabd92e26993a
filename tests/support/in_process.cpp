// The library in-process for tests.
#include "support/in_process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <new>

#include "common/module_check.h"
#include "driver/run.h"
#include "platform/fs_memory.h"

namespace {

// The events of the read go nowhere.
struct NO_SINK : talvek::REPORT_SINK {
    void event(const talvek::REPORT_EVENT&) override {}
};

}  // namespace

talvek::CHECK_RESULT check_in_process(const std::string& path, const talvek::OPTIONS& opt, std::string* out,
                                      std::string* err, talvek::RUN_PTR* keep) {
    using namespace talvek;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::unique_ptr<REPORT_SINK> text = make_text_report(opt);
    RUN_PTR run = make_run(opt, text.get());
    CHECK_RESULT r = check(run.get(), path.c_str());
    // A run handed over no longer reports to the text, which ends here.
    if (keep) {
        run->listener = nullptr;
        *keep = std::move(run);
    }
    run.reset();
    fflush(stdout);
    std::string o = testing::internal::GetCapturedStdout();
    std::string e = testing::internal::GetCapturedStderr();
    if (out) *out = o;
    if (err) *err = e;
    return r;
}

std::unique_ptr<talvek::PE_MODULE> read_pe_in_process(const BYTES& b, int32_t* rc, bool fDelay) {
    using namespace talvek;
    OPTIONS opt;
    opt.delay_load = fDelay;
    NO_SINK sink;
    FS_MEMORY mem;
    CHECK_CONTEXT ctx{&opt, &sink, &mem, nullptr};
    FILE* f = tmpfile();
    fwrite(b.data(), 1, b.size(), f);
    DOS_EXE_HDR dos{};
    decode_dos_header(b.data(), &dos);
    std::unique_ptr<PE_MODULE> mod(new PE_MODULE{});
    *rc = pe_read_module(&ctx, mod.get(), &dos, f);
    fclose(f);
    return mod;
}
