// The emulated loader's loads and look-ups: images refused, dependencies, rollback, cycles,
// deep chains, ordinals, names, forwarders and hostile export tables.
#include "support/loader_fixture.h"

using namespace talvek;

namespace {

BYTES with_u16(BYTES b, size_t ofs, uint16_t v) {
    put_u16(b, ofs, v);
    return b;
}

TEST_F(LoaderTest, ImagesThatAreNotLoadable) {
    PE_LAYOUT l;
    BYTES good = write_pe(PE_DESC{}, &l);
    PE_DESC pe64;
    pe64.machine = 0x8664;
    pe64.magic = 0x20B;
    pe64.opt_size = 240;
    PE_DESC magic;
    magic.magic = 0x20B;
    PE_DESC opt28, opt96;
    opt28.opt_size = 28;
    opt96.opt_size = 96;
    opt28.exports = opt96.exports = {PE_EXPORT{1, "f", "", 0}};
    struct {
        const char* name;
        BYTES bytes;
        uint32_t err;
    } cases[] = {
        {"good.dll", good, 0},
        {"empty.dll", {}, LOAD_ERR_BAD_EXE_FORMAT},
        {"nomz.dll", with_u16(good, 0, 0x4D4E), LOAD_ERR_BAD_EXE_FORMAT},
        {"nope.dll", with_u16(good, l.pe_ofs, 0x454E), LOAD_ERR_BAD_EXE_FORMAT},
        {"cut.dll", BYTES(good.begin(), good.begin() + long(l.sect_ofs + 39)), LOAD_ERR_BAD_EXE_FORMAT},
        {"x64.dll", write_pe(pe64), LOAD_ERR_BAD_EXE_FORMAT},
        {"magic.dll", write_pe(magic), LOAD_ERR_BAD_EXE_FORMAT},
        {"arm.dll", with_u16(good, l.pe_ofs + 4, 0x01C0), LOAD_ERR_BAD_EXE_FORMAT},
        {"opt28.dll", write_pe(opt28), 0},
        {"opt96.dll", write_pe(opt96), 0},
    };
    for (const auto& c : cases) files({{c.name, c.bytes}});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(load_error(c.name), c.err);
    }
    // Short optional headers hold no directories: nothing is exported.
    EXPECT_EQ(GetProcAddress(LoadLibraryA("opt28.dll"), "f"), 0u);
    EXPECT_EQ(GetProcAddress(LoadLibraryA("opt96.dll"), "f"), 0u);
    EXPECT_EQ(GetLastError(), LOAD_ERR_PROC_NOT_FOUND);
}

// The steps of a cause as "DLL[:entry] (base name of the file found) error > ...".
std::string cause_text(const LOAD_FAILURE& why) {
    std::string s;
    for (const LOAD_STEP& step : why.chain) {
        if (!s.empty()) s += " > ";
        s += step.dll;
        if (step.fEntry) s += ":" + (step.fOrdinal ? "#" + std::to_string(step.ordinal) : step.entry);
        s += " (" + step.file.substr(step.file.rfind('/') + 1) + ") " + std::to_string(step.error);
    }
    return s;
}

TEST_F(LoaderTest, DependencyFailuresGiveTheirCode) {
    PE_LAYOUT l;
    PE_DESC broken;
    broken.imports = {{"ok.dll", {pe_name("f")}}};
    BYTES brokenBytes = write_pe(broken, &l);
    put_u32(brokenBytes, l.import_ofs + 12, 0x7FFF0000);   // its own import names a DLL outside the file
    files({{"ok.dll", export_dll({"f"})},
           {"bad.dll", BYTES(100, 'x')},
           {"broken.dll", brokenBytes},
           {"miss.dll", export_dll({}, {{"none.dll", {pe_name("f")}}})},
           {"noent.dll", export_dll({}, {{"ok.dll", {pe_name("f"), pe_name("g")}}})},
           {"badimg.dll", export_dll({}, {{"bad.dll", {pe_name("f")}}})},
           {"deep.dll", export_dll({}, {{"miss.dll", {}}})},
           {"bigord.dll", export_dll({}, {{"ok.dll", {pe_ord(0x10001)}}})},
           {"iat.dll", export_dll({}, {{"ok.dll", {pe_name("zz")}, true}})}});
    // The cause: each step as "DLL (the file's name found for it) error", an entry after ':'.
    struct {
        const char* name;
        uint32_t err;
        const char* cause;
    } cases[] = {
        {"broken.dll", LOAD_ERR_BAD_EXE_FORMAT, "broken.dll (broken.dll) 193"},
        {"miss.dll", LOAD_ERR_MOD_NOT_FOUND, "miss.dll (miss.dll) 126 > none.dll () 126"},
        {"noent.dll", LOAD_ERR_PROC_NOT_FOUND, "noent.dll (noent.dll) 127 > ok.dll:g (ok.dll) 127"},
        {"badimg.dll", LOAD_ERR_BAD_EXE_FORMAT, "badimg.dll (badimg.dll) 193 > bad.dll (bad.dll) 193"},
        {"deep.dll", LOAD_ERR_MOD_NOT_FOUND, "deep.dll (deep.dll) 126 > miss.dll (miss.dll) 126 > none.dll () 126"},
        {"bigord.dll", LOAD_ERR_PROC_NOT_FOUND, "bigord.dll (bigord.dll) 127 > ok.dll:#65537 (ok.dll) 127"},
        {"iat.dll", LOAD_ERR_PROC_NOT_FOUND, "iat.dll (iat.dll) 127 > ok.dll:zz (ok.dll) 127"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(load_error(c.name), c.err);
        LOAD_FAILURE why;
        EXPECT_EQ(loader_load(c.name, &why), nullptr);
        EXPECT_EQ(cause_text(why), c.cause);
    }
    LOAD_FAILURE why;
    loader_load("broken.dll", &why);
    EXPECT_EQ(why.reason, "the import table reaches outside the image (at 0x7fff0000)");
}

// A failed load unloads what it loaded on its way, so a later load reads the disk afresh.
TEST_F(LoaderTest, FailedLoadIsRolledBack) {
    files({{"top.dll", export_dll({}, {{"mid.dll", {pe_name("m")}}, {"gone.dll", {}}})},
           {"mid.dll", export_dll({"m"}, {{"leaf.dll", {pe_name("l")}}})},
           {"leaf.dll", export_dll({"l"})}});
    EXPECT_EQ(load_error("top.dll"), LOAD_ERR_MOD_NOT_FOUND);
    files({{"leaf.dll", export_dll({"l", "new"})}});
    HMODULE h = LoadLibraryA("leaf.dll");
    ASSERT_NE(h, nullptr);
    EXPECT_NE(GetProcAddress(h, "new"), 0u);
}

TEST_F(LoaderTest, ImportCyclesLoad) {
    files({{"a.dll", export_dll({"fa"}, {{"b.dll", {pe_name("fb")}}})},
           {"b.dll", export_dll({"fb"}, {{"A.DLL", {pe_name("fa")}}})}});
    HMODULE a = LoadLibraryA("a.dll");
    ASSERT_NE(a, nullptr);
    HMODULE b = LoadLibraryA("b.dll");
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(LoadLibraryA("a"), a);
}

// Ten thousand DLLs, each importing the next: no recursion, so no stack overflow.
TEST_F(LoaderTest, LongChainsLoadAndRollBack) {
    const int kChain = 10000;
    std::vector<TOOL_FILE> f;
    for (int i = 0; i < kChain; i++) {
        std::vector<PE_IMPORT> imp;
        if (i + 1 < kChain) imp.push_back({"d" + std::to_string(i + 1) + ".dll", {pe_name("f")}});
        f.push_back({"d" + std::to_string(i) + ".dll", export_dll({"f"}, imp)});
    }
    files(f);
    EXPECT_EQ(load_error("d0.dll"), 0u);
    loader_reset();
    remove((dir + "/d" + std::to_string(kChain - 1) + ".dll").c_str());
    EXPECT_EQ(load_error("d9000.dll"), LOAD_ERR_MOD_NOT_FOUND);
    EXPECT_EQ(load_error("d9998.dll"), LOAD_ERR_MOD_NOT_FOUND);
}

TEST_F(LoaderTest, EntriesByOrdinalAndByName) {
    PE_DESC d;
    d.export_base = 5;
    d.exports = {PE_EXPORT{5, "five", "", 0x1000}, PE_EXPORT{6, "dup", "", 0}, PE_EXPORT{7, "dup", "", 0x1000},
                 PE_EXPORT{8, "", "", 0x1000}};
    PE_LAYOUT l;
    BYTES b = write_pe(d, &l);
    put_u32(b, l.eat_ofs + 4, 0);   // ordinal 6, the first "dup", has address 0
    files({{"o.dll", b}});
    HMODULE h = LoadLibraryA("o.dll");
    ASSERT_NE(h, nullptr);
    struct {
        const char* what;
        const char* query;
        bool resolves;
    } cases[] = {
        {"ordinal at Base", reinterpret_cast<const char*>(5), true},
        {"ordinal below Base", reinterpret_cast<const char*>(4), false},
        {"ordinal past the table", reinterpret_cast<const char*>(9), false},
        {"ordinal without a name", reinterpret_cast<const char*>(8), true},
        {"ordinal whose address is 0", reinterpret_cast<const char*>(6), false},
        {"name", "five", true},
        {"name in another case", "FIVE", false},
        {"first of two equal names (address 0)", "dup", false},
        {"missing name", "six", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        uintptr_t v = GetProcAddress(h, c.query);
        EXPECT_EQ(v != 0, c.resolves);
        if (v == 0) {
            EXPECT_EQ(GetLastError(), LOAD_ERR_PROC_NOT_FOUND);
        }
        EXPECT_NE(v, 0xFE37u);
    }
    EXPECT_EQ(GetProcAddress(h, "five"), GetProcAddress(h, reinterpret_cast<const char*>(5)));
}

// A name imported with a hint resolves to the first equal name in table order, in a table
// that ascends and in one that does not, wherever the hint points. The first "dup" has
// address 0, so finding it fails the load.
TEST_F(LoaderTest, ImportHintsNeverPassTheFirstEqualName) {
    const std::vector<std::string> tables[] = {{"a", "dup", "dup", "z"}, {"z", "dup", "a", "dup"}};
    for (const auto& names : tables) {
        PE_LAYOUT l;
        PE_DESC e;
        for (uint32_t k = 0; k < names.size(); k++) e.exports.push_back(PE_EXPORT{k + 1, names[k], "", 0});
        BYTES eb = write_pe(e, &l);
        put_u32(eb, l.eat_ofs + 4, 0);
        for (const char* name : {"a", "z", "dup", "b"}) {
            for (uint16_t hint = 0; hint <= names.size(); hint++) {
                SCOPED_TRACE(testing::Message() << names[0] << " table, " << name << " hint " << hint);
                loader_reset();
                files({{"e.dll", eb}, {"imp.dll", export_dll({}, {{"e.dll", {pe_name(name, hint)}}})}});
                bool fLoads = name[0] == 'a' || name[0] == 'z';
                EXPECT_EQ(load_error("imp.dll"), fLoads ? 0u : LOAD_ERR_PROC_NOT_FOUND);
            }
        }
    }
}

TEST_F(LoaderTest, Forwarders) {
    PE_DESC a;
    a.exports = {
        PE_EXPORT{1, "byname", "target.real", 0},   PE_EXPORT{2, "byord", "TARGET.#2", 0},
        PE_EXPORT{3, "nodot", "target", 0},         PE_EXPORT{4, "nodll", ".real", 0},
        PE_EXPORT{5, "noentry", "target.", 0},      PE_EXPORT{6, "missingdll", "absent.real", 0},
        PE_EXPORT{7, "self", "fwd.self", 0},        PE_EXPORT{8, "badord", "target.#x", 0},
        PE_EXPORT{9, "pingpong", "pong.back", 0},   PE_EXPORT{10, "bigord", "target.#65536", 0},
    };
    PE_DESC pong;
    pong.exports = {PE_EXPORT{1, "back", "fwd.pingpong", 0}};
    files({{"fwd.dll", write_pe(a)}, {"pong.dll", write_pe(pong)}, {"target.dll", export_dll({"real", "second"})}});
    HMODULE h = LoadLibraryA("fwd.dll");
    ASSERT_NE(h, nullptr);
    struct {
        const char* name;
        bool resolves;
    } cases[] = {{"byname", true},      {"byord", true},  {"nodot", false},    {"nodll", false},   {"noentry", false},
                 {"missingdll", false}, {"self", false},  {"badord", false},   {"pingpong", false}, {"bigord", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        uintptr_t v = GetProcAddress(h, c.name);
        EXPECT_EQ(v != 0, c.resolves);
        if (!v) {
            EXPECT_EQ(GetLastError(), LOAD_ERR_PROC_NOT_FOUND);
        }
    }
    // A forwarder's DLL that does not load, or an entry it lacks, is the cause past the entry.
    LOAD_FAILURE why;
    EXPECT_EQ(loader_resolve(h, "missingdll", &why), 0u);
    EXPECT_EQ(cause_text(why), ":missingdll (fwd.dll) 127 > absent () 126");
    EXPECT_EQ(loader_resolve(h, "noentry", &why), 0u);
    EXPECT_EQ(cause_text(why), ":noentry (fwd.dll) 127");
    HMODULE t = LoadLibraryA("target.dll");
    EXPECT_EQ(GetProcAddress(h, "byname"), GetProcAddress(t, "real"));
    EXPECT_EQ(GetProcAddress(h, "byord"), GetProcAddress(t, "second"));
}

// f forwards through n1 .. n33; from n1 it takes 32 hops, from n0 one too many.
TEST_F(LoaderTest, ForwarderChainsEndAfter32Hops) {
    std::vector<TOOL_FILE> f;
    for (int i = 0; i < 34; i++) {
        PE_DESC d;
        d.exports = {PE_EXPORT{1, "f", i < 33 ? "n" + std::to_string(i + 1) + ".f" : "", 0}};
        f.push_back({"n" + std::to_string(i) + ".dll", write_pe(d)});
    }
    files(f);
    EXPECT_NE(GetProcAddress(LoadLibraryA("n1.dll"), "f"), 0u);
    EXPECT_EQ(GetProcAddress(LoadLibraryA("n0.dll"), "f"), 0u);
}

// Export tables pointing outside the file, or claiming huge counts, resolve nothing and
// read nothing outside the file.
TEST_F(LoaderTest, HostileExportTables) {
    PE_LAYOUT l;
    PE_DESC d;
    d.exports = {PE_EXPORT{1, "f", "", 0}, PE_EXPORT{2, "g", "", 0}};
    const BYTES good = write_pe(d, &l);
    struct {
        const char* what;
        size_t ofs;
        uint32_t value;
    } cases[] = {
        {"directory outside the file", pe_dir_ofs(l, 0), 0x7FFF0000},
        {"huge NumberOfFunctions, table outside", l.export_ofs + 28, 0xFFFFFF00},
        {"huge NumberOfNames", l.export_ofs + 24, 0xFFFFFFFF},
        {"name pointers outside", l.export_ofs + 32, 0x7FFFFFF0},
        {"ordinal table outside", l.export_ofs + 36, 0xFFFFFFFE},
        {"Base near the top", l.export_ofs + 16, 0xFFFFFFFF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        loader_reset();
        BYTES b = good;
        put_u32(b, c.ofs, c.value);
        if (std::string(c.what).find("huge NumberOfF") == 0) put_u32(b, l.export_ofs + 20, 0xFFFFFFFF);
        files({{"h.dll", b}});
        HMODULE h = LoadLibraryA("h.dll");
        ASSERT_NE(h, nullptr);
        for (const char* q : {"f", "g", "zz"}) GetProcAddress(h, q);
        for (uintptr_t o : {0u, 1u, 2u, 3u, 0xFFFFu}) GetProcAddress(h, reinterpret_cast<const char*>(o));
        EXPECT_EQ(GetProcAddress(h, "zz"), 0u);
    }
}

}  // namespace

namespace {

// RVAs map through the first section in table order that holds them; bytes past a
// section's raw data read as zeros.
TEST_F(LoaderTest, RvasMapThroughTheFirstSectionThatHoldsThem) {
    PE_DESC d;
    d.exports = {PE_EXPORT{1, "f", "", 0}};
    BYTES plain = write_pe(d);
    // A section of zeros over the same addresses, earlier in the table, hides the exports.
    d.sections = {{".zero", 0x1000, 0x1000, 0x200, 0x400, BYTES(0x200, 0)}};
    BYTES hidden = write_pe(d);
    // The import directory in a zero-filled tail: one descriptor of zeros ends it at once.
    PE_LAYOUT l;
    PE_DESC e;
    e.imports = {{"absent.dll", {pe_name("f")}}};
    BYTES tail = write_pe(e, &l);
    put_u32(tail, pe_section_ofs(l, 0) + 8, 0x10000);   // VirtualSize far past the raw data
    put_u32(tail, pe_dir_ofs(l, 1), l.data_va + 0x8000);
    files({{"plain.dll", plain}, {"hidden.dll", hidden}, {"tail.dll", tail}});
    EXPECT_NE(GetProcAddress(LoadLibraryA("plain.dll"), "f"), 0u);
    EXPECT_EQ(GetProcAddress(LoadLibraryA("hidden.dll"), "f"), 0u);
    EXPECT_EQ(load_error("tail.dll"), 0u);
}

}  // namespace
