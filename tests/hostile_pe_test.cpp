// PE import directories that share or overlap lookup tables and names: the walk takes no
// more entries and name bytes than the file can justify, and valid modules are untouched.
#include <gtest/gtest.h>

#include <cstring>

#include "common/types.h"
#include "pe/pe_internal.h"
#include "support/in_process.h"
#include "support/pe_writer.h"

using namespace talvek;

namespace {

struct WALK_RESULT {
    int32_t rc;
    int32_t numMods;
    std::vector<std::string> names;
    std::vector<size_t> list_sizes;
    std::vector<std::string> first_list;   // "#n" for an ordinal, the name otherwise
    uint64_t cEntries;                     // nodes in all lists
    uint64_t cbNames;                      // name copies, terminators included
};

// fDelay: the delay-load tables, read with -d, instead of the import directory.
WALK_RESULT walk_imports(const BYTES& b, bool fDelay = false) {
    WALK_RESULT r{0, 0, {}, {}, {}, 0, 0};
    std::unique_ptr<PE_MODULE> mod = read_pe_in_process(b, &r.rc, fDelay);
    r.numMods = fDelay ? mod->numDelayMods : mod->numMods;
    char** names = fDelay ? mod->delayDllNames : mod->dllNames;
    REF_TABLE32& lists = fDelay ? mod->delayRefs : mod->refs;
    for (int32_t i = 1; r.rc == 0 && i <= r.numMods; i++) {
        r.names.push_back(names[i]);
        r.cbNames += strlen(names[i]) + 1;
        size_t n = 0;
        for (REF_NODE32* p = lists.heads[i]; p; p = p->next, n++) {
            std::string e = p->type == REF_BY_ORDINAL ? "#" + std::to_string(p->key)
                                                      : std::string(ref_name_copy(p));
            if (p->type == REF_BY_NAME) r.cbNames += e.size() + 1;
            if (i == 1) r.first_list.push_back(e);
        }
        r.list_sizes.push_back(n);
        r.cEntries += n;
    }
    return r;
}

std::string dll_name(int k) { return "m" + std::to_string(k) + ".dll"; }

// cMods modules; the first imports cEntries entries (ref(j) for j = 0..), the others
// nothing, and then every lookup table RVA is pointed at the first module's table.
BYTES shared_table(int cMods, int cEntries, PE_REF (*ref)(int)) {
    PE_DESC d;
    for (int k = 0; k < cMods; k++) d.imports.push_back({dll_name(k), {}});
    for (int j = 0; j < cEntries; j++) d.imports[0].refs.push_back(ref(j));
    PE_LAYOUT l;
    BYTES b = write_pe(d, &l);
    uint32_t table = rd_u32(b, l.import_ofs);
    for (int k = 1; k < cMods; k++) put_u32(b, l.import_ofs + 20 * size_t(k), table);
    return b;
}

PE_REF ordinal_ref(int j) { return pe_ord(uint32_t(j)); }

TEST(HostilePe, DescriptorsSharingOneTableTakeNoMoreEntriesThanTheFileHolds) {
    // 4,000 modules on one table of 4,000 ordinals: a walk of every table would enter 16
    // million entries from a file of about 100 KiB.
    const int kMods = 4000, kEntries = 4000;
    BYTES b = shared_table(kMods, kEntries, ordinal_ref);
    WALK_RESULT r = walk_imports(b);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.numMods, kMods);
    ASSERT_EQ(r.names.size(), size_t(kMods));
    EXPECT_EQ(r.names[kMods - 1], dll_name(kMods - 1));
    EXPECT_LE(r.cEntries, b.size() / 4);
    // The first tables are read whole, in reverse lookup order as ever; later ones end
    // early, and none holds more than the ones before it.
    ASSERT_EQ(r.first_list.size(), size_t(kEntries));
    EXPECT_EQ(r.first_list.front(), "#3999");
    EXPECT_EQ(r.first_list.back(), "#0");
    EXPECT_EQ(r.list_sizes[1], size_t(kEntries));
    for (size_t k = 1; k < r.list_sizes.size(); k++) EXPECT_LE(r.list_sizes[k], r.list_sizes[k - 1]);
}

TEST(HostilePe, DelayDescriptorsSharingOneNameTableAreHeldToTheSameLimit) {
    // 4,000 delay-load descriptors on one name table of 4,000 ordinals.
    const int kMods = 4000, kEntries = 4000;
    PE_DESC d;
    for (int k = 0; k < kMods; k++) d.delay_imports.push_back({dll_name(k), {}});
    for (int j = 0; j < kEntries; j++) d.delay_imports[0].refs.push_back(pe_ord(uint32_t(j)));
    PE_LAYOUT l;
    BYTES b = write_pe(d, &l);
    uint32_t table = rd_u32(b, l.delay_ofs + 16);
    for (int k = 1; k < kMods; k++) put_u32(b, l.delay_ofs + 32 * size_t(k) + 16, table);
    WALK_RESULT r = walk_imports(b, true);
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.numMods, kMods);
    EXPECT_EQ(r.names[kMods - 1], dll_name(kMods - 1));
    EXPECT_LE(r.cEntries, b.size() / 4);
    EXPECT_EQ(r.first_list.size(), size_t(kEntries));
    EXPECT_EQ(walk_imports(b).numMods, 0);   // no static imports
}

TEST(HostilePe, EntriesNamingOneLongNameCopyNoMoreThanTheFileJustifies) {
    // 30,000 lookup entries of one module all name the same unterminated 5,000-byte name:
    // a copy each would take 120 MiB from a file of about 130 KiB.
    const int kEntries = 30000;
    PE_DESC d;
    d.imports = {{"a.dll", {pe_name(std::string(5000, 'n'))}}};
    for (int j = 1; j < kEntries; j++) d.imports[0].refs.push_back(pe_ord(1));
    PE_LAYOUT l;
    BYTES b = write_pe(d, &l);
    uint32_t hintName = rd_u32(b, l.lookup_ofs[0]);
    for (int j = 0; j < kEntries; j++) put_u32(b, l.lookup_ofs[0] + 4 * size_t(j), hintName);
    WALK_RESULT r = walk_imports(b);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.names, std::vector<std::string>{"a.dll"});
    // Names past the limit are empty, each still its own terminator.
    EXPECT_LE(r.cbNames, 2 * b.size() + PE_BUF_SIZE + r.cEntries + 1);
    // Every entry is still there, the first ones with the name cut at the read size.
    EXPECT_EQ(r.cEntries, uint64_t(kEntries));
    EXPECT_EQ(r.first_list.back(), std::string(PE_BUF_SIZE - 2, 'n'));
}

TEST(HostilePe, ModulesWithTheirOwnTablesAreReadWhole) {
    // Limits that a module written by a linker reaches: every entry of 300 modules with 300
    // entries each, names included, in a file that holds each table and name once.
    PE_DESC d;
    for (int k = 0; k < 300; k++) {
        d.imports.push_back({dll_name(k), {}});
        for (int j = 0; j < 300; j++)
            d.imports.back().refs.push_back(j % 2 ? pe_ord(uint32_t(j)) : pe_name("f" + std::to_string(j)));
    }
    WALK_RESULT r = walk_imports(write_pe(d));
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.cEntries, 300u * 300u);
    EXPECT_EQ(r.list_sizes, std::vector<size_t>(300, 300));
    EXPECT_EQ(r.first_list.front(), "#299");
    EXPECT_EQ(r.first_list.back(), "f0");
}

}  // namespace
