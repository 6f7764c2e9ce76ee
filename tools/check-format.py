#!/usr/bin/env python3
"""Checks (or with --fix, applies) .clang-format on the C++ sources.

Files named in tools/clang-format-pending.txt are skipped: they were written
before the formatter was configured and are formatted when next reworked (then
their line is deleted). Every other C++ file, and so every new one, is checked.

Usage: tools/check-format.py [--fix] [--clang-format PATH] [FILE...]
With no FILE, every .cpp and .hpp under src/, tests/, fuzz/ and bench/.
"""

import argparse
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PENDING = ROOT / "tools" / "clang-format-pending.txt"
FOLDERS = ["src", "tests", "fuzz", "bench"]
SUFFIXES = {".cpp", ".hpp"}


def default_clang_format() -> str | None:
    # The pinned one next to this interpreter (a virtual environment's) first.
    beside = Path(sys.executable).parent / "clang-format"
    return str(beside) if beside.exists() else shutil.which("clang-format")


def pending() -> set[str]:
    lines = PENDING.read_text(encoding="utf-8").splitlines() if PENDING.exists() else []
    return {line.strip() for line in lines if line.strip() and not line.startswith("#")}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--fix", action="store_true", help="format the files in place")
    parser.add_argument("--clang-format", default=default_clang_format())
    parser.add_argument("files", nargs="*")
    args = parser.parse_args()
    if not args.clang_format:
        print("clang-format not found: run `make lint`, which installs the pinned version")
        return 2

    skipped = pending()
    if args.files:
        candidates = [Path(f).resolve() for f in args.files]
    else:
        candidates = [p for folder in FOLDERS for p in (ROOT / folder).rglob("*") if p.suffix in SUFFIXES]
        for name in sorted(skipped):
            if not (ROOT / name).exists():
                print(f"{PENDING.relative_to(ROOT)} names {name}, which does not exist: delete its line",
                      file=sys.stderr)
    files = sorted(str(p.relative_to(ROOT)) for p in candidates if p.suffix in SUFFIXES and p.is_relative_to(ROOT))
    files = [f for f in files if f not in skipped]
    if not files:
        return 0
    mode = ["-i"] if args.fix else ["--dry-run", "--Werror"]
    result = subprocess.run([args.clang_format, *mode, *files], cwd=ROOT, check=False)
    if result.returncode != 0:
        print(f"clang-format: {'could not format' if args.fix else 'not formatted'}; "
              "`make format` formats the files that are not pending", file=sys.stderr)
    return result.returncode


if __name__ == "__main__":
    sys.exit(main())
