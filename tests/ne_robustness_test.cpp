// Damaged NE modules: every truncation and every header, segment and module reference word
// set to 0 and to all-ones ends in a defined result, with every listing option on.
#include <gtest/gtest.h>

#include <set>

#include "support/in_process.h"
#include "support/ne_writer.h"
#include "support/tool_runner.h"

using namespace talvek;

namespace {

BYTES sample_module(NE_LAYOUT* l) {
    NE_DESC d = ne_module({"DOSCALLS", "VIOCALLS"});
    uint16_t foo = d.names.add("FOO");
    d.names.add("");
    d.segs[0].relocs = {ne_ordinal(1, 5), ne_by_name(2, foo), ne_internal_ref(), ne_ordinal(2, 0xFFFF)};
    NE_SEG plain;
    plain.seg_flags = 0;
    plain.write_relocs = false;
    NE_SEG second;
    second.seg_size = 0x11;
    second.relocs = {ne_by_name(1, foo), ne_os_fixup()};
    d.segs.push_back(plain);
    d.segs.push_back(second);
    return write_ne(d, l);
}

// Runs the module in-process with every NE listing option; its result code.
int32_t check(const std::string& dir, const BYTES& file) {
    write_files(dir, {{"app.exe", file}});
    OPTIONS opt;
    opt.segments = opt.imports = opt.ordinals = opt.relocation = opt.reloc_chain = opt.LoadVerbose = true;
    std::string err;
    int32_t rc = check_in_process(dir + "/app.exe", opt, nullptr, &err).rc;
    // A failure is reported exactly once.
    if (rc != 0) {
        EXPECT_NE(err, "");
    }
    return rc;
}

TEST(NeRobustness, EveryTruncationEndsInADefinedCode) {
    NE_LAYOUT l;
    const BYTES good = sample_module(&l);
    const std::string dir = make_temp_dir();
    const std::set<int32_t> allowed = {0, 3, 4, 6, 12};
    ASSERT_EQ(check(dir, good), 0);
    for (size_t n = 0; n < good.size(); n++) {
        SCOPED_TRACE(n);
        int32_t rc = check(dir, BYTES(good.begin(), good.begin() + long(n)));
        EXPECT_TRUE(allowed.count(rc)) << rc;
        // Every table is needed, so no truncation passes as a whole module.
        EXPECT_NE(rc, 0);
    }
    remove_tree(dir);
}

TEST(NeRobustness, EveryWordAtZeroAndAllOnesEndsInADefinedCode) {
    NE_LAYOUT l;
    const BYTES good = sample_module(&l);
    const std::string dir = make_temp_dir();
    const std::set<int32_t> allowed = {0, 3, 4, 6, 12};
    std::vector<size_t> words;
    for (size_t o = 0; o < 64; o += 2) words.push_back(l.ne_hdr + o);
    for (size_t o = l.seg_tbl; o < l.modref_tbl - 1; o += 2) words.push_back(o);
    for (size_t o = l.modref_tbl; o < l.impnam_tbl; o += 2) words.push_back(o);
    for (size_t pos : l.reloc_tbl)
        for (size_t o = 0; o < 2 + 8 * 2; o += 2) words.push_back(pos + o);
    for (size_t pos : words) {
        for (uint16_t v : {uint16_t(0), uint16_t(0xFFFF)}) {
            SCOPED_TRACE(std::to_string(pos) + " = " + std::to_string(v));
            BYTES file = good;
            put_u16(file, pos, v);
            int32_t rc = check(dir, file);
            EXPECT_TRUE(allowed.count(rc)) << rc;
        }
    }
    remove_tree(dir);
}

}  // namespace
