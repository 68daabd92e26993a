// The emulated loader on hostile images: many sections, export name pointers into one
// long name, descriptors sharing a lookup table. Each load stays fast.
#include <chrono>

#include "support/loader_fixture.h"

using namespace talvek;

namespace {

// Seconds taken by f; the images below take a thousandth of that bound, and a walk of the
// section table per read, or a hash of the whole long name per pointer, far more.
template <class F>
double seconds(F f) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

TEST_F(LoaderTest, SectionsByTheTenThousandDoNotSlowEachRead) {
    // 65,000 empty sections before the one that holds the exports: 60,000 names to index.
    PE_DESC d;
    d.sections.resize(65000);
    for (uint32_t k = 0; k < 60000; k++) d.exports.push_back(PE_EXPORT{k + 1, "f" + std::to_string(k), "", 0});
    files({{"many.dll", write_pe(d)}});
    HMODULE h = nullptr;
    uintptr_t found = 0, missing = 1;
    double s = seconds([&] {
        h = LoadLibraryA("many.dll");
        found = GetProcAddress(h, "f59999");
        missing = GetProcAddress(h, "g");
    });
    ASSERT_NE(h, nullptr);
    EXPECT_NE(found, 0u);
    EXPECT_EQ(missing, 0u);
    EXPECT_LT(s, 1.0);
}

TEST_F(LoaderTest, NamePointersIntoOneLongNameAreIndexedOnce) {
    // 40,000 export name pointers all at one 1 MiB name; one more short name behind.
    PE_DESC d;
    d.exports.push_back(PE_EXPORT{1, std::string(1024 * 1024, 'n'), "", 0});
    for (uint32_t k = 1; k < 40000; k++) d.exports.push_back(PE_EXPORT{k + 1, "g" + std::to_string(k), "", 0});
    PE_LAYOUT l;
    BYTES b = write_pe(d, &l);
    uint32_t namesRva = rd_u32(b, l.export_ofs + 32);
    size_t names = l.data_raw + (namesRva - l.data_va);
    uint32_t longName = rd_u32(b, names);
    for (size_t k = 1; k + 1 < 40000; k++) put_u32(b, names + 4 * k, longName);
    files({{"long.dll", b}});
    HMODULE h = nullptr;
    uintptr_t last = 0, gone = 1, byOrdinal = 0;
    double s = seconds([&] {
        h = LoadLibraryA("long.dll");
        last = GetProcAddress(h, "g39999");
        gone = GetProcAddress(h, "g5");
        byOrdinal = GetProcAddress(h, reinterpret_cast<const char*>(uintptr_t(7)));
    });
    ASSERT_NE(h, nullptr);
    EXPECT_NE(last, 0u);
    EXPECT_EQ(gone, 0u);
    EXPECT_NE(byOrdinal, 0u);
    EXPECT_LT(s, 1.0);
}

TEST_F(LoaderTest, DescriptorsSharingATableResolveItOncePerDll) {
    // 5,000 descriptors of one DLL on one table of 5,000 names: 25 million look-ups if each
    // descriptor resolved the table again.
    std::vector<std::string> exported;
    PE_IMPORT imp{"lib.dll", {}};
    for (int j = 0; j < 5000; j++) {
        exported.push_back("f" + std::to_string(j));
        imp.refs.push_back(pe_name(exported.back()));
    }
    PE_DESC app;
    app.imports.push_back(imp);
    for (int k = 1; k < 5000; k++) app.imports.push_back(PE_IMPORT{"lib.dll", {}});
    PE_LAYOUT l;
    BYTES b = write_pe(app, &l);
    uint32_t table = rd_u32(b, l.import_ofs);
    for (size_t k = 1; k < 5000; k++) put_u32(b, l.import_ofs + 20 * k, table);
    files({{"lib.dll", export_dll(exported)}, {"app.dll", b}});
    HMODULE h = nullptr;
    double s = seconds([&] { h = LoadLibraryA("app.dll"); });
    EXPECT_NE(h, nullptr);
    EXPECT_LT(s, 1.0);
}

TEST_F(LoaderTest, SectionsRepeatingOneRunOfDescriptorsAreNoLoadableImage) {
    // 4,000 sections map the same 64,000 bytes of copies of one descriptor at consecutive
    // addresses: a 420 KB file showing 12.8 million descriptors, which took 400 MB and most
    // of a second to walk; a file of a few megabytes would take minutes and gigabytes.
    PE_DESC app;
    app.imports.push_back(PE_IMPORT{"lib.dll", {pe_name("f")}});
    PE_LAYOUT l;
    BYTES plain = write_pe(app, &l);
    BYTES desc(plain.begin() + long(l.import_ofs), plain.begin() + long(l.import_ofs) + 20);
    constexpr uint32_t kRun = 64000, kBase = 0x100000;
    PE_SECTION first{"", kBase, kRun, kRun, 0x40000, {}};   // past the section table
    for (uint32_t k = 0; k < kRun / 20; k++) first.data.insert(first.data.end(), desc.begin(), desc.end());
    app.sections.push_back(first);
    for (uint32_t k = 1; k < 4000; k++) app.sections.push_back(PE_SECTION{"", kBase + k * kRun, kRun, kRun, 0x40000, {}});
    BYTES b = write_pe(app, &l);
    ASSERT_TRUE(std::equal(desc.begin(), desc.end(), b.begin() + long(l.import_ofs)));
    put_u32(b, pe_dir_ofs(l, 1), kBase);
    files({{"lib.dll", export_dll({"f"})}, {"app.dll", b}});
    HMODULE h = nullptr;
    double s = seconds([&] { h = LoadLibraryA("app.dll"); });
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(GetLastError(), LOAD_ERR_BAD_EXE_FORMAT);
    EXPECT_LT(s, 0.25);
}

}  // namespace
