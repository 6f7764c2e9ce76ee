"""Reads XML files with brindxml and with expat (the parser under ElementTree) and compares the trees.

    python tools/differential_read.py [--recode DIR] PATH...

Each file (every *.xml, *.xsl, *.svg, *.conf, *.kml, *.gpx, *.rss, *.atom under the PATHs) is read by
expat into brindxml's model: names as written (prefixes kept, no namespace processing), attributes,
the text directly inside an element joined and trimmed of XML white space (None when empty), children.
Line ends are compared after expat's CR LF -> LF. Files expat refuses are counted and skipped; where
brindxml disagrees, the first difference is listed, grouped by brindxml's error message family.

--recode DIR also writes each file that agreed into DIR in ISO-8859-1, windows-1252, UTF-16 LE and
BE with a byte order mark, UTF-16 LE without one, and Shift_JIS (where its characters allow), with
the XML declaration naming that encoding, and checks that read_file gives the same tree from each.
"""

from __future__ import annotations

import argparse
import codecs
import collections
import os
import re
import sys
from xml.parsers import expat

import brindxml

SUFFIXES = (".xml", ".xsl", ".svg", ".conf", ".kml", ".gpx", ".rss", ".atom")
WHITE = " \t\r\n"


def expat_tree(data: bytes):
    parser = expat.ParserCreate()  # no namespace processing: qualified names as written
    parser.SetParamEntityParsing(expat.XML_PARAM_ENTITY_PARSING_NEVER)
    stack, root = [], []

    def start(name, attrs):
        stack.append([name, [], attrs, []])

    def end(name):
        name, texts, attrs, children = stack.pop()
        text = "".join(texts).strip(WHITE) or None
        node = (name, text, sorted(attrs.items()), children)
        (stack[-1][3] if stack else root).append(node)

    def chars(data):
        if stack:
            stack[-1][1].append(data)

    parser.StartElementHandler, parser.EndElementHandler, parser.CharacterDataHandler = start, end, chars
    parser.buffer_text = True
    parser.Parse(data, True)
    return root[0]


def brind_tree(node):
    text = node.text.replace("\r\n", "\n").replace("\r", "\n") if node.text is not None else None
    return (node.name, text, sorted(node.attrs.items()), [brind_tree(c) for c in node.children])


def family(message: str) -> str:
    return re.sub(r"\d+", "N", re.sub(r"'[^']*'|<[^>]*>", "_", message))[:70]


def first_difference(a, b, path="") -> str:
    if a[0] != b[0]:
        return f"{path}/ name {a[0]!r} != {b[0]!r}"
    here = f"{path}/{a[0]}"
    if a[1] != b[1]:
        return f"{here} text {a[1]!r:.60} != {b[1]!r:.60}"
    if a[2] != b[2]:
        return f"{here} attrs differ"
    if len(a[3]) != len(b[3]):
        return f"{here} {len(a[3])} children != {len(b[3])}"
    for x, y in zip(a[3], b[3], strict=True):
        if x != y:
            return first_difference(x, y, here)
    return here


RECODINGS = [("ISO-8859-1", "iso-8859-1", b""), ("windows-1252", "cp1252", b""),
             ("UTF-16", "utf-16-le", codecs.BOM_UTF16_LE), ("UTF-16", "utf-16-be", codecs.BOM_UTF16_BE),
             ("UTF-16", "utf-16-le", b""), ("Shift_JIS", "shift_jis", b"")]
DECLARATION = re.compile(r"^(\ufeff?)<\?xml[^>]*\?>")


def main() -> int:
    options = argparse.ArgumentParser()
    options.add_argument("paths", nargs="+")
    options.add_argument("--recode")
    args = options.parse_args()
    files = []
    for top in args.paths:
        for folder, _, names in os.walk(top):
            files += [os.path.join(folder, n) for n in names if n.endswith(SUFFIXES)]
    counts, differences = collections.Counter(), collections.defaultdict(list)
    recoded = collections.Counter()
    for path in sorted(set(files)):
        try:
            with open(path, "rb") as f:
                data = f.read()
            expected = expat_tree(data)
        except (expat.ExpatError, OSError, IndexError):
            counts["refused by expat"] += 1
            continue
        try:
            got = brind_tree(brindxml.read_file(path, expected[0]))
        except (ValueError, OSError, LookupError) as error:
            key = f"{type(error).__name__}: {family(str(error))}"
            counts["brindxml error"] += 1
            differences[key].append(path)
            continue
        if got != expected:
            counts["different tree"] += 1
            differences["different tree: " + first_difference(got, expected).split(" ", 1)[-1][:50]].append(path)
            continue
        counts["same tree"] += 1
        if args.recode:
            try:
                text = data.decode("utf-8")
            except UnicodeDecodeError:
                continue
            for declared, codec, mark in RECODINGS:
                body = DECLARATION.sub("", text, count=1).lstrip("\ufeff")
                try:
                    encoded = mark + f'<?xml version="1.0" encoding="{declared}"?>{body}'.encode(codec)
                except UnicodeEncodeError:
                    continue
                target = os.path.join(args.recode, f"{recoded.total()}.xml")
                with open(target, "wb") as f:
                    f.write(encoded)
                try:
                    same = brind_tree(brindxml.read_file(target, expected[0])) == expected
                except (ValueError, OSError, LookupError) as error:
                    same = False
                    print(f"recoded {codec} {'with' if mark else 'without'} mark {path}: {error}")
                recoded[(codec, bool(mark), same)] += 1
    print(f"{len(set(files))} files: " + ", ".join(f"{n} {what}" for what, n in counts.most_common()))
    for key, paths in sorted(differences.items(), key=lambda kv: -len(kv[1])):
        print(f"  {len(paths):5}  {key}   e.g. {paths[0]}")
    for (codec, mark, same), n in sorted(recoded.items()):
        print(f"recoded {codec:10} {'BOM   ' if mark else 'no BOM'}: {n:5} {'same tree' if same else 'DIFFERENT'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
