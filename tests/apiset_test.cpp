// The API-set schema: resolution by hash and name, importer exceptions, damaged schemas,
// the section in apisetschema.dll, and Wine's own schemas.
#include <gtest/gtest.h>

#include <cstdio>

#include "platform/apiset.h"
#include "support/pe_writer.h"

using namespace talvek;

namespace {

APISET_DESC sample_schema() {
    APISET_DESC d;
    d.entries = {
        {"api-ms-win-crt-runtime-l1-1-0", {{"", "ucrtbase.dll"}}},
        {"api-ms-win-core-synch-l1-2-0",
         {{"", "kernel32.dll"}, {"alpha.dll", "a.dll"}, {"kernel32.dll", "kernelbase.dll"}, {"zeta.dll", "z.dll"}}},
        {"ext-ms-win-empty-l1-1-0", {}},
        {"api-ms-win-blank-l1-1-0", {{"", ""}}},
        // Hashes as "api-ms-win-core-xo-l1-1" does: 'x' * 31 + 'o' == 'z' * 31 + '1'.
        {"api-ms-win-core-z1-l1-1-0", {{"", "zed.dll"}}},
    };
    return d;
}

BYTE_SPAN span_of(const BYTES& b) { return BYTE_SPAN{b.data(), b.size()}; }

TEST(ApiSet, ResolvesByHashNameAndImporter) {
    BYTES section = write_apiset(sample_schema());
    APISET_SCHEMA schema{};
    ASSERT_TRUE(apiset_read_schema(span_of(section), &schema));
    struct {
        const char* name;
        const char* importer;
        APISET_RESULT result;
        const char* host;
    } cases[] = {
        {"api-ms-win-crt-runtime-l1-1-0.dll", "", APISET_HOST, "ucrtbase.dll"},
        {"API-MS-WIN-CRT-RUNTIME-L1-1-0.DLL", "", APISET_HOST, "ucrtbase.dll"},
        {"api-ms-win-crt-runtime-l1-1-7", "", APISET_HOST, "ucrtbase.dll"},   // only the part before the last '-'
        {"api-ms-win-core-synch-l1-2-0.dll", "", APISET_HOST, "kernel32.dll"},
        {"api-ms-win-core-synch-l1-2-0.dll", "/w/sys/KERNEL32.DLL", APISET_HOST, "kernelbase.dll"},
        {"api-ms-win-core-synch-l1-2-0.dll", "Alpha.dll", APISET_HOST, "a.dll"},
        {"api-ms-win-core-synch-l1-2-0.dll", "zeta.dll", APISET_HOST, "z.dll"},
        {"api-ms-win-core-synch-l1-2-0.dll", "other.dll", APISET_HOST, "kernel32.dll"},
        {"ext-ms-win-empty-l1-1-0.dll", "", APISET_NO_HOST, ""},
        {"api-ms-win-blank-l1-1-0.dll", "", APISET_NO_HOST, ""},
        {"api-ms-win-core-z1-l1-1-0.dll", "", APISET_HOST, "zed.dll"},
        {"api-ms-win-core-xo-l1-1-0.dll", "", APISET_NOT_API_SET, ""},   // same hash, other name
        {"api-ms-win-core-synch-l1-2.dll", "", APISET_NOT_API_SET, ""},
        {"api-ms-win-unknown-l1-1-0.dll", "", APISET_NOT_API_SET, ""},
        {"kernel32.dll", "", APISET_NOT_API_SET, ""},
        {"xapi-ms-win-crt-runtime-l1-1-0.dll", "", APISET_NOT_API_SET, ""},
        {"api-", "", APISET_NOT_API_SET, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " from " + c.importer);
        std::string host;
        EXPECT_EQ(apiset_resolve(schema, c.name, c.importer, &host), c.result);
        if (c.result == APISET_HOST) {
            EXPECT_EQ(host, c.host);
        }
    }
}

TEST(ApiSet, DamagedSchemaMeansNoApiSets) {
    APISET_LAYOUT l{};
    const BYTES good = write_apiset(sample_schema(), &l);
    const uint32_t size = uint32_t(good.size());
    struct {
        const char* what;
        size_t ofs;
        uint32_t value;
    } cases[] = {
        {"version 5", 0, 5},
        {"version 7", 0, 7},
        {"entries past the end", 16, size - 24 * 5 + 4},
        {"hash table past the end", 20, size - 8 * 5 + 1},
        {"count needing more bytes than the section", 12, 0x10000000},
        {"count all ones", 12, 0xFFFFFFFF},
        {"entry name outside", l.entry_ofs + 4, size},
        {"entry name of odd length", l.entry_ofs + 8, 3},
        {"hashed part longer than the name", l.entry_ofs + 12, 0x1000},
        {"value table outside", l.entry_ofs + 16, size - 10},
        {"value count all ones", l.entry_ofs + 20, 0xFFFFFFFF},
        {"host name outside", l.value_ofs + 12, size - 1},
        {"hash index past the entries", l.hash_ofs + 4, 5},
        {"hash table not ascending", l.hash_ofs, 0xFFFFFFFF},
        {"hash repeated", l.hash_ofs + 8, rd_u32(good, l.hash_ofs)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        BYTES b = good;
        put_u32(b, c.ofs, c.value);
        APISET_SCHEMA schema{};
        EXPECT_FALSE(apiset_read_schema(span_of(b), &schema));
    }
    // Value tables that each fit and are sound but are shared, claiming more bytes than the
    // section all together: refused, as walking them would take quadratic time.
    APISET_DESC big = sample_schema();
    big.entries.push_back({"api-ms-win-big-l1-1-0", {}});
    for (int k = 0; k < 40; k++) big.entries.back().values.push_back({"m" + std::to_string(100 + k), "h.dll"});
    APISET_LAYOUT bl{};
    BYTES shared = write_apiset(big, &bl);
    APISET_SCHEMA schema{};
    ASSERT_TRUE(apiset_read_schema(span_of(shared), &schema));
    uint32_t bigValues = rd_u32(shared, bl.entry_ofs + 24 * 5 + 16);
    for (size_t i = 0; i < 5; i++) {
        put_u32(shared, bl.entry_ofs + 24 * i + 16, bigValues);
        put_u32(shared, bl.entry_ofs + 24 * i + 20, 40);
    }
    EXPECT_FALSE(apiset_read_schema(span_of(shared), &schema));
    // Strings end the section, so every cut of it loses one.
    for (size_t cut = 0; cut < good.size(); cut++)
        EXPECT_FALSE(apiset_read_schema(BYTE_SPAN{good.data(), cut}, &schema)) << cut;
}

TEST(ApiSet, SectionFoundInTheDll) {
    const BYTES section = write_apiset(sample_schema());
    BYTES dll = write_apiset_dll(section);
    BYTE_SPAN found{};
    ASSERT_TRUE(apiset_find_section(span_of(dll), &found));
    EXPECT_EQ(BYTES(found.p, found.p + found.len), section);
    // Section 0's header starts after the 24-byte file header and the 224-byte optional one.
    const size_t hdr = rd_u32(dll, 0x3C) + 24 + 224;
    BYTES renamed = dll, outside = dll;
    put_str(renamed, hdr, ".apisex");
    put_u32(outside, hdr + 20, uint32_t(dll.size() - 16));
    EXPECT_FALSE(apiset_find_section(span_of(renamed), &found));
    EXPECT_FALSE(apiset_find_section(span_of(outside), &found));
    EXPECT_FALSE(apiset_find_section(BYTE_SPAN{dll.data(), hdr + 39}, &found));
}

TEST(ApiSet, WineSchemas) {
    const char* files[] = {"/usr/lib/i386-linux-gnu/wine/i386-windows/apisetschema.dll",
                           "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/apisetschema.dll"};
    int found = 0;
    for (const char* path : files) {
        SCOPED_TRACE(path);
        FILE* f = fopen(path, "rb");
        if (!f) continue;
        found++;
        BYTES b;
        uint8_t buf[65536];
        for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) b.insert(b.end(), buf, buf + n);
        fclose(f);
        BYTE_SPAN section{};
        APISET_SCHEMA schema{};
        ASSERT_TRUE(apiset_find_section(span_of(b), &section));
        ASSERT_TRUE(apiset_read_schema(section, &schema));
        std::string host;
        EXPECT_EQ(apiset_resolve(schema, "api-ms-win-crt-runtime-l1-1-0.dll", "", &host), APISET_HOST);
        EXPECT_EQ(host, "ucrtbase.dll");
        EXPECT_EQ(apiset_resolve(schema, "api-ms-win-core-synch-l1-2-0.dll", "", &host), APISET_HOST);
        EXPECT_EQ(host, "kernelbase.dll");
        EXPECT_EQ(apiset_resolve(schema, "api-ms-win-deprecated-apis-legacy-l1-1-0.dll", "", &host), APISET_NO_HOST);
        EXPECT_EQ(apiset_resolve(schema, "ucrtbase.dll", "", &host), APISET_NOT_API_SET);
    }
    if (found == 0) GTEST_SKIP() << "Wine's apisetschema.dll is not installed (packages libwine, libwine:i386)";
}

}  // namespace
