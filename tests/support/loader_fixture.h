// A fixture for the emulated loader's tests: a fresh folder as the current directory, the
// search variables under the test's control, and a loader with nothing loaded. Its members
// stand for the loader calls of the same names, on that loader.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/fs_memory.h"
#include "platform/loader.h"
#include "support/pe_writer.h"
#include "support/tool_runner.h"

class LoaderTest : public testing::Test {
protected:
    std::string dir;
    talvek::FS_MEMORY mem;          // what the loader remembers of files: off unless a test turns it on
    std::string wineRoot;           // where Wine's DLL folders are looked for
    talvek::LOADER_PTR L;

    // A loader afresh, with nothing loaded and what was remembered of files forgotten.
    void loader_reset() {
        mem.forget();
        L = talvek::make_loader(&mem, wineRoot);
    }
    void remember_dir_listings(bool fOn) {
        mem.fOn = fOn;
        mem.forget();
    }
    talvek::HMODULE LoadLibraryA(const char* name) { return talvek::LoadLibraryA(L.get(), name); }
    talvek::HMODULE loader_load(const char* name, talvek::LOAD_FAILURE* why) { return talvek::loader_load(L.get(), name, why); }
    uintptr_t GetProcAddress(talvek::HMODULE h, const char* name) { return talvek::GetProcAddress(L.get(), h, name); }
    uintptr_t loader_resolve(talvek::HMODULE h, const char* name, talvek::LOAD_FAILURE* why) {
        return talvek::loader_resolve(L.get(), h, name, why);
    }
    uint32_t GetModuleFileNameA(talvek::HMODULE h, char* buf, uint32_t n) { return talvek::GetModuleFileNameA(L.get(), h, buf, n); }
    uint32_t GetLastError() { return talvek::GetLastError(L.get()); }
    void loader_set_application_path(const char* path) { talvek::loader_set_application_path(L.get(), path); }
    void loader_select_process(uint16_t machine) { talvek::loader_select_process(L.get(), machine); }
    void loader_set_target_windows(talvek::WINDOWS_VERSION v) { talvek::loader_set_target_windows(L.get(), v); }
    talvek::LOADED_FROM loader_loaded_from(talvek::HMODULE h) { return talvek::loader_loaded_from(L.get(), h); }
    void loader_set_search(talvek::SEARCH_MODE mode, const std::vector<std::string>& dllDirs) {
        talvek::loader_set_search(L.get(), mode, dllDirs);
    }
    bool loader_start_host(const char* host, const char* module, std::vector<talvek::LOAD_FAILURE>* failed,
                           std::string* reason) {
        return talvek::loader_start_host(L.get(), host, module, failed, reason);
    }

    void SetUp() override {
        dir = make_temp_dir();
        char buf[4096];
        oldCwd = getcwd(buf, sizeof buf) ? buf : "/";
        save("PATH", &oldPath);
        save("WINEPATH", &oldWinePath);
        setenv("PATH", "", 1);
        unsetenv("WINEPATH");
        // With WINEPATH unset Wine's folder is looked for under this root: none is there
        // unless a test lays one out.
        wineRoot = dir + "/root";
        loader_reset();
        ASSERT_EQ(chdir(dir.c_str()), 0);
    }

    void TearDown() override {
        L.reset();
        (void)!chdir(oldCwd.c_str());
        restore("PATH", oldPath);
        restore("WINEPATH", oldWinePath);
        remove_tree(dir);
    }

    void files(const std::vector<TOOL_FILE>& f) { write_files(dir, f); }

    // The loaded file's path as GetModuleFileNameA gives it, relative to the folder.
    std::string where(talvek::HMODULE h) {
        char buf[1024];
        if (GetModuleFileNameA(h, buf, sizeof buf) == 0) return "?";
        std::string s(buf);
        return s.compare(0, dir.size() + 1, dir + "/") == 0 ? s.substr(dir.size() + 1) : s;
    }

    // The error code of loading name, 0 when it loads.
    uint32_t load_error(const char* name) {
        return LoadLibraryA(name) ? 0 : GetLastError();
    }

private:
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
// an x64 one; fProgram: a program (an .exe) rather than a DLL.
inline BYTES export_dll(const std::vector<std::string>& names, const std::vector<PE_IMPORT>& imports = {},
                        bool fWide = false, bool fProgram = false) {
    PE_DESC d;
    uint32_t ord = 1;
    for (const std::string& n : names) d.exports.push_back(PE_EXPORT{ord++, n, "", 0});
    d.export_dir = true;
    d.imports = imports;
    d.program = fProgram;
    return write_pe(fWide ? pe_wide(d) : d);
}

// A program importing what it is given.
inline BYTES import_app(const std::vector<PE_IMPORT>& imports) {
    PE_DESC d;
    d.imports = imports;
    return write_pe(d);
}
