// Fuzz target: the emulated loader's image and export parsing. The input is a DLL (after a
// fixed DOS header and PE signature) loaded beside a small folder of DLLs, then asked for
// entries by ordinal and by name.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "platform/fs_memory.h"
#include "platform/loader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string dir = fuzz_prepare_folder('D');
    BYTES file = fuzz_module_prefix('D');
    // The first byte is for the option bits of the module targets; here it picks the entries
    // and the process (x64 with bit 2).
    uint8_t pick = size ? data[0] : 0;
    if (size > 1) file.insert(file.end(), data + 1, data + size);
    if (!fuzz_write(dir + "/fuzz.dll", file)) return 0;
    // A fresh loader each input, remembering files as within a run.
    talvek::FS_MEMORY mem;
    mem.fOn = true;
    talvek::LOADER_PTR L = talvek::make_loader(&mem, "");
    talvek::loader_select_process(L.get(), pick & 4 ? 0x8664 : 0x014C);
    talvek::HMODULE h = talvek::LoadLibraryA(L.get(), "fuzz.dll");
    if (h) {
        char path[64];
        talvek::GetModuleFileNameA(L.get(), h, path, sizeof path);
        static const char* const names[] = {"a", "b", "loop", "d", "Fwd", ""};
        for (uintptr_t ord = 0; ord < 6; ord++)
            talvek::GetProcAddress(L.get(), h, reinterpret_cast<const char*>(ord + (pick & 3)));
        for (const char* name : names) talvek::GetProcAddress(L.get(), h, name);
    }
    return 0;
}
