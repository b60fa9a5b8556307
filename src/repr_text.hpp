// The quoted name in Signal's repr: UTF-8 in, UTF-8 out, with the code points
// that unicode_table.hpp lists (invisible, separating or combining ones)
// written as \u{hex}, so that a repr never hides or mangles a character.
#pragma once

#include "unicode_table.hpp"

#include <cstddef>
#include <cstdio>
#include <string>

namespace tarnwick {

namespace detail {

// Appends the UTF-8 of one code point.
inline void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Decodes the next code point of valid UTF-8 (the name came from a str).
inline char32_t next_code_point(const std::string& s, std::size_t& i) noexcept {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b0 = byte(i);
    if (b0 < 0x80) {
        i += 1;
        return b0;
    }
    if (b0 < 0xE0) {
        const char32_t cp = (char32_t(b0 & 0x1F) << 6) | (byte(i + 1) & 0x3F);
        i += 2;
        return cp;
    }
    if (b0 < 0xF0) {
        const char32_t cp =
            (char32_t(b0 & 0x0F) << 12) | (char32_t(byte(i + 1) & 0x3F) << 6) | (byte(i + 2) & 0x3F);
        i += 3;
        return cp;
    }
    const char32_t cp = (char32_t(b0 & 0x07) << 18) | (char32_t(byte(i + 1) & 0x3F) << 12) |
                        (char32_t(byte(i + 2) & 0x3F) << 6) | (byte(i + 3) & 0x3F);
    i += 4;
    return cp;
}

}  // namespace detail

// Appends `name` in double quotes, with escapes.
inline void append_quoted(std::string& out, const std::string& name) {
    out += '"';
    for (std::size_t i = 0; i < name.size();) {
        const char32_t cp = detail::next_code_point(name, i);
        switch (cp) {
            case U'\\': out += "\\\\"; continue;
            case U'"': out += "\\\""; continue;
            case U'\0': out += "\\0"; continue;
            case U'\t': out += "\\t"; continue;
            case U'\r': out += "\\r"; continue;
            case U'\n': out += "\\n"; continue;
            case U' ': out += ' '; continue;
            default: break;
        }
        if (unicode::needs_escape(cp)) {
            char buf[16];
            const int n = std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
            out.append(buf, static_cast<std::size_t>(n));
        } else {
            detail::append_utf8(out, cp);
        }
    }
    out += '"';
}

}  // namespace tarnwick
