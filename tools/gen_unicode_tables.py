#!/usr/bin/env python3
"""Generate the Unicode tables behind creator canonicalisation.

Reads the vendored character data in data/unicode/ and writes

  src/taglex/unicode_tables.inc   C++ tables (included by canonical.cpp)

Usage:
  tools/gen_unicode_tables.py           rewrite the output
  tools/gen_unicode_tables.py --check   exit 1 if the output is out of date

The upper-case mapping is stored as runs: a run covers `count` code points,
every one (stride 1) or every other one (stride 2) starting at `first`, each
of which maps to itself plus `delta`. Code points whose mapping has two or
three code points (U+00DF -> "SS") form runs of stride 0 over consecutive
code points; their `delta` is the index of the first one's expansion in a
separate list. Runs are sorted and do not overlap, and the code points that
a stride-2 run skips map to themselves, so a lookup finds the last run that
starts at or before a code point and checks whether it covers it.

Runs with any Python 3 and the standard library only.
"""

import argparse
import io
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Files are replaced as every writer of the project replaces them (the helper
# uses the standard library alone).
sys.path.insert(0, os.path.join(ROOT, "python", "taglex"))
import _atomic  # noqa: E402
DATA_DIR = os.path.join("data", "unicode")
CPP_OUT = os.path.join("src", "taglex", "unicode_tables.inc")

MAX_CODE_POINT = 0x10FFFF
MAX_RUN = 0xFFFF  # `count` is 16 bits wide in the C++ table
ASCII_WHITE_SPACE = [0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20]


class DataError(Exception):
    pass


def read_lines(path):
    """Yields (line number, content) for the non-blank lines, comments cut."""
    with io.open(path, encoding="ascii") as f:
        for number, line in enumerate(f, 1):
            content = line.split("#", 1)[0].strip()
            if content:
                yield number, content


def parse_code_point(text, where):
    if not re.match(r"^[0-9A-Fa-f]{4,6}$", text):
        raise DataError("{}: bad code point {!r}".format(where, text))
    cp = int(text, 16)
    if cp > MAX_CODE_POINT or 0xD800 <= cp <= 0xDFFF:
        raise DataError("{}: U+{:04X} is not a scalar value".format(where, cp))
    return cp


def read_version(path):
    """The version in the first header line, e.g. '# WhiteSpace-17.0.0.txt'."""
    with io.open(path, encoding="ascii") as f:
        first = f.readline()
    match = re.search(r"-(\d+\.\d+\.\d+)\.txt", first)
    if not match:
        raise DataError("{}: no version in the first line".format(path))
    return match.group(1)


def read_upper(path):
    """{code point: [mapped code points]} for every code point listed."""
    mapping = {}
    for number, content in read_lines(path):
        where = "{}:{}".format(path, number)
        fields = [f.strip() for f in content.split(";")]
        if len(fields) != 2:
            raise DataError("{}: expected 'code point; mapping'".format(where))
        cp = parse_code_point(fields[0], where)
        target = [parse_code_point(t, where) for t in fields[1].split()]
        if not 1 <= len(target) <= 3:
            raise DataError("{}: mapping must have 1 to 3 code points".format(where))
        if target == [cp]:
            raise DataError("{}: U+{:04X} maps to itself".format(where, cp))
        if cp in mapping:
            raise DataError("{}: U+{:04X} listed twice".format(where, cp))
        mapping[cp] = target
    return mapping


def read_white_space(path):
    points = []
    for number, content in read_lines(path):
        cp = parse_code_point(content, "{}:{}".format(path, number))
        if cp in points:
            raise DataError("{}:{}: U+{:04X} listed twice".format(path, number, cp))
        points.append(cp)
    return sorted(points)


def check_assumptions(upper, white_space):
    """The canonicaliser relies on these; fail loudly if new data breaks them."""
    ws = set(white_space)
    for cp, target in sorted(upper.items()):
        if cp in ws or ws.intersection(target):
            raise DataError("U+{:04X}: upper-casing touches White_Space".format(cp))
    ascii_upper = dict((cp, t) for cp, t in upper.items() if cp < 0x80)
    if ascii_upper != dict((c, [c - 32]) for c in range(0x61, 0x7B)):
        raise DataError("ASCII upper-casing is not exactly a-z -> A-Z")
    if [cp for cp in white_space if cp < 0x80] != ASCII_WHITE_SPACE:
        raise DataError("ASCII White_Space is not exactly TAB..CR and SPACE")


def build_runs(upper):
    """Coalesces the mapping into (first, count, stride, delta) runs and the
    list of multi-code-point expansions."""
    runs = []
    expansions = []
    keys = sorted(upper)
    i = 0
    while i < len(keys):
        first = keys[i]
        if len(upper[first]) > 1:
            count = 1
            while (count < MAX_RUN and first + count in upper
                   and len(upper[first + count]) > 1):
                count += 1
            runs.append((first, count, 0, len(expansions)))
            expansions.extend(upper[first + k] for k in range(count))
        else:
            delta = upper[first][0] - first

            def same(cp):
                return upper.get(cp) == [cp + delta]

            dense = 1
            while dense < MAX_RUN and same(first + dense):
                dense += 1
            sparse = 1
            while (sparse < MAX_RUN and same(first + 2 * sparse)
                   and first + 2 * sparse - 1 not in upper):
                sparse += 1
            if sparse > dense:
                count, stride = sparse, 2
            else:
                count, stride = dense, 1
            runs.append((first, count, stride, delta))
        last = runs[-1][0] + (runs[-1][1] - 1) * max(runs[-1][2], 1)
        while i < len(keys) and keys[i] <= last:
            i += 1
    return runs, expansions


def expand_runs(runs, expansions):
    """The inverse of build_runs, used to verify it."""
    mapping = {}
    for first, count, stride, delta in runs:
        for k in range(count):
            if stride == 0:
                mapping[first + k] = list(expansions[delta + k])
            else:
                cp = first + k * stride
                mapping[cp] = [cp + delta]
    return mapping


def white_space_ranges(points):
    ranges = []
    for cp in points:
        if ranges and ranges[-1][1] + 1 == cp:
            ranges[-1][1] = cp
        else:
            ranges.append([cp, cp])
    return ranges


def expansion_sources(runs):
    """The code points of the expansions, in the order of their list."""
    sources = []
    for first, count, stride, _ in runs:
        if stride == 0:
            sources.extend(range(first, first + count))
    return sources


def utf8_escape(code_points):
    data = "".join(chr(c) for c in code_points).encode("utf-8")
    return "".join("\\x{:02X}".format(b) for b in bytearray(data))


def code_point_names(code_points):
    return " ".join("U+{:04X}".format(c) for c in code_points)


def render_cpp(version, runs, expansions, ws_ranges):
    out = []
    w = out.append
    w("// Unicode {} tables for canonicalize_creator.".format(version))
    w("// Generated by tools/gen_unicode_tables.py from data/unicode/; do not edit.")
    w("// Unicode data: Copyright (c) Unicode, Inc. Unicode License v3, see")
    w("// data/unicode/NOTICE.")
    w("")
    w("#include <cstdint>")
    w("#include <string_view>")
    w("")
    w("namespace taglex::unicode::tables {")
    w("")
    w('inline constexpr std::string_view kVersion = "{}";'.format(version))
    w("")
    w("// `count` code points from `first`, every one (stride 1) or every other")
    w("// one (stride 2), each upper-cases to itself plus `delta`. Stride 0: the")
    w("// code points first .. first + count - 1 upper-case to")
    w("// kUpperExpansions[delta], kUpperExpansions[delta + 1], ... Sorted by")
    w("// `first`, not overlapping; code points not covered map to themselves.")
    w("struct UpperRun {")
    w("  char32_t first;")
    w("  std::uint16_t count;")
    w("  std::uint8_t stride;")
    w("  std::int32_t delta;")
    w("};")
    w("")
    w("inline constexpr UpperRun kUpperRuns[] = {")
    for first, count, stride, delta in runs:
        w("    {{0x{:05X}, {}, {}, {}}},".format(first, count, stride, delta))
    w("};")
    w("")
    w("// UTF-8 of the mappings with more than one code point.")
    w("inline constexpr std::string_view kUpperExpansions[] = {")
    for source, target in zip(expansion_sources(runs), expansions):
        w('    "{}",  // U+{:04X} -> {}'.format(
            utf8_escape(target), source, code_point_names(target)))
    w("};")
    w("")
    w("// The White_Space code points as inclusive ranges, sorted.")
    w("struct CodePointRange {")
    w("  char32_t first;")
    w("  char32_t last;")
    w("};")
    w("")
    w("inline constexpr CodePointRange kWhiteSpace[] = {")
    for first, last in ws_ranges:
        w("    {{0x{:04X}, 0x{:04X}}},".format(first, last))
    w("};")
    w("")
    w("}  // namespace taglex::unicode::tables")
    return "\n".join(out) + "\n"


def generate(root):
    data = os.path.join(root, DATA_DIR)
    upper_path = os.path.join(data, "UpperCaseMapping.txt")
    ws_path = os.path.join(data, "WhiteSpace.txt")
    version = read_version(upper_path)
    if read_version(ws_path) != version:
        raise DataError("UpperCaseMapping.txt and WhiteSpace.txt differ in version")
    upper = read_upper(upper_path)
    white_space = read_white_space(ws_path)
    check_assumptions(upper, white_space)
    runs, expansions = build_runs(upper)
    if expand_runs(runs, expansions) != upper:
        raise DataError("internal error: runs do not reproduce the mapping")
    return {
        CPP_OUT: render_cpp(version, runs, expansions, white_space_ranges(white_space)),
    }


def read_text(path):
    try:
        with io.open(path, encoding="utf-8", newline="") as f:
            return f.read()
    except IOError:
        return None


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true",
                        help="exit 1 if a generated file is missing or out of date")
    parser.add_argument("--root", default=ROOT,
                        help="project root (default: the parent of tools/)")
    args = parser.parse_args(argv)
    try:
        outputs = generate(args.root)
    except (DataError, IOError) as e:
        sys.stderr.write("gen_unicode_tables: {}\n".format(e))
        return 2
    stale = []
    for rel, text in sorted(outputs.items()):
        path = os.path.join(args.root, rel)
        if read_text(path) == text:
            continue
        stale.append(rel)
        if not args.check:
            _atomic.write_text(path, text)
    if args.check:
        for rel in stale:
            sys.stderr.write("gen_unicode_tables: {} is out of date; run "
                             "tools/gen_unicode_tables.py\n".format(rel))
        return 1 if stale else 0
    for rel in stale:
        sys.stdout.write("wrote {}\n".format(rel))
    return 0


if __name__ == "__main__":
    sys.exit(main())
