// Built and run by test_unicode_table.py: writes, for every code point, the
// escape class that src/unicode_table.hpp's lookup gives it (0xFF for none),
// then whether needs_escape() is true for it, one byte each.
#include "unicode_table.hpp"
#include <cstdio>

using namespace tarnwick::unicode;

static_assert(needs_escape(U'\0') && needs_escape(U' ') && !needs_escape(U'A'));
static_assert(needs_escape(0x110000) && needs_escape(0xFFFFFFFF));
static_assert(find_escape_range(U'A') == nullptr);
static_assert(find_escape_range(0x0301)->cls == GraphemeExtend);

int main() {
    static unsigned char cls[0x110000];
    static unsigned char esc[0x110000];
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        const EscapeRange* r = find_escape_range(cp);
        cls[cp] = r ? static_cast<unsigned char>(r->cls) : 0xFF;
        esc[cp] = needs_escape(cp) ? 1 : 0;
    }
    std::fwrite(cls, 1, sizeof cls, stdout);
    std::fwrite(esc, 1, sizeof esc, stdout);
    return 0;
}
