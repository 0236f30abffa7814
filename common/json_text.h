// JSON text shared by the files terramod writes in JSON (SigMF metadata,
// the events file).
#pragma once

#include <cstdio>
#include <string>

namespace terramod {

// `text` as a JSON string: quotes and backslashes escaped, control
// characters as \u00XX.
inline std::string json_quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace terramod
