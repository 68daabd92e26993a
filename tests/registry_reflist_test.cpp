// The checked-module registry and the per-DLL reference lists, in process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/reflist.h"
#include "common/types.h"
#include "driver/registry.h"
#include "talvek.h"
#include "support/tool_runner.h"

using namespace talvek;

namespace {

std::vector<std::string> registry_names(const REGISTRY& reg) {
    std::vector<std::string> names;
    for (PLOADED_FILE p = reg.pLoadedFiles; p; p = p->pNext) names.push_back(p->filespec);
    return names;
}

template <class NODE>
std::vector<std::pair<uint64_t, int>> list_of(const REF_TABLE<NODE>& t, uint16_t mod) {
    std::vector<std::pair<uint64_t, int>> v;
    for (const NODE* n = t.heads[mod]; n; n = n->next) v.push_back({uint64_t(n->key), n->type});
    return v;
}

// Allocation fails once `budget` more allocations have been served.
int g_alloc_budget;
void* limited_alloc(size_t cb) { return g_alloc_budget-- > 0 ? malloc(cb ? cb : 1) : nullptr; }

// The registry's reports, printed as the tool prints them at a level of the test's choosing.
struct LEVELLED_TEXT : REPORT_SINK {
    std::unique_ptr<REPORT_SINK> text = make_text_report(OPTIONS{});
    uint32_t level = 1;
    void event(const REPORT_EVENT& ev) override {
        REPORT_EVENT e = ev;
        e.level = level;
        text->event(e);
    }
};

class RegistryTest : public ::testing::Test {
  protected:
    std::string dir = make_temp_dir();
    std::string saved_cwd;
    REGISTRY reg;
    LEVELLED_TEXT sink;
    FILE* get_file(const char* name) {
        int32_t rc = 0;
        return talvek::get_file(&reg, &sink, name, sink.level, false, &rc);
    }
    bool find_file(const char* name) { return talvek::find_file(&reg, name); }
    void SetUp() override {
        write_files(dir, {{"a.dll", {1}}, {"A.DLL", {2}}, {"b.dll", {3}}});
        char buf[4096];
        saved_cwd = getcwd(buf, sizeof buf) ? buf : "/";
        ASSERT_EQ(chdir(dir.c_str()), 0);
    }
    void TearDown() override {
        (void)!chdir(saved_cwd.c_str());
        remove_tree(dir);
    }
};

TEST_F(RegistryTest, EmptyRegistryFindsNothing) {
    EXPECT_FALSE(find_file("a.dll"));
    EXPECT_FALSE(find_file(""));
}

TEST_F(RegistryTest, SecondRequestForSameNameIsSkippedSilently) {
    FILE* f = get_file("a.dll");
    ASSERT_NE(f, nullptr);
    fclose(f);
    testing::internal::CaptureStderr();
    EXPECT_EQ(get_file("a.dll"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(reg.cLoadedFiles, 1);
}

TEST_F(RegistryTest, CaseVariantsAreTwoModulesInRequestOrder) {
    for (const char* name : {"b.dll", "A.DLL", "a.dll"}) {
        FILE* f = get_file(name);
        ASSERT_NE(f, nullptr) << name;
        fclose(f);
    }
    EXPECT_EQ(registry_names(reg), (std::vector<std::string>{"b.dll", "A.DLL", "a.dll"}));
    EXPECT_TRUE(find_file("A.DLL"));
    EXPECT_FALSE(find_file("a.DLL"));
}

TEST_F(RegistryTest, FailedOpenIsRecordedAndReportedOnce) {
    sink.level = 2;
    testing::internal::CaptureStderr();
    EXPECT_EQ(get_file("missing.dll"), nullptr);
    EXPECT_EQ(get_file("missing.dll"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "  Unable to open 'missing.dll'.\n");
    EXPECT_EQ(registry_names(reg), std::vector<std::string>{"missing.dll"});
}

TEST_F(RegistryTest, NoMemoryForARecordEntersNothing) {
    g_alloc_budget = 0;
    reg.FileIndex.alloc = limited_alloc;
    testing::internal::CaptureStderr();
    EXPECT_EQ(get_file("a.dll"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "QUERNIX:  Unable to process any more files\n");
    EXPECT_EQ(reg.cLoadedFiles, 0);
    // A later request tries again, since no record was entered.
    reg.FileIndex.alloc = nullptr;
    FILE* f = get_file("a.dll");
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_EQ(reg.cLoadedFiles, 1);
}

TEST_F(RegistryTest, LongNamesAreKeptWhole) {
    std::string name(300, 'n');
    EXPECT_EQ(get_file(name.c_str()), nullptr);   // no such file; the record stays
    std::string other = name + "x";
    EXPECT_FALSE(find_file(other.c_str()));
    EXPECT_TRUE(find_file(name.c_str()));
    EXPECT_EQ(registry_names(reg)[0], name);
}

TEST_F(RegistryTest, ManyNamesKeepOrderAndIdentity) {
    testing::internal::CaptureStderr();
    for (int i = 0; i < 5000; i++) get_file(("m" + std::to_string(i)).c_str());
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(reg.cLoadedFiles, 5000);
    std::vector<std::string> names = registry_names(reg);
    for (int i = 0; i < 5000; i += 499) EXPECT_EQ(names[size_t(i)], "m" + std::to_string(i));
    EXPECT_TRUE(find_file("m4999"));
    EXPECT_FALSE(find_file("m5000"));
}

TEST(RefList, NewestFirstOnceEach) {
    REF_TABLE32 t;
    ASSERT_TRUE(alloc_ref_table(&t, 2, nullptr));
    AddRelocEntry32(&t, 1, 10, REF_BY_ORDINAL);   // X
    AddRelocEntry32(&t, 1, 20, REF_BY_ORDINAL);   // Y
    AddRelocEntry32(&t, 1, 30, REF_BY_NAME);      // Z
    AddRelocEntry32(&t, 1, 10, REF_BY_ORDINAL);   // X again does not move
    for (int i = 0; i < 10; i++) AddRelocEntry32(&t, 2, 5, REF_BY_ORDINAL);
    AddRelocEntry32(&t, 2, 5, REF_BY_NAME);       // same number, other kind: a second entry
    AddRelocEntry32(&t, 1, 5, REF_BY_ORDINAL);    // the same ordinal from another DLL
    AddRelocEntry32(&t, 3, 7, REF_BY_ORDINAL);    // a module number past the table is ignored
    typedef std::vector<std::pair<uint64_t, int>> L;
    EXPECT_EQ(list_of(t, 1), (L{{5, 2}, {30, 1}, {20, 2}, {10, 2}}));
    EXPECT_EQ(list_of(t, 2), (L{{5, 1}, {5, 2}}));
    EXPECT_EQ(list_of(t, 0), L{});
    free_ref_lists(&t);
    free_ref_lists(&t);   // a released table can be released again
}

TEST(RefList, SixteenBitListsAndGrowth) {
    REF_TABLE16 t;
    ASSERT_TRUE(alloc_ref_table(&t, 3, nullptr));
    for (uint32_t i = 0; i < 70000; i++) AddRelocEntry(&t, uint16_t(1 + i % 3), uint16_t(i), uint8_t(1 + i / 65536 % 2));
    for (uint32_t i = 0; i < 70000; i++) AddRelocEntry(&t, uint16_t(1 + i % 3), uint16_t(i), uint8_t(1 + i / 65536 % 2));
    size_t total = 0;
    for (uint16_t m = 1; m <= 3; m++) total += list_of(t, m).size();
    EXPECT_EQ(total, 70000u);
    // The newest entry of list 1 is the last inserted there: i = 69999 (69999 % 3 == 0).
    EXPECT_EQ(list_of(t, 1).front(), (std::pair<uint64_t, int>{uint16_t(69999), 2}));
    EXPECT_EQ(list_of(t, 1).back(), (std::pair<uint64_t, int>{0, 1}));
    free_ref_lists(&t);
}

TEST(RefList, TableThatCannotBeHad) {
    REF_TABLE32 t;
    EXPECT_FALSE(alloc_ref_table(&t, uint64_t(1) << 40, nullptr));
    g_alloc_budget = 0;
    EXPECT_FALSE(alloc_ref_table(&t, 4, limited_alloc));
    ASSERT_TRUE(alloc_ref_table(&t, 0, nullptr));   // no imports: an empty table, no failure
    free_ref_lists(&t);
}

// A node that cannot be had is refused, and the list is as it was; the caller ends the run.
TEST(RefList, NodeThatCannotBeHadIsRefused) {
    REF_TABLE32 t;
    g_alloc_budget = 1;   // the heads, and nothing more
    ASSERT_TRUE(alloc_ref_table(&t, 1, limited_alloc));
    EXPECT_FALSE(AddRelocEntry32(&t, 1, 1, REF_BY_ORDINAL));
    EXPECT_EQ(t.heads[1], nullptr);
    free_ref_lists(&t);
}

}  // namespace
