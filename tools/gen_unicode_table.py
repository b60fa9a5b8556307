#!/usr/bin/env python3
"""Generate src/unicode_table.hpp, the table of code points that Signal repr escapes.

A code point is escaped as ``\\u{hex}`` when it has the Grapheme_Extend property
or when its general category is one of Cc, Cf, Cs, Co, Cn, Zl, Zp, Zs.

Usage::

    tools/gen_unicode_table.py [UCD_DIR] [-o OUTPUT]

UCD_DIR must hold UnicodeData.txt and DerivedCoreProperties.txt (Debian's
``unicode-data`` package puts them in /usr/share/unicode). Pick the UCD version
that matches the ``unicodedata`` module of the Python the extension targets;
the test suite checks the header against it.

The output depends only on the input files, so running the script twice on
the same UCD gives byte-identical headers.
"""

from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path

MAX_CODE_POINT = 0x10FFFF

# General categories whose code points are escaped.
ESCAPED_CATEGORIES = ("Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs")

# Enumerator order in the generated header. GraphemeExtend comes last; its
# value is not significant beyond being distinct.
CLASSES = ESCAPED_CATEGORIES + ("GraphemeExtend",)

DEFAULT_UCD_DIR = Path("/usr/share/unicode")
DEFAULT_OUTPUT = Path(__file__).resolve().parent.parent / "src" / "unicode_table.hpp"

_VERSION_RE = re.compile(r"^#\s*DerivedCoreProperties-(\d+\.\d+\.\d+)\.txt\s*$")
_PROPERTY_LINE_RE = re.compile(
    r"^([0-9A-Fa-f]{4,6})(?:\.\.([0-9A-Fa-f]{4,6}))?\s*;\s*([A-Za-z_]+)\s*(?:;|#|$)"
)


class UcdError(Exception):
    """The UCD files are missing or not in the expected format."""


def read_general_categories(path: Path) -> list[str]:
    """Return the general category of every code point 0..MAX_CODE_POINT.

    Large blocks (CJK ideographs, Hangul, private use, surrogates, ...) are
    given in UnicodeData.txt as a ``<Name, First>`` line directly followed by a
    ``<Name, Last>`` line; every code point between them shares the category.
    Code points the file does not mention are unassigned (Cn).
    """
    categories = ["Cn"] * (MAX_CODE_POINT + 1)
    pending_first: tuple[int, str, str] | None = None
    with path.open(encoding="utf-8") as f:
        for lineno, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line:
                continue
            fields = line.split(";")
            if len(fields) < 3:
                raise UcdError(f"{path}:{lineno}: expected at least 3 fields")
            cp = int(fields[0], 16)
            name, category = fields[1], fields[2]
            if cp > MAX_CODE_POINT:
                raise UcdError(f"{path}:{lineno}: code point {cp:#X} out of range")
            if pending_first is not None:
                first, first_name, first_category = pending_first
                if not name.endswith(", Last>"):
                    raise UcdError(f"{path}:{lineno}: {first_name} is not followed by its Last line")
                if category != first_category or cp < first:
                    raise UcdError(f"{path}:{lineno}: {name} does not match {first_name}")
                for c in range(first, cp + 1):
                    categories[c] = category
                pending_first = None
            elif name.endswith(", First>"):
                pending_first = (cp, name, category)
            elif name.endswith(", Last>"):
                raise UcdError(f"{path}:{lineno}: {name} without a First line")
            else:
                categories[cp] = category
    if pending_first is not None:
        raise UcdError(f"{path}: {pending_first[1]} has no Last line")
    return categories


def read_derived_core_properties(path: Path, wanted: str) -> tuple[str, set[int]]:
    """Return (Unicode version, code points having property ``wanted``)."""
    with path.open(encoding="utf-8") as f:
        first_line = f.readline()
        m = _VERSION_RE.match(first_line.strip())
        if not m:
            raise UcdError(f"{path}: first line does not name the version: {first_line.strip()!r}")
        version = m.group(1)
        code_points: set[int] = set()
        for line in f:
            m = _PROPERTY_LINE_RE.match(line)
            if not m or m.group(3) != wanted:
                continue
            first = int(m.group(1), 16)
            last = int(m.group(2), 16) if m.group(2) else first
            if last < first or last > MAX_CODE_POINT:
                raise UcdError(f"{path}: bad range {line.strip()!r}")
            code_points.update(range(first, last + 1))
    if not code_points:
        raise UcdError(f"{path}: no {wanted} entries found")
    return version, code_points


def classify(categories: list[str], grapheme_extend: set[int]) -> list[str | None]:
    """Map each code point to its escape class, or None if it prints as is.

    Grapheme_Extend takes priority over the general category: ZWNJ (U+200C)
    and the tag characters (U+E0020..U+E007F) are Cf and Grapheme_Extend and
    are classed GraphemeExtend. Either way they are escaped; the class only
    records why.
    """
    escaped = set(ESCAPED_CATEGORIES)
    classes: list[str | None] = [None] * len(categories)
    for cp, category in enumerate(categories):
        if cp in grapheme_extend:
            classes[cp] = "GraphemeExtend"
        elif category in escaped:
            classes[cp] = category
    return classes


def merge_ranges(classes: list[str | None]) -> list[tuple[int, int, str]]:
    """Merge runs of consecutive code points with the same class."""
    ranges: list[tuple[int, int, str]] = []
    run_start = 0
    run_class = classes[0]
    for cp in range(1, len(classes) + 1):
        cls = classes[cp] if cp < len(classes) else None
        if cp < len(classes) and cls == run_class:
            continue
        if run_class is not None:
            ranges.append((run_start, cp - 1, run_class))
        run_start, run_class = cp, cls
    return ranges


def render_header(version: str, ranges: list[tuple[int, int, str]]) -> str:
    enum_body = "\n".join(f"    {name}," for name in CLASSES)
    rows = "\n".join(f"    {{0x{a:04X}, 0x{b:04X}, {cls}}}," for a, b, cls in ranges)
    return f"""\
// Generated by tools/gen_unicode_table.py from Unicode {version} (UnicodeData.txt, DerivedCoreProperties.txt). Do not edit.
//
// Code points that Signal's repr writes as \\u{{hex}}: every code point with the
// Grapheme_Extend property, and every code point whose general category is
// Cc, Cf, Cs, Co, Cn, Zl, Zp or Zs. When a code point is Grapheme_Extend its
// class is GraphemeExtend whatever its category (ZWNJ U+200C and the tag
// characters are Cf but are classed GraphemeExtend).
//
// U+0020 SPACE is in the table as Zs. Callers that print a plain space (or
// give some ASCII characters escapes of their own) must handle those before
// asking needs_escape().
//
// Ranges are sorted, do not overlap, and adjacent code points of the same
// class are merged into one range. Regenerate with:
//     python3 tools/gen_unicode_table.py /path/to/ucd
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>

namespace tarnwick::unicode {{

inline constexpr char unicode_version[] = "{version}";

enum EscapeClass : std::uint8_t {{
{enum_body}
}};

struct EscapeRange {{
    std::uint32_t first;
    std::uint32_t last;  // inclusive
    EscapeClass cls;
}};

inline constexpr std::array<EscapeRange, {len(ranges)}> escape_ranges{{{{
{rows}
}}}};

// The range holding cp, or nullptr when cp is printed as is.
constexpr const EscapeRange* find_escape_range(char32_t cp) noexcept {{
    const auto it = std::upper_bound(
        escape_ranges.begin(), escape_ranges.end(), static_cast<std::uint32_t>(cp),
        [](std::uint32_t value, const EscapeRange& r) {{ return value < r.first; }});
    if (it == escape_ranges.begin()) {{
        return nullptr;
    }}
    const EscapeRange* r = std::prev(it);
    return cp <= r->last ? r : nullptr;
}}

// True when cp must be written as \\u{{hex}}. Values above U+10FFFF are not
// code points and are always escaped.
constexpr bool needs_escape(char32_t cp) noexcept {{
    if (cp >= 0x21 && cp <= 0x7E) {{
        return false;
    }}
    if (cp > 0x10FFFF) {{
        return true;
    }}
    return find_escape_range(cp) != nullptr;
}}

namespace detail {{
constexpr bool escape_ranges_well_formed() noexcept {{
    for (std::size_t i = 0; i < escape_ranges.size(); ++i) {{
        const EscapeRange& r = escape_ranges[i];
        if (r.first > r.last || r.last > 0x10FFFF) {{
            return false;
        }}
        if (i > 0) {{
            const EscapeRange& prev = escape_ranges[i - 1];
            if (prev.last >= r.first) {{
                return false;
            }}
            if (prev.last + 1 == r.first && prev.cls == r.cls) {{
                return false;
            }}
        }}
    }}
    return true;
}}
}}  // namespace detail

static_assert(detail::escape_ranges_well_formed(), "escape_ranges must be sorted, disjoint and merged");

}}  // namespace tarnwick::unicode
"""


def generate(ucd_dir: Path) -> str:
    unicode_data = ucd_dir / "UnicodeData.txt"
    derived = ucd_dir / "DerivedCoreProperties.txt"
    for path in (unicode_data, derived):
        if not path.is_file():
            raise UcdError(f"{path} not found")
    version, grapheme_extend = read_derived_core_properties(derived, "Grapheme_Extend")
    categories = read_general_categories(unicode_data)
    ranges = merge_ranges(classify(categories, grapheme_extend))
    return render_header(version, ranges)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "ucd_dir",
        nargs="?",
        type=Path,
        default=DEFAULT_UCD_DIR,
        help=f"directory with UnicodeData.txt and DerivedCoreProperties.txt (default: {DEFAULT_UCD_DIR})",
    )
    parser.add_argument(
        "-o",
        "--output",
        type=Path,
        default=DEFAULT_OUTPUT,
        help="header to write (default: src/unicode_table.hpp in this repository)",
    )
    args = parser.parse_args(argv)
    try:
        text = generate(args.ucd_dir)
    except (UcdError, OSError, ValueError) as e:
        print(f"gen_unicode_table: {e}", file=sys.stderr)
        return 1
    args.output.parent.mkdir(parents=True, exist_ok=True)
    with args.output.open("w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
