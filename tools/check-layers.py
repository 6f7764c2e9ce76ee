#!/usr/bin/env python3
"""Checks that the folders of src/ include one another in one direction only.

Each folder may include headers of its own folder and of the folders listed
before it in LAYERS, never of a folder listed after it. The script prints, for
each folder, the folders its #includes reach (with the number of includes),
then every include against the order, and fails if there is one that
ALLOWED_FOR_NOW does not name. It also fails on a folder missing from LAYERS,
and on Python.h included outside PYTHON_LAYERS.

Usage: tools/check-layers.py [SRC_DIR]   (default: the src/ beside tools/)
"""

import re
import sys
from collections import Counter
from pathlib import Path

# The layers, lowest first. A folder listed here that does not exist is skipped.
LAYERS = [
    "platform",  # operating-system calls: files, error numbers, random bytes
    "base",  # utilities: bytes, UTF-8, hashing, results, I/O errors, the keyed map
    "storage",  # the data model: source texts, strings, records, attribute maps
    "index",  # bytes -> structural index
    "read",  # structural index -> element records
    "write",  # element records -> XML bytes
    "binding",  # entry wrapper, argument binding, deferred releases, conversions
    "entities",  # the Python types: Node, SearchType
    "module",  # the module definition and the four module functions
]

# The folders whose code may include Python.h; everything below them is plain C++.
PYTHON_LAYERS = {"binding", "entities", "module"}

# Includes against the order that are reported but do not fail the check yet,
# as (from, to) folder pairs. Keep it empty: a new pair here is a cycle to undo.
ALLOWED_FOR_NOW: set[tuple[str, str]] = set()

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]')
SOURCE_SUFFIXES = {".cpp", ".hpp", ".h", ".cc", ".inc"}


def scan(src: Path):
    """Yields (folder, file, line number, included folder or None, header) per include."""
    for path in sorted(src.rglob("*")):
        if path.suffix not in SOURCE_SUFFIXES or not path.is_file():
            continue
        folder = path.relative_to(src).parts[0]
        for number, line in enumerate(path.read_text(encoding="utf-8", errors="replace").splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            header = match.group(2)
            target = None
            if match.group(1) == '"':
                first = header.split("/")[0]
                target = first if "/" in header and (src / first).is_dir() else folder
            yield folder, path, number, target, header


def main() -> int:
    src = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "src"
    rank = {name: i for i, name in enumerate(LAYERS)}
    folders = sorted((p.name for p in src.iterdir() if p.is_dir()), key=lambda n: (rank.get(n, len(LAYERS)), n))
    problems = [f"{src.name}/{name}/ is not in LAYERS of {Path(__file__).name}: place it there" for name in folders
                if name not in rank]

    reach = {name: Counter() for name in folders}
    against = []  # (allowed, text)
    pairs_seen = set()
    for folder, path, number, target, header in scan(src):
        where = f"{path.relative_to(src.parent)}:{number}"
        if header == "Python.h" and folder not in PYTHON_LAYERS:
            problems.append(f"{where} includes Python.h outside {sorted(PYTHON_LAYERS)}")
        if target is None or target == folder:
            continue
        reach[folder][target] += 1
        if folder in rank and target in rank and rank[target] > rank[folder]:
            pairs_seen.add((folder, target))
            allowed = (folder, target) in ALLOWED_FOR_NOW
            against.append((allowed, f"{where} ({folder} -> {target}) includes {header}"))

    print("layers, lowest first: " + " < ".join(name for name in LAYERS if name in folders))
    for name in folders:
        listed = ", ".join(f"{target} ({count})" for target, count in
                           sorted(reach[name].items(), key=lambda item: rank.get(item[0], len(LAYERS))))
        print(f"  {name:<10} -> {listed or '(nothing)'}")

    allowed = [text for ok, text in against if ok]
    refused = [text for ok, text in against if not ok]
    if allowed:
        print(f"\nagainst the order, allowed for now ({len(allowed)}):")
        print("\n".join(f"  {text}" for text in allowed))
    for pair in sorted(ALLOWED_FOR_NOW - pairs_seen):
        print(f"\nALLOWED_FOR_NOW names {pair[0]} -> {pair[1]}, which no include uses any more: remove it")
    if refused:
        problems.append(f"{len(refused)} include(s) against the order:\n" + "\n".join(f"  {t}" for t in refused))
    if problems:
        print("\nFAILED:\n" + "\n".join(problems))
        return 1
    print("\nlayers: no include against the order" + (" outside ALLOWED_FOR_NOW" if allowed else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
