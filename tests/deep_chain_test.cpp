// Chains of ten thousand DLLs, each importing the next: every one is found, checked once
// and listed, within the default stack and the open-file limit.
#include <gtest/gtest.h>

#include <cstdio>

#include "support/lx_writer.h"
#include "support/ne_writer.h"
#include "support/pe_writer.h"
#include "support/tool_runner.h"

namespace {

constexpr int kDepth = 10000;

std::string dll_name(int i) {
    char buf[16];
    snprintf(buf, sizeof buf, "M%05d", i);
    return buf;
}

// The sanitizers, and builds without optimisation, widen every frame several times; the
// optimised build runs on the stack the system gives.
size_t stack_for_build() {
#if defined(__SANITIZE_ADDRESS__) || !defined(__OPTIMIZE__)
    return 256;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return 256;
#else
    return 0;
#endif
#else
    return 0;
#endif
}

void expect_whole_chain(const std::vector<TOOL_FILE>& files, const std::string& ext = ".DLL") {
    std::string dir = make_temp_dir();
    write_files(dir, files);
    RUN_OPTIONS opt;
    opt.keep_out_tail = 2 << 20;   // the indentation alone is hundreds of megabytes
    opt.stack_mb = stack_for_build();
    TOOL_RUN r = run_talvek_in(dir, {"-q", "app.exe"}, opt);
    remove_tree(dir);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
    std::string list = "\nThe following 10000 DLLs are needed to load app.exe:\n";
    for (int i = 0; i < kDepth; i++) list += dir + "/" + dll_name(i) + ext + "\n";
    ASSERT_GE(r.out.size(), list.size());
    EXPECT_EQ(r.out.substr(r.out.size() - list.size()), list);
}

TEST(DeepChain, LxTenThousandLevels) {
    std::vector<TOOL_FILE> files;
    auto module = [](const std::string& next) {
        LX_DESC d;
        if (!next.empty()) {
            d.modules = {next};
            d.records = {lx_import_ordinal(1, 1)};
        }
        return write_lx(d);
    };
    files.push_back({"app.exe", module(dll_name(0))});
    for (int i = 0; i < kDepth; i++) files.push_back({dll_name(i) + ".DLL", module(i + 1 < kDepth ? dll_name(i + 1) : "")});
    expect_whole_chain(files);
}

TEST(DeepChain, NeTenThousandLevels) {
    std::vector<TOOL_FILE> files;
    auto module = [](const std::string& next) {
        if (next.empty()) return write_ne(ne_module({}));
        return write_ne(ne_module({next}, {ne_ordinal(1, 1)}));
    };
    files.push_back({"app.exe", module(dll_name(0))});
    for (int i = 0; i < kDepth; i++) files.push_back({dll_name(i) + ".DLL", module(i + 1 < kDepth ? dll_name(i + 1) : "")});
    expect_whole_chain(files);
}

// PE DLLs are found and named by the loader, which gives the file's own path.
TEST(DeepChain, PeTenThousandLevels) {
    std::vector<TOOL_FILE> files;
    auto module = [](const std::string& next) {
        PE_DESC d;
        d.exports = {PE_EXPORT{1, "entry", "", 0}};
        d.export_dir = true;
        if (!next.empty()) d.imports = {{next + ".dll", {pe_name("entry")}}};
        return write_pe(d);
    };
    files.push_back({"app.exe", module(dll_name(0))});
    for (int i = 0; i < kDepth; i++) files.push_back({dll_name(i) + ".dll", module(i + 1 < kDepth ? dll_name(i + 1) : "")});
    expect_whole_chain(files, ".dll");
}

}  // namespace
