#!/usr/bin/env python3
"""Writes the packed data of the text-conversion library.

  src/textconv/gbk_packed_data.inc     code_ranges and code_pairs: the GBK mapping in packed form,
                                       read at compile time by gbk_tables.cpp, which builds
                                       unicode_to_gbk from it
  src/textconv/variant_pairs_data.cpp  variant_pairs: traditional -> simplified GBK code pairs

The GBK mapping is the two-byte part of Python's standard "gbk" codec (code page 936: 21,791 codes)
plus 83 codes the program places in the Private Use Area. It is packed as maximal runs of two or
more consecutive GBK codes with consecutive code points (first, last, code point of first) and
single (GBK code, code point) pairs for the rest.

The variant pairs come from OpenCC's character table (Debian packages opencc and libopencc-data),
dumped to text with opencc_dict. A pair is kept when the traditional character and the first
simplified candidate are single characters that both have a GBK code. Chains (a -> b, b -> c among
the pairs the library applies) are resolved to a -> c so that mapping twice equals mapping once.

Usage:
  gen_textconv_data.py           rewrite the data files
  gen_textconv_data.py --check   regenerate into a temporary folder and compare byte for byte with
                                 the files in the tree; exit status 1 when any differs
"""

import argparse
import filecmp
import os
import subprocess
import sys
import tempfile

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TEXTCONV_DIR = os.path.join(REPO, "src", "textconv")
GBK_DATA = "gbk_packed_data.inc"
VARIANT_DATA = "variant_pairs_data.cpp"
OPENCC_TABLE = "/usr/share/opencc/TSCharacters.ocd2"

# Codes the program adds to code page 936, in the Private Use Area.
PUA_CODES = {0xA8BC: 0xE7C7, 0xA8BF: 0xE7C8}
PUA_CODES.update({0xFE50 + k: 0xE815 + k for k in range(0xFEA0 - 0xFE50 + 1)})


def gbk_mapping():
    """Returns {GBK code: code point} for every two-byte code of the program's mapping."""
    mapping = {}
    for lead in range(0x81, 0xFF):
        for trail in range(0x40, 0xFF):
            try:
                text = bytes([lead, trail]).decode("gbk")
            except UnicodeDecodeError:
                continue
            if len(text) == 1:
                mapping[lead << 8 | trail] = ord(text)
    for code, point in PUA_CODES.items():
        if code in mapping:
            sys.exit(f"code 0x{code:04X} is already mapped by the gbk codec")
        mapping[code] = point
    points = list(mapping.values())
    if len(set(points)) != len(points) or max(points) > 0xFFFF or 0 in points:
        sys.exit("the mapping must use each BMP code point at most once, and never 0")
    return mapping


def pack(mapping):
    """Splits the mapping into maximal runs (first, last, point of first) and single pairs."""
    codes = sorted(mapping)
    runs, pairs = [], []
    i = 0
    while i < len(codes):
        j = i
        while (j + 1 < len(codes) and codes[j + 1] == codes[j] + 1
               and mapping[codes[j + 1]] == mapping[codes[j]] + 1):
            j += 1
        if j > i:
            runs.append((codes[i], codes[j], mapping[codes[i]]))
        else:
            pairs.append((codes[i], mapping[codes[i]]))
        i = j + 1
    # The library walks a run with a 16-bit index; a run ending at 0xFFFF would never end.
    if any(last >= 0xFFFF for _, last, _ in runs):
        sys.exit("a run ends at 0xFFFF")
    if len(runs) * 3 > 0xFFFF or len(pairs) * 2 > 0xFFFF:
        sys.exit("an array is too long for a 16-bit count")
    return runs, pairs


def in_gb2312_area(code):
    return 0xA1 <= code >> 8 <= 0xF7 and (code & 0xFF) > 0xA0


def opencc_pairs(work_dir):
    """Returns [(traditional char, first simplified candidate)] from OpenCC's table."""
    text_path = os.path.join(work_dir, "TSCharacters.txt")
    try:
        subprocess.run(["opencc_dict", "-i", OPENCC_TABLE, "-o", text_path, "-f", "ocd2", "-t",
                        "text"], check=True, stdout=subprocess.DEVNULL)
    except (OSError, subprocess.CalledProcessError) as error:
        sys.exit(f"opencc_dict failed ({error}); install opencc and libopencc-data")
    rows = []
    with open(text_path, encoding="utf-8") as table:
        for line in table:
            fields = line.rstrip("\n").split("\t")
            if len(fields) == 2:
                rows.append((fields[0], fields[1].split(" ")[0]))
    return rows


def variant_pairs(mapping, work_dir):
    """Returns the (traditional, simplified) GBK code pairs, ascending, chains resolved."""
    code_of = {point: code for code, point in mapping.items()}
    pairs = {}
    for traditional, simplified in opencc_pairs(work_dir):
        if len(traditional) != 1 or len(simplified) != 1:
            continue
        t, s = code_of.get(ord(traditional)), code_of.get(ord(simplified))
        if t is not None and s is not None:
            pairs[t] = s
    applied = {t: s for t, s in pairs.items() if not in_gb2312_area(t)}
    chains = 0
    for t in sorted(pairs):
        s, seen = pairs[t], {t}
        while s in applied and applied[s] != s and s not in seen:
            seen.add(s)
            s = applied[s]
        if s != pairs[t]:
            chains += 1
            pairs[t] = s
    applied = {t: s for t, s in pairs.items() if not in_gb2312_area(t)}
    if any(applied.get(s, s) != s for s in applied.values()):
        sys.exit("the variant map is not idempotent")
    if len(pairs) * 2 > 0xFFFF:
        sys.exit("variant_pairs is too long for a 16-bit count")
    skipped = len(pairs) - len(applied)
    return sorted(pairs.items()), skipped, chains


def format_rows(tuples, per_line):
    lines = []
    for start in range(0, len(tuples), per_line):
        row = tuples[start:start + per_line]
        lines.append("    " + " ".join(", ".join(f"0x{v:04X}" for v in t) + "," for t in row))
    return "\n".join(lines)


def write_array(out, name, tuples, per_line, what):
    values = sum(len(t) for t in tuples)
    out.append(f"// {what}")
    out.append(f"constexpr std::uint16_t {name}[] = {{")
    out.append(format_rows(tuples, per_line))
    out.append("};")
    out.append(f"constexpr std::uint16_t {name}_len = {values};")
    out.append(f"static_assert(std::size({name}) == {name}_len);")
    out.append("")


def file_head(source_note, notes, preamble):
    return [
        "// Generated by tools/gen_textconv_data.py; do not edit. Regenerate with that script.",
        f"// Source: {source_note}",
        *notes,
        "// clang-format off",
        *preamble,
        '#include "gbk_packed_data.h"',
        "",
        "#include <iterator>",
        "",
    ]


def write_gbk_data(path, runs, pairs):
    out = file_head("Python's gbk codec (code page 936) plus 83 Private Use Area codes.",
                    ["// Included by gbk_tables.cpp alone, which builds unicode_to_gbk from it at "
                     "compile time."], ["#pragma once", ""])
    write_array(out, "code_ranges", runs, 4,
                f"{len(runs)} runs: first GBK code, last GBK code, code point of the first.")
    out.append("// Every run ends below 0xFFFF, so a 16-bit loop over its codes terminates.")
    out.append("static_assert(packed_runs_are_bounded(code_ranges, code_ranges_len));")
    out.append("")
    write_array(out, "code_pairs", pairs, 6,
                f"{len(pairs)} single codes outside every run: GBK code, code point.")
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(out))


def write_variant_data(path, pairs):
    out = file_head("OpenCC TSCharacters table (Debian packages opencc, libopencc-data).", [], [])
    write_array(out, "variant_pairs", pairs, 6,
                f"{len(pairs)} pairs: traditional GBK code, simplified GBK code; ascending.")
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(out))


def generate(out_dir, work_dir, report):
    mapping = gbk_mapping()
    runs, pairs = pack(mapping)
    variants, skipped, chains = variant_pairs(mapping, work_dir)
    write_gbk_data(os.path.join(out_dir, GBK_DATA), runs, pairs)
    write_variant_data(os.path.join(out_dir, VARIANT_DATA), variants)
    if report:
        print(f"{len(mapping)} GBK codes: {len(runs)} runs, {len(pairs)} pairs; "
              f"{len(variants)} variant pairs ({skipped} in the GB2312 area, "
              f"{chains} chain(s) resolved)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true",
                        help="compare freshly generated data with the files in the tree")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work_dir:
        if not args.check:
            generate(TEXTCONV_DIR, work_dir, report=True)
            return 0
        generate(work_dir, work_dir, report=False)
        stale = [name for name in (GBK_DATA, VARIANT_DATA)
                 if not os.path.exists(os.path.join(TEXTCONV_DIR, name))
                 or not filecmp.cmp(os.path.join(work_dir, name),
                                    os.path.join(TEXTCONV_DIR, name), shallow=False)]
    for name in stale:
        print(f"src/textconv/{name} differs from what tools/gen_textconv_data.py generates")
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main())
