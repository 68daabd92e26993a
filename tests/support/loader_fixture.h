// A fixture for the emulated loader's tests: a fresh folder as the current directory, the
// search variables under the test's control, and nothing loaded.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/loader.h"
#include "platform/system_dirs.h"
#include "support/pe_writer.h"
#include "support/tool_runner.h"

class LoaderTest : public testing::Test {
protected:
    std::string dir;

    void SetUp() override {
        talvek::loader_reset();
        dir = memory_temp_dir();
        char buf[4096];
        oldCwd = getcwd(buf, sizeof buf) ? buf : "/";
        save("PATH", &oldPath);
        save("WINEPATH", &oldWinePath);
        setenv("PATH", "", 1);
        unsetenv("WINEPATH");
        // With WINEPATH unset Wine's folder is looked for under this root: none is there
        // unless a test lays one out.
        talvek::wine_search_root = dir + "/root";
        ASSERT_EQ(chdir(dir.c_str()), 0);
    }

    void TearDown() override {
        talvek::loader_reset();
        talvek::wine_search_root.clear();
        (void)!chdir(oldCwd.c_str());
        restore("PATH", oldPath);
        restore("WINEPATH", oldWinePath);
        remove_tree(dir);
    }

    void files(const std::vector<TOOL_FILE>& f) { write_files(dir, f); }

    // The loaded file's path as GetModuleFileNameA gives it, relative to the folder.
    std::string where(talvek::HMODULE h) {
        char buf[1024];
        if (talvek::GetModuleFileNameA(h, buf, sizeof buf) == 0) return "?";
        std::string s(buf);
        return s.compare(0, dir.size() + 1, dir + "/") == 0 ? s.substr(dir.size() + 1) : s;
    }

    // The error code of loading name, 0 when it loads.
    uint32_t load_error(const char* name) {
        return talvek::LoadLibraryA(name) ? 0 : talvek::GetLastError();
    }

private:
    // A folder in memory where the system has one: the chain tests write thousands of files.
    static std::string memory_temp_dir() {
        if (access("/dev/shm", W_OK) != 0) return make_temp_dir();
        char tmpl[] = "/dev/shm/talvek-loader-XXXXXX";
        return mkdtemp(tmpl) ? std::string(tmpl) : make_temp_dir();
    }

    std::string oldCwd, oldPath, oldWinePath;
    bool hadPath = false, hadWinePath = false;

    void save(const char* var, std::string* into) {
        const char* v = getenv(var);
        (var[0] == 'P' ? hadPath : hadWinePath) = v != nullptr;
        *into = v ? v : "";
    }
    void restore(const char* var, const std::string& v) {
        if (var[0] == 'P' ? hadPath : hadWinePath)
            setenv(var, v.c_str(), 1);
        else
            unsetenv(var);
    }
};

// A DLL exporting the given names at ordinals 1, 2, ..., importing what it is given; fWide:
// an x64 one.
inline BYTES export_dll(const std::vector<std::string>& names, const std::vector<PE_IMPORT>& imports = {},
                        bool fWide = false) {
    PE_DESC d;
    uint32_t ord = 1;
    for (const std::string& n : names) d.exports.push_back(PE_EXPORT{ord++, n, "", 0});
    d.export_dir = true;
    d.imports = imports;
    return write_pe(fWide ? pe_wide(d) : d);
}

// A program importing what it is given.
inline BYTES import_app(const std::vector<PE_IMPORT>& imports) {
    PE_DESC d;
    d.imports = imports;
    return write_pe(d);
}
