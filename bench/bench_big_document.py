"""Peak memory of reading a large document with read_file.

Generates a document of about --size-mb megabytes on disk (records with
attributes, text, references and CDATA; reused if already there), then reads
it with read_file in a fresh interpreter and reports the peak resident set
size (ru_maxrss) against the document size, the resident size the finished
tree keeps, and the times. Not part of `make bench`: it needs a gigabyte of
disk and several of memory.

    python bench/bench_big_document.py [--size-mb 1024] [--path FILE] [--keep]
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time

MB = 1024 * 1024

RECORD = (
    '  <book id="b{i}" lang="en" year="{year}">\n'
    "    <title>Title number {i} &amp; sequel</title>\n"
    '    <author role="main">Author {a}</author>\n'
    '    <price cur="EUR">{price}.99</price>\n'
    "    <blurb><![CDATA[<b>{i}</b>]]> and a few words of plain text</blurb>\n"
    "    <tags><tag>x{t}</tag><tag>y{t}</tag></tags>\n"
    "  </book>\n"
)

# Runs in the fresh interpreter: nothing else has touched its memory.
MEASURE = """
import resource, sys, time
import brindxml

def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()

base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
started = time.perf_counter()
root = brindxml.read_file(sys.argv[1], "catalog")
read_seconds = time.perf_counter() - started
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
kept = resident()
books = len(root.children)
started = time.perf_counter()
del root
drop_seconds = time.perf_counter() - started
print(base, peak, kept, books, read_seconds, drop_seconds)
"""


def generate(path: str, target_bytes: int) -> None:
    with open(path, "w", encoding="utf-8") as f:
        f.write('<?xml version="1.0" encoding="utf-8"?>\n<catalog>\n')
        written = 0
        i = 0
        while written < target_bytes:
            chunk = "".join(
                RECORD.format(i=n, year=1900 + n % 120, a=n % 5000, price=n % 100, t=n % 37)
                for n in range(i, i + 10_000)
            )
            f.write(chunk)
            written += len(chunk)
            i += 10_000
        f.write("</catalog>\n")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mb", type=float, default=1024.0)
    parser.add_argument("--path", default=os.path.join(tempfile.gettempdir(), "brindxml-big-document.xml"))
    parser.add_argument("--keep", action="store_true", help="keep the generated document")
    options = parser.parse_args()

    target = int(options.size_mb * MB)
    if not os.path.exists(options.path) or abs(os.path.getsize(options.path) - target) > target // 50:
        print(f"generating {options.path} ({options.size_mb:.0f} MB) ...", flush=True)
        started = time.perf_counter()
        generate(options.path, target)
        print(f"  generated in {time.perf_counter() - started:.1f} s")
    size = os.path.getsize(options.path)

    try:
        done = subprocess.run([sys.executable, "-c", MEASURE, options.path], capture_output=True, text=True)
        if done.returncode != 0:
            print(done.stderr, file=sys.stderr)
            return 1
        base, peak, kept, books, read_seconds, drop_seconds = done.stdout.split()
        base, peak, kept, books = int(base), int(peak), int(kept), int(books)
    finally:
        if not options.keep:
            os.remove(options.path)

    print(f"document                 {size / MB:10.1f} MB   ({books:,} records)")
    print(f"interpreter before read  {base / MB:10.1f} MB")
    print(f"peak resident set        {peak / MB:10.1f} MB")
    print(f"resident with the tree   {kept / MB:10.1f} MB")
    print(f"read_file                {float(read_seconds):10.2f} s    ({size / MB / float(read_seconds):.0f} MB/s)")
    print(f"dropping the tree        {float(drop_seconds):10.2f} s")
    print(f"peak / document size     {peak / size:10.2f}")
    print(f"(peak - interpreter) / document size {(peak - base) / size:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
