// PE headers and section mapping: cut fields, the RVA mapping, optional header sizes, the format error.
#include <gtest/gtest.h>

#include "pe/pe_internal.h"
#include "support/pe_writer.h"
#include "support/tool_runner.h"

using namespace talvek;

namespace {

// "ZOReve:  " right-aligned in 10 columns, a blank, the message right-aligned in 50.
const std::string kFormatError = " ZOReve:  " + std::string(" ") + std::string(18, ' ') + "File error - format is incorrect";

// A header field that the end of the bytes cuts through reads its present bytes, zeros
// for the rest.
TEST(PeHeader, CutFieldReadsItsPresentBytes) {
    const uint8_t b[] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    BYTE_SPAN s{b, sizeof b};
    struct {
        uint32_t ofs, len;
        uint64_t want;
    } cases[] = {
        {0, 1, 0x11}, {1, 2, 0x3322}, {0, 4, 0x44332211}, {1, 3, 0x443322},
        {5, 2, 0x66}, {3, 8, 0x665544}, {6, 4, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.ofs << "/" << c.len);
        EXPECT_EQ(get_le_cut(s, c.ofs, c.len), c.want);
    }
    // A section table that ends after the first byte of PointerToRawData (0x34 of 0x1234).
    BYTES table = pe_section_header(0x1000, 0, 0x200, 0x1234);
    DATA_DIR dirs[PE_NUM_DIRS] = {};
    dirs[1].RVA = 0x1010;
    ReadSectionTable(BYTE_SPAN{table.data(), 21}, 1, dirs);
    EXPECT_EQ(dirs[1].Physical_Addr, 0x44u);
}

TEST(PeHeader, DirectoriesMapThroughTheSectionTable) {
    struct SEC {
        uint32_t va, raw_size, raw_ptr;
    };
    struct {
        const char* what;
        std::vector<SEC> sections;
        uint32_t rva;
        bool mapped;
        uint64_t phys;
    } cases[] = {
        {"at VirtualAddress, SizeOfRawData 0", {{0x1000, 0, 0x400}}, 0x1000, true, 0x400},
        {"16 bytes in", {{0x1000, 0x200, 0x400}}, 0x1010, true, 0x410},
        {"at the end", {{0x1000, 0x200, 0x400}}, 0x1200, false, 0},
        {"below the section", {{0x1000, 0x200, 0x400}}, 0x0FFF, false, 0},
        {"two sections hold it: the later decides", {{0x1000, 0x800, 0x400}, {0x1100, 0x100, 0xC00}}, 0x1110, true, 0xC10},
        {"only the first holds it", {{0x1000, 0x800, 0x400}, {0x1200, 0x100, 0xC00}}, 0x1110, true, 0x510},
        {"a section at the top of the address space", {{0xFFFFF000, 0x2000, 0x400}}, 0xFFFFF800, true, 0xC00},
        {"raw pointer plus offset past 4 GiB", {{0x1000, 0x1000, 0xFFFFFF00}}, 0x1200, true, 0x100000100ull},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        BYTES table;
        for (const SEC& s : c.sections) add_bytes(table, pe_section_header(s.va, 0, s.raw_size, s.raw_ptr));
        DATA_DIR dirs[PE_NUM_DIRS] = {};
        dirs[1].RVA = c.rva;
        dirs[4].RVA = 0;   // a directory of RVA 0 is never mapped
        ReadSectionTable(BYTE_SPAN{table.data(), table.size()}, uint32_t(c.sections.size()), dirs);
        EXPECT_EQ(dirs[1].fMapped, c.mapped);
        EXPECT_EQ(dirs[1].Physical_Addr, c.phys);
        EXPECT_FALSE(dirs[4].fMapped);
    }
}

BYTES app_importing_one() {
    PE_DESC d;
    d.imports = {{"a.dll", {pe_name("f")}}};
    return write_pe(d);
}

TEST(PeHeader, ShortOptionalHeaderHasNoDirectories) {
    PE_DESC d;
    d.opt_size = 28;
    d.imports = {{"a.dll", {pe_name("f")}}};
    TOOL_RUN r = run_talvek({"x.exe"}, {{"x.exe", write_pe(d)}});
    EXPECT_EQ(r.out, "32-bit NT 'PE' Module\nShort header\n0 imported module(s) found.\n"
                     "All DLLs used by 'x.exe' could be loaded.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
}

TEST(PeHeader, OtherOptionalHeaderSizesEndTheRunWithCode8) {
    for (uint16_t size : {240, 0, 96, 223, 225, 0xFFFF}) {
        SCOPED_TRACE(size);
        BYTES b = app_importing_one();
        put_u16(b, 0x40 + 20, size);
        TOOL_RUN r = run_talvek({"-k", "x.exe"}, {{"x.exe", b}});
        EXPECT_EQ(r.out, "32-bit NT 'PE' Module\n");   // no key wait
        EXPECT_EQ(r.err, kFormatError);
        EXPECT_EQ(kFormatError.size(), 61u);
        EXPECT_EQ(r.exit_code, 8);
    }
}

// An optional header that ends after its NumberOfRvaAndSizes directories (96 + 8n bytes for
// PE32, 112 + 8n for PE32+, n up to 16) is a whole header: a DLL with one loads, and its
// report reads the directories it holds, the rest as 0, instead of ending the run.
TEST(PeHeader, OptionalHeaderSizesAgreeWithTheLoader) {
    for (bool fWide : {false, true}) {
        for (uint32_t n = 0; n <= 16; n++) {
            SCOPED_TRACE(testing::Message() << (fWide ? "PE32+ " : "PE32 ") << n);
            auto width = [&](PE_DESC d) { return fWide ? pe_wide(d) : d; };
            PE_DESC app = width(PE_DESC{}), a = width(PE_DESC{});
            app.imports = {{"a.dll", {}}};
            a.imports = {{"b.dll", {}}};
            a.opt_size = uint16_t((fWide ? 112 : 96) + 8 * n);
            a.num_rva = n;
            TOOL_RUN r = run_talvek({"-!", "app.exe"},
                                    {{"app.exe", write_pe(app)}, {"a.dll", write_pe(a)}, {"b.dll", write_pe(width({}))}});
            const std::string F = fWide ? "64-bit NT 'PE' Module\n" : "32-bit NT 'PE' Module\n";
            bool fLoaded = r.out.find("Loading 'a.dll' --> " + r.dir + "/a.dll.\n") != std::string::npos;
            // The import directory is the second: only a header of two or more holds it.
            std::string report = "  " + F + "  " + (n >= 2 ? "1" : "0") + " imported module(s) found.\n";
            bool fReported = r.exit_code == 0 && r.out.find(report) != std::string::npos;
            EXPECT_TRUE(fLoaded) << r.out;
            EXPECT_EQ(fReported, fLoaded) << r.out << r.err;
        }
    }
}

TEST(PeHeader, BadHeaderInADllEndsTheWholeRun) {
    PE_DESC d;
    d.opt_size = 240;
    d.machine = 0x8664;
    d.magic = 0x20B;
    TOOL_RUN r = run_talvek({"-l", "x.exe"}, {{"x.exe", app_importing_one()}, {"a.dll", write_pe(d)}},
                            RUN_OPTIONS{"", true, {}, "", 120});
    // The 64-bit DLL does not load; the tool then stops at its header when recursion reaches it.
    EXPECT_EQ(r.both, "32-bit NT 'PE' Module\n1 imported module(s) found.\n"
                      "Loading 'a.dll' --> NOT loaded!\n"
                      "Unable to load DLL 'a.dll'.  LoadLibrary returned: 193\n");
    EXPECT_EQ(r.exit_code, 0);
}

TEST(PeHeader, UnreadablePeHeaderIsAFormatError) {
    BYTES cut = app_importing_one();
    cut.resize(0x40 + 10);   // the file header is cut short
    BYTES badSig = app_importing_one();
    put_u8(badSig, 0x42, 'X');   // "PEX\0" with the DOS header's relocation offset 0x40
    for (const BYTES& b : {cut, badSig}) {
        TOOL_RUN r = run_talvek({"x.exe"}, {{"x.exe", b}});
        EXPECT_EQ(r.out, "32-bit NT 'PE' Module\n");
        EXPECT_EQ(r.err, kFormatError);
        EXPECT_EQ(r.exit_code, 8);
    }
}

TEST(PeHeader, EverySectionHeaderIsMapped) {
    PE_DESC d;
    d.imports = {{"a.dll", {pe_name("f")}}};
    for (uint32_t k = 0; k < 150; k++) d.sections.push_back(PE_SECTION{".s", 0x100000 + 0x1000 * k, 0x10, 0, 0, {}});
    TOOL_RUN r = run_talvek({"-q", "x.exe"}, {{"x.exe", write_pe(d)}});
    EXPECT_EQ(r.out.substr(0, 50), "32-bit NT 'PE' Module\n1 imported module(s) found.\n");
}

TEST(PeHeader, ImportDirectoryOutsideEverySectionImportsNothing) {
    PE_LAYOUT l;
    PE_DESC d;
    d.imports = {{"a.dll", {pe_name("f")}}};
    BYTES b = write_pe(d, &l);
    put_u32(b, pe_dir_ofs(l, 1), 0x00900000);
    TOOL_RUN r = run_talvek({"x.exe"}, {{"x.exe", b}});
    EXPECT_EQ(r.out, "32-bit NT 'PE' Module\n0 imported module(s) found.\nAll DLLs used by 'x.exe' could be loaded.\n");
}

// A section table that NumberOfSections makes run past the end of the file: the headers the
// file holds are read, the rest as zeros, by the static and the delay-load walk alike.
TEST(PeHeader, SectionTableCutShortReadsAsZeros) {
    PE_DESC d;
    d.imports = {{"a.dll", {}}};
    d.delay_imports = {{"gone.dll", {pe_name("f")}}};
    PE_LAYOUT l;
    BYTES b = write_pe(d, &l);
    put_u16(b, l.pe_ofs + 6, uint16_t((b.size() - l.sect_ofs) / 40 + 1));
    TOOL_RUN r = run_talvek({"-d", "x.exe"}, {{"x.exe", b}, {"a.dll", write_pe(PE_DESC{})}});
    EXPECT_EQ(r.out, "32-bit NT 'PE' Module\n1 imported module(s) found.\nLoading 'a.dll' --> " + r.dir + "/a.dll.\n"
                     "1 delay-loaded module(s) found.\nLoading 'gone.dll' --> NOT loaded!\n"
                     "Unable to load DLL 'gone.dll'.  LoadLibrary returned: 126\n");
    EXPECT_EQ(r.exit_code, 0);
}

// Every truncation and every header, section and descriptor field set to 0 or all-ones
// ends in a defined code, with no sanitizer report and no signal.
TEST(PeHeader, DamagedImagesEndInDefinedCodes) {
    PE_LAYOUT l;
    PE_DESC d;
    d.imports = {{"a.dll", {pe_name("f"), pe_ord(2)}}, {"b.dll", {pe_name("g")}, true}};
    BYTES good = write_pe(d, &l);
    std::vector<BYTES> images;
    for (size_t n = 0; n < good.size(); n += 13) images.push_back(BYTES(good.begin(), good.begin() + long(n)));
    std::vector<size_t> fields = {l.pe_ofs + 6, pe_dir_ofs(l, 1), pe_section_ofs(l, 0) + 12, pe_section_ofs(l, 0) + 16,
                                  pe_section_ofs(l, 0) + 20, l.import_ofs, l.import_ofs + 12, l.import_ofs + 16,
                                  l.import_ofs + 32, l.lookup_ofs[0], l.lookup_ofs[1], l.dll_name_ofs[0]};
    for (size_t ofs : fields) {
        for (uint32_t v : {0u, 0xFFFFFFFFu}) {
            BYTES b = good;
            put_u32(b, ofs, v);
            images.push_back(b);
        }
    }
    BYTES dllA = write_pe(PE_DESC{});
    for (size_t i = 0; i < images.size(); i++) {
        SCOPED_TRACE(i);
        TOOL_RUN r = run_talvek({"-v", "x.exe"}, {{"x.exe", images[i]}, {"a.dll", dllA}});
        EXPECT_TRUE(r.exit_code == 0 || r.exit_code == 3 || r.exit_code == 8) << r.exit_code;
        EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    }
}

}  // namespace
