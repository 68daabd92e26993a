// How names from module files and the file system are written into each output: one escaper
// with a rule per output, so that no name can rewrite a terminal or break a document.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace talvek {

enum ESCAPE_FOR {
    // A terminal: bytes 0x00-0x1F and 0x7F as \xNN, a backslash as \\; every other byte as it is.
    ESCAPE_TERMINAL,
    // A JSON string: well-formed UTF-8 as it is, but '"' and '\' escaped and a control character
    // as \u00NN; every other byte 0xNN as \udcNN (the lone low surrogate U+DC00 + 0xNN, which no
    // well-formed text holds), so the bytes come back exactly.
    ESCAPE_JSON,
    // A DOT string: well-formed UTF-8 as it is, but '"' and '\' escaped; every other byte and
    // each control character as the four characters \xNN (written \\xNN).
    ESCAPE_DOT,
};

std::string escaped(std::string_view s, ESCAPE_FOR to);

// The length of the well-formed UTF-8 sequence at s[i], 0 when none starts there
// (overlong forms, surrogates and code points above U+10FFFF are not well-formed).
size_t utf8_len(std::string_view s, size_t i);

// A name as it is written to a stream: unchanged, or on a terminal (fTerminal) escaped.
std::string shown(std::string_view name, bool fTerminal);

}  // namespace talvek
