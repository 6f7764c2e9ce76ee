"""Many documents on several workers: brindxml against ElementTree and lxml.

Run as `python bench/bench_scale_out.py [--files N] [--workers 1,2] [--repeat N]`.
Writes the feed files of examples/scale_out.py (1,000 by default), then for
threads, processes and Dask (a distributed.LocalCluster of worker processes) and
each worker count, times every library doing the same work the same way: read
each file, turn its entries into record dicts, return them to the caller, add
them up. Wall time, best of --repeat runs; pools and clusters are started and
warmed up before the clock starts. Every library's totals must agree.
"""

import argparse
import os
import sys
import tempfile
import time
import xml.etree.ElementTree as ElementTree
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
import scale_out  # noqa: E402

try:
    from lxml import etree as lxml_etree
except ImportError:  # pragma: no cover - optional peer
    lxml_etree = None


def records_of_element(root):
    """scale_out.records_of for an ElementTree or lxml element."""
    records = []
    for entry in root.iterfind("entry"):
        attrs = entry.attrib
        records.append({
            "id": attrs["id"],
            "country": attrs["country"],
            "title": entry.find("title").text,
            "cents": int(entry.find("amount").text.replace(".", "")),
            "tags": [tag.text for tag in entry.find("tags")],
        })
    return records


def elementtree_records(path):
    return records_of_element(ElementTree.parse(path).getroot())


def lxml_records(path):
    return records_of_element(lxml_etree.parse(path).getroot())


LIBRARIES = {"brindxml": scale_out.read_records, "ElementTree": elementtree_records}
if lxml_etree is not None:
    LIBRARIES["lxml"] = lxml_records


def timed(repeat, run):
    best, result = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
    return best, result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=1000)
    parser.add_argument("--workers", default="1,2")
    parser.add_argument("--repeat", type=int, default=3)
    options = parser.parse_args()
    worker_counts = [int(n) for n in options.workers.split(",")]

    import cloudpickle  # with distributed; sends this script's functions to the Dask workers

    cloudpickle.register_pickle_by_value(scale_out)
    with tempfile.TemporaryDirectory() as scratch:
        paths = scale_out.write_feeds(Path(scratch), options.files)
        megabytes = sum(os.path.getsize(path) for path in paths) / 1e6
        expected = scale_out.add_up(scale_out.run_single(scale_out.read_records, paths))
        print(f"{len(paths):,} feed files, {megabytes:.1f} MB; wall time, best of {options.repeat}; "
              f"docs/s (MB/s); {os.cpu_count()} CPUs")
        print()
        print("| Way | Workers | " + " | ".join(LIBRARIES) + " | brindxml speed-up |")
        print("|---|---:|" + "---:|" * len(LIBRARIES) + "---|")

        def measure(way, workers, run):
            # The libraries take turns, so that a busy moment of the machine hits them alike.
            seconds = dict.fromkeys(LIBRARIES, float("inf"))
            for _ in range(options.repeat):
                for name, work in LIBRARIES.items():
                    elapsed, results = timed(1, lambda: scale_out.add_up(run(work)))
                    seconds[name] = min(seconds[name], elapsed)
                    if results != expected:
                        raise SystemExit(f"{name} with {way} gives other totals")
            cells = [f"{len(paths) / s:,.0f} ({megabytes / s:.1f})" for s in seconds.values()]
            ours = seconds["brindxml"]
            speedup = ", ".join(f"{seconds[name] / ours:.1f}x {name}" for name in seconds if name != "brindxml")
            print(f"| {way} | {workers} | " + " | ".join(cells) + f" | {speedup} |", flush=True)

        measure("single", 1, lambda work: scale_out.run_single(work, paths))
        for workers in worker_counts:
            for pool_type, way in ((ThreadPoolExecutor, "threads"), (ProcessPoolExecutor, "processes")):
                with pool_type(workers) as pool:
                    scale_out.run_on(pool, len, paths[:workers], workers)
                    measure(way, workers, lambda work: scale_out.run_on(pool, work, paths, workers))
            client = scale_out.start_dask(workers)
            try:
                scale_out.run_dask(client, len, paths[:workers], workers)
                measure("dask", workers, lambda work: scale_out.run_dask(client, work, paths, workers))
            finally:
                scale_out.stop_dask(client)


if __name__ == "__main__":
    main()
