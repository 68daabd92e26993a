// Copying a file into a folder: each outcome, and no partial file after a failed copy.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/file_copy.h"
#include "support/tool_runner.h"

using namespace talvek;

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// More than one 64 KiB chunk, so that comparing and copying go past the first.
std::string sample(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = char(i * 7 + i / 251);
    return s;
}

BYTES bytes(const std::string& s) { return BYTES(s.begin(), s.end()); }

TEST(FileCopy, CopiesLeavesRefusesOrReplaces) {
    const std::string src = sample(70000), prefix = src.substr(0, 65536);
    std::string last = src;
    last.back() ^= 1;
    const struct { const char* what; const std::string* old; bool fForce; COPY_OUTCOME outcome; } cases[] = {
        {"no file there", nullptr, false, COPY_NEW},
        {"identical file", &src, false, COPY_IDENTICAL},
        {"identical file, forced", &src, true, COPY_IDENTICAL},
        {"last byte differs", &last, false, COPY_REFUSED},
        {"first chunk only", &prefix, false, COPY_REFUSED},
        {"last byte differs, forced", &last, true, COPY_REPLACED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string dir = make_temp_dir();
        write_files(dir, {{"src/app.dll", bytes(src)}, {"dist/", {}}});
        if (c.old) write_files(dir, {{"dist/app.dll", bytes(*c.old)}});
        const std::string target = dir + "/dist/app.dll";
        struct stat before {}, after {};
        stat(target.c_str(), &before);
        COPY_RESULT r = copy_file_into(dir + "/src/app.dll", dir + "/dist", c.fForce);
        EXPECT_EQ(r.outcome, c.outcome);
        EXPECT_EQ(r.target, target);
        EXPECT_EQ(r.why, "");
        bool fWritten = c.outcome == COPY_NEW || c.outcome == COPY_REPLACED;
        EXPECT_EQ(read_file(target), fWritten ? src : *c.old);
        // A file left alone is the same file, not a new copy of it.
        EXPECT_EQ(stat(target.c_str(), &after) == 0 && after.st_ino == before.st_ino, !fWritten);
        EXPECT_EQ(dir_entries(dir + "/dist"), std::vector<std::string>{"app.dll"});
        remove_tree(dir);
    }
}

// A copy that fails at any step leaves the folder as it was: the old file, no temporary.
// A source folder fails at its first read, after the temporary was made for the absent
// target; the size limit fails a write once the temporary holds 64 KiB.
TEST(FileCopy, FailedCopyLeavesNoPartialFile) {
    const std::string old = sample(1000);
    const struct { const char* what; const char* src; const char* dest; rlim_t max_file; int err; bool fSrc; } cases[] = {
        {"no source", "src/none.dll", "dist", RLIM_INFINITY, ENOENT, true},
        {"source is a folder", "src/sub.dll", "dist", RLIM_INFINITY, EISDIR, true},
        {"no target folder", "src/app.dll", "none", RLIM_INFINITY, ENOENT, false},
        {"file size limit reached mid-copy", "src/app.dll", "dist", 65536, EFBIG, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string dir = make_temp_dir();
        write_files(dir, {{"src/app.dll", bytes(sample(200000))}, {"src/sub.dll/", {}}, {"dist/app.dll", bytes(old)}});
        struct rlimit saved {};
        getrlimit(RLIMIT_FSIZE, &saved);
        struct rlimit limited = saved;
        limited.rlim_cur = std::min(c.max_file, saved.rlim_max);
        void (*saved_handler)(int) = signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
        COPY_RESULT r = copy_file_into(dir + "/" + c.src, dir + "/" + c.dest, true);
        setrlimit(RLIMIT_FSIZE, &saved);
        signal(SIGXFSZ, saved_handler);
        EXPECT_EQ(r.outcome, COPY_FAILED);
        EXPECT_EQ(r.why, strerror(c.err));
        EXPECT_EQ(r.failed, c.fSrc ? dir + "/" + c.src : r.target);
        EXPECT_EQ(dir_entries(dir + "/dist"), std::vector<std::string>{"app.dll"});
        EXPECT_EQ(read_file(dir + "/dist/app.dll"), old);
        remove_tree(dir);
    }
}

}  // namespace
