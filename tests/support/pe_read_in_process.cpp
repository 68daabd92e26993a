// The in-process read of a PE module for tests.
#include "support/pe_read_in_process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <new>

#include "driver/driver.h"

std::unique_ptr<talvek::PE_MODULE> read_pe_in_process(const BYTES& b, int32_t* rc, bool fDelay) {
    using namespace talvek;
    reset_run_state();
    delay_load = fDelay;
    level = 1;
    FILE* f = tmpfile();
    fwrite(b.data(), 1, b.size(), f);
    DOS_EXE_HDR dos{};
    decode_dos_header(b.data(), &dos);
    std::unique_ptr<PE_MODULE> mod(new PE_MODULE{});
    testing::internal::CaptureStdout();
    *rc = pe_read_module(mod.get(), &dos, f);
    testing::internal::GetCapturedStdout();
    fclose(f);
    level = 0;
    delay_load = FALSE;
    return mod;
}
