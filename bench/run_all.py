"""Runs the benchmarks of bench/, each in its own interpreter, and prints their output.

`make bench` calls this. By default it runs bench_reader.py, the reader's figures
(parse, touch, dicts, writing, memory, threads, a locale rewrite; with
--core-bench, the native reader's), at the sizes of --sizes or $BENCH_SIZES (3
and 50 MB unless set; the locale file is 58 MB, 3 MB in a short run, or
$BENCH_LOCALE_MB).
With --all, every other bench/bench_*.py runs after it, except those in NOT_RUN,
which need far more memory or disk than the others. Options passed on:
  --sizes MB ...      sizes for bench_reader.py
  --core-bench PATH   the native reader's bench program, for bench_reader.py
  --markdown PATH     where bench_reader.py also writes its table
  --chart PATH        where bench_reader.py also draws its ratios (needs matplotlib)
  --size MB           document size for bench_read.py and bench_write.py (default: their own)
  --records N         record count for bench_search_dict.py (default: its own, 40,000)
A benchmark that fails is reported and makes the exit status nonzero; the others still run.
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
HEADLINE = "bench_reader.py"
NOT_RUN = {"bench_big_document.py": "reads a 1 GB document; run it on its own"}
BENCHMARKS = sorted(path.name for path in HERE.glob("bench_*.py") if path.name not in NOT_RUN)
SIZED = {"bench_read.py", "bench_write.py"}


def arguments_for(name: str, options: argparse.Namespace) -> list[str]:
    if name == HEADLINE:
        arguments = []
        if options.sizes:
            arguments += ["--sizes", *(str(size) for size in options.sizes)]
        if options.core_bench:
            arguments += ["--core-bench", str(options.core_bench.resolve())]
        if options.markdown:
            arguments += ["--markdown", str(options.markdown.resolve())]
        if options.chart:
            arguments += ["--chart", str(options.chart.resolve())]
        return arguments
    if name in SIZED and options.size is not None:
        return [str(options.size)]
    if name == "bench_search_dict.py" and options.records is not None:
        return ["--records", str(options.records)]
    return []


def main() -> int:
    parser = argparse.ArgumentParser(description="Run the Python benchmarks of brindxml.")
    parser.add_argument("--all", action="store_true", help="also run every other benchmark after the reader's")
    parser.add_argument("--sizes", type=float, nargs="+", help="corpus sizes in MB for bench_reader.py")
    parser.add_argument("--core-bench", type=Path, help="the native reader's bench program (core_read_bench)")
    parser.add_argument("--markdown", type=Path, help="where bench_reader.py also writes its table")
    parser.add_argument("--chart", type=Path, help="where bench_reader.py also draws its ratios (PNG)")
    parser.add_argument("--size", type=float, help="document size in MB for bench_read.py and bench_write.py")
    parser.add_argument("--records", type=int, help="record count for bench_search_dict.py")
    parser.add_argument("only", nargs="*", help="run only these benchmarks (file names)")
    options = parser.parse_args()

    names = options.only or ([HEADLINE, *(name for name in BENCHMARKS if name != HEADLINE)]
                             if options.all else [HEADLINE])
    unknown = [name for name in names if name not in BENCHMARKS]
    if unknown:
        parser.error(f"unknown benchmark(s): {', '.join(unknown)}; choose from {', '.join(BENCHMARKS)}")

    if options.all:
        for name, why in NOT_RUN.items():
            print(f"not run: {name} ({why})")
    failed = []
    for name in names:
        command = [sys.executable, str(HERE / name), *arguments_for(name, options)]
        print(f"\n===== {name} {' '.join(command[2:])}".rstrip(), flush=True)
        started = time.perf_counter()
        # Output goes straight to ours, so long runs show progress as they go.
        status = subprocess.run(command, cwd=HERE).returncode
        print(f"===== {name}: {'done' if status == 0 else f'FAILED (exit {status})'} "
              f"in {time.perf_counter() - started:.0f} s", flush=True)
        if status != 0:
            failed.append(name)
    if failed:
        print(f"\nfailed: {', '.join(failed)}")
        return 1
    print(f"\nall {len(names)} benchmarks ran")
    return 0


if __name__ == "__main__":
    sys.exit(main())
