// The PE import directory walk: counting, names, entry lists, and where the walk ends.
#include <gtest/gtest.h>

#include <cstring>

#include "common/types.h"
#include "pe/pe_internal.h"
#include "support/in_process.h"
#include "support/pe_writer.h"
#include "support/tool_runner.h"

using namespace talvek;

namespace {

// One entry of a list as read back: "#n" for an ordinal, the name otherwise.
typedef std::vector<std::string> ENTRIES;

struct READ_RESULT {
    int32_t rc;
    std::vector<std::string> names;
    std::vector<ENTRIES> lists;
    std::vector<const void*> name_refs;   // the references behind by-name entries of list 1
};

READ_RESULT read_imports(const BYTES& b) {
    READ_RESULT r{0, {}, {}, {}};
    std::unique_ptr<PE_MODULE> mod = read_pe_in_process(b, &r.rc);
    for (int32_t i = 1; r.rc == 0 && i <= mod->numMods; i++) {
        r.names.push_back(mod->dllNames[i]);
        ENTRIES e;
        for (REF_NODE32* n = mod->refs.heads[i]; n; n = n->next) {
            if (n->type == REF_BY_ORDINAL)
                e.push_back("#" + std::to_string(n->key));
            else
                e.push_back(ref_name_copy(n));
            if (i == 1 && n->type == REF_BY_NAME) r.name_refs.push_back(reinterpret_cast<const void*>(n->key));
        }
        r.lists.push_back(e);
    }
    return r;
}

TEST(PeImports, ModulesAndEntriesInOrder) {
    PE_DESC d;
    d.imports = {
        {"first.dll", {pe_name("one"), pe_name("two"), pe_name("three"), pe_ord(16), pe_ord(16), pe_name("two")}},
        {"second.dll", {pe_ord(0), pe_ord(0x7FFFFFFF)}},
        {"empty.dll", {}},
    };
    READ_RESULT r = read_imports(write_pe(d));
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.names, (std::vector<std::string>{"first.dll", "second.dll", "empty.dll"}));
    // Reverse lookup order; the repeated ordinal once, the repeated name twice.
    EXPECT_EQ(r.lists[0], (ENTRIES{"two", "#16", "three", "two", "one"}));
    ASSERT_EQ(r.name_refs.size(), 4u);
    EXPECT_NE(r.name_refs[0], r.name_refs[3]);
    EXPECT_EQ(r.lists[1], (ENTRIES{"#2147483647", "#0"}));
    EXPECT_EQ(r.lists[2], ENTRIES{});
}

TEST(PeImports, LookupTableRvaZeroReadsTheAddressTable) {
    PE_DESC d;
    d.imports = {{"a.dll", {pe_name("fa")}, true}, {"b.dll", {pe_ord(3)}}};
    READ_RESULT r = read_imports(write_pe(d));
    EXPECT_EQ(r.names, (std::vector<std::string>{"a.dll", "b.dll"}));
    EXPECT_EQ(r.lists, (std::vector<ENTRIES>{{"fa"}, {"#3"}}));
}

TEST(PeImports, WhereTheDirectoryEnds) {
    PE_LAYOUT l;
    PE_DESC d;
    d.imports = {{"a.dll", {pe_ord(1)}}, {"b.dll", {pe_ord(2)}}, {"c.dll", {pe_ord(3)}}};
    const BYTES good = write_pe(d, &l);
    struct {
        const char* what;
        size_t ofs;
        uint32_t value;
        size_t count;
    } cases[] = {
        {"second Name RVA 0", l.import_ofs + 20 + 12, 0, 1},
        {"second address table RVA 0", l.import_ofs + 20 + 16, 0, 1},
        {"first lookup RVA 0 with both others set", l.import_ofs + 0, 0, 3},
        {"import directory RVA 0", pe_dir_ofs(l, 1), 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        BYTES b = good;
        put_u32(b, c.ofs, c.value);
        EXPECT_EQ(read_imports(b).names.size(), c.count);
    }
    // Without a terminating descriptor the walk ends where the file does.
    PE_DESC open = d;
    open.import_terminator = false;
    BYTES b = write_pe(open, &l);
    put_u32(b, pe_dir_ofs(l, 1), uint32_t(l.data_va + (b.size() - l.data_raw) - 20));
    BYTES tail(20, 0);
    put_u32(tail, 12, l.data_va + 16);   // a name RVA and an address table RVA, then the end of the file
    put_u32(tail, 16, l.data_va + 16);
    put_bytes(b, b.size() - 20, tail);
    EXPECT_EQ(read_imports(b).names.size(), 1u);
}

TEST(PeImports, ShortReadsEndListsAndNames) {
    PE_LAYOUT l;
    PE_DESC d;
    d.imports = {{"a.dll", {pe_ord(1)}}};
    BYTES b = write_pe(d, &l);
    // The lookup table moved to the last 8 bytes: two ordinals, then the file ends.
    uint32_t tailRva = uint32_t(l.data_va + (b.size() - l.data_raw) - 8);
    put_u32(b, l.import_ofs, tailRva);
    put_u32(b, b.size() - 8, 0x80000007);
    put_u32(b, b.size() - 4, 0x80000008);
    // The module name moved to 3 bytes before the end, unterminated.
    BYTES c = write_pe(d, &l);
    put_u32(c, l.import_ofs + 12, uint32_t(l.data_va + (c.size() - l.data_raw) - 3));
    put_str(c, c.size() - 3, "xyz");
    READ_RESULT r = read_imports(b);
    EXPECT_EQ(r.lists, (std::vector<ENTRIES>{{"#8", "#7"}}));
    r = read_imports(c);
    EXPECT_EQ(r.names, (std::vector<std::string>{"xyz"}));
}

TEST(PeImports, LongNamesAreCutAtTheReadSize) {
    PE_DESC d;
    d.imports = {{std::string(5000, 'm'), {pe_name(std::string(5000, 'e'))}}};
    READ_RESULT r = read_imports(write_pe(d));
    ASSERT_EQ(r.names.size(), 1u);
    EXPECT_EQ(r.names[0], std::string(4096, 'm'));
    EXPECT_EQ(r.lists[0], ENTRIES{std::string(4094, 'e')});
}

// Every RVA of the import data is read with the import directory's displacement, even one
// that lies in another section.
TEST(PeImports, NamesInAnotherSectionUseTheImportDisplacement) {
    PE_LAYOUT l;
    PE_DESC d;
    d.imports = {{"a.dll", {pe_ord(1)}}};
    d.sections = {{".other", 0x8000, 0x200, 0x200, 0x400, {}}};
    d.sections[0].data = BYTES{'w', 'r', 'o', 'n', 'g', 0};
    BYTES b = write_pe(d, &l);
    put_u32(b, l.import_ofs + 12, 0x8000);
    size_t at = l.data_raw + (0x8000 - l.data_va);
    put_str(b, at, "right.dll");
    put_u8(b, at + 9, 0);
    EXPECT_EQ(read_imports(b).names, std::vector<std::string>{"right.dll"});
}

TEST(PeImports, TableThatCannotBeHadIsCode6) {
    PE_DESC d;
    d.imports = {{"a.dll", {pe_ord(1)}}};
    BYTES b = write_pe(d);
    // Fails the allocations of the list heads (two pointers) and nothing else.
    OPTIONS opt;
    opt.alloc = [](size_t cb) -> void* { return cb == 2 * sizeof(void*) ? nullptr : malloc(cb); };
    std::string dir = make_temp_dir(), out, err;
    write_files(dir, {{"app.exe", b}});
    EXPECT_EQ(check_in_process(dir + "/app.exe", opt, &out, &err).rc, 6);
    EXPECT_EQ(out, "32-bit NT 'PE' Module\n1 imported module(s) found.\n");
    EXPECT_EQ(err, "Insufficient memory.\n");
    remove_tree(dir);
}

}  // namespace
