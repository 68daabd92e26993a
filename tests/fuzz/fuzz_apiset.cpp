// Fuzz target: the API-set schema reader. Bit 0 of the first byte says what follows: clear,
// the ".apiset" section's bytes; set, a PE image (after a fixed DOS header and PE signature)
// whose ".apiset" section is found first. Fixed names and the schema's own entry names are
// then resolved for no importer and for one.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/apiset.h"

using namespace talvek;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    BYTES file;
    BYTE_SPAN section{data + 1, size - 1};
    if (data[0] & 1) {
        file = fuzz_module_prefix('P');
        file.insert(file.end(), data + 1, data + size);
        if (!apiset_find_section(BYTE_SPAN{file.data(), file.size()}, &section)) return 0;
    }
    APISET_SCHEMA schema{};
    if (!apiset_read_schema(section, &schema)) return 0;
    std::vector<std::string> names = {"api-ms-win-crt-runtime-l1-1-0.dll", "API-MS-WIN-CORE-SYNCH-L1-2-0",
                                      "ext-ms-win-empty-l1-1-0.dll", "api-", "ext-.dll", "kernel32.dll"};
    // The first entries' own names, their UTF-16 units cut to bytes.
    for (uint32_t i = 0; i < schema.Count && i < 32; i++) {
        uint32_t ofs = 0, cb = 0;
        get_u32(section, schema.EntryOffset + 24ull * i + 4, &ofs);
        get_u32(section, schema.EntryOffset + 24ull * i + 8, &cb);
        std::string name;
        for (uint32_t k = 0; k + 1 < cb && k < 256; k += 2) {
            uint8_t c = 0;
            get_u8(section, uint64_t(ofs) + k, &c);
            name.push_back(char(c));
        }
        names.push_back(name + ".dll");
    }
    std::string host;
    for (const std::string& n : names)
        for (const char* importer : {"", "C:\\windows\\KERNEL32.dll", "zeta.dll"}) apiset_resolve(schema, n, importer, &host);
    return 0;
}
