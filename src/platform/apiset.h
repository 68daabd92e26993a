// The API-set schema of apisetschema.dll: reading its ".apiset" section and mapping an
// API-set name to the DLL that hosts it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/bytes.h"

namespace talvek {

// Layout of a version 6 namespace. Every offset counts from the namespace's first byte,
// which is the section's first byte; strings are UTF-16LE without a terminator, with
// lengths in bytes.
constexpr uint32_t APISET_VERSION = 6;
constexpr uint32_t APISET_HEADER_SIZE = 28;   // Version, Size, Flags, Count, EntryOffset, HashOffset, HashFactor
constexpr uint32_t APISET_HDR_COUNT = 12;
constexpr uint32_t APISET_HDR_ENTRY_OFFSET = 16;
constexpr uint32_t APISET_HDR_HASH_OFFSET = 20;
constexpr uint32_t APISET_HDR_HASH_FACTOR = 24;
constexpr uint32_t APISET_ENTRY_SIZE = 24;    // Flags, NameOffset, NameLength, HashedLength, ValueOffset, ValueCount
constexpr uint32_t APISET_ENTRY_NAME = 4;     // NameOffset and NameLength of an entry
constexpr uint32_t APISET_ENTRY_HASHED_LENGTH = 12;
constexpr uint32_t APISET_ENTRY_VALUE_OFFSET = 16;
constexpr uint32_t APISET_ENTRY_VALUE_COUNT = 20;
constexpr uint32_t APISET_VALUE_SIZE = 20;    // Flags, NameOffset, NameLength, ValueOffset, ValueLength
constexpr uint32_t APISET_VALUE_NAME = 4;     // the importing module's name
constexpr uint32_t APISET_VALUE_VALUE = 12;   // the host DLL's file name
constexpr uint32_t APISET_HASH_SIZE = 8;      // Hash, Index
constexpr uint32_t APISET_HASH_INDEX = 4;
constexpr char APISET_SECTION_NAME[] = ".apiset";

// A schema that passed every check of apiset_read_schema: its tables and strings lie
// inside ns, so a lookup needs no further bounds decisions.
struct APISET_SCHEMA {
    BYTE_SPAN ns;
    uint32_t Count;
    uint32_t EntryOffset;
    uint32_t HashOffset;
    uint32_t HashFactor;
};

enum APISET_RESULT {
    APISET_NOT_API_SET,   // not a name the schema holds: searched as a file
    APISET_HOST,          // *host names the DLL to load in its place
    APISET_NO_HOST,       // an API set with no value, or an empty one: not found (126)
};

// Checks the namespace in section (version 6, every table, entry and string inside it,
// the hash table in ascending order of Hash with no repeats and valid indexes) in time
// linear in its size. false means no API sets. The schema refers to section's bytes.
bool apiset_read_schema(BYTE_SPAN section, APISET_SCHEMA* schema);

// Resolves name (as imported, with or without ".dll") for the importing module whose file
// name (or path) is importer; "" when the load test asks. Only names starting with "api-" or
// "ext-", ignoring case, are looked up.
APISET_RESULT apiset_resolve(const APISET_SCHEMA& schema, std::string_view name, std::string_view importer,
                             std::string* host);

// The file bytes of the ".apiset" section of the PE image in file; false when the file has
// no such section or its bytes do not lie inside the file.
bool apiset_find_section(BYTE_SPAN file, BYTE_SPAN* section);

}  // namespace talvek
