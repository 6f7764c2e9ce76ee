"""Parsing many XML documents at once: threads, processes and a Dask cluster.

Run it with `make scale-out` (or `python examples/scale_out.py` once brindxml,
dask and distributed are installed). It writes a set of generated feed files
(2,000 by default), reads every one of them into records (plain dicts) in four
ways, adds the records up per country, checks that every way gives the same
totals, and prints the rate of each way in documents/s and MB/s:

  single     one process, one thread: the reference result
  threads    concurrent.futures.ThreadPoolExecutor: reading releases the
             interpreter, so threads overlap on a GIL build too, and scale
             fully on a free-threaded one
  processes  concurrent.futures.ProcessPoolExecutor: records come back pickled
  dask       dask.bag on a distributed.LocalCluster of worker processes

Options: --files N, --workers N, --dir DIR (default: a temporary directory),
--ways single,threads,processes,dask.

Workers can return whole trees as well as dicts: a Node pickles (see
`read_tree`), so `pool.map(read_tree, paths)` hands the parsed trees back.
"""

from __future__ import annotations

import argparse
import logging
import os
import random
import sys
import tempfile
import time
from collections.abc import Callable, Iterable
from concurrent.futures import Executor, ProcessPoolExecutor, ThreadPoolExecutor
from pathlib import Path
from typing import Any

import brindxml
from brindxml import Node

Record = dict[str, Any]
Totals = dict[str, tuple[int, int]]  # country -> (records, amount in cents)

COUNTRIES = ("AT", "BE", "CH", "DE", "DK", "ES", "FI", "FR", "IT", "NL", "NO", "PL", "PT", "SE")
WORDS = "amber basalt cedar delta ember fjord granite harbour island juniper kestrel lagoon".split()


# -- the input set ----------------------------------------------------------

def feed_document(number: int, entries: int, rng: random.Random) -> str:
    parts = [f'<?xml version="1.0" encoding="utf-8"?>\n<feed source="shop-{number:05d}">\n']
    for i in range(entries):
        title = " ".join(rng.choice(WORDS) for _ in range(rng.randint(2, 6)))
        tags = "".join(f"<tag>{rng.choice(WORDS)}</tag>" for _ in range(rng.randint(0, 3)))
        parts.append(
            f'  <entry id="{number}-{i}" country="{rng.choice(COUNTRIES)}" currency="EUR">\n'
            f"    <title>{title} &amp; co</title>\n"
            f"    <amount>{rng.randint(1, 99999) // 100}.{rng.randint(0, 99):02d}</amount>\n"
            f"    <tags>{tags}</tags>\n"
            f"  </entry>\n"
        )
    parts.append("</feed>\n")
    return "".join(parts)


def write_feeds(directory: Path, files: int, seed: int = 2024) -> list[str]:
    """Writes `files` feed documents of 10 to 60 entries (a few kB each) and returns their paths."""
    rng = random.Random(seed)
    directory.mkdir(parents=True, exist_ok=True)
    paths = []
    for number in range(files):
        path = directory / f"feed-{number:05d}.xml"
        path.write_text(feed_document(number, rng.randint(10, 60), rng), encoding="utf-8")
        paths.append(str(path))
    return paths


# -- the work of one document -----------------------------------------------

def records_of(root: Node) -> list[Record]:
    """The records of one parsed feed."""
    records = []
    for entry in root.search_by_name("entry", 1):
        fields = {child.name: child for child in entry.children}
        attrs = entry.attrs
        records.append({
            "id": attrs["id"],
            "country": attrs["country"],
            "title": fields["title"].text,
            "cents": int(fields["amount"].text.replace(".", "")),
            "tags": [tag.text for tag in fields["tags"].children],
        })
    return records


def read_records(path: str) -> list[Record]:
    """What each worker does per document: read it and return its records."""
    return records_of(brindxml.read_file(path, "feed"))


def read_tree(path: str) -> Node:
    """The same document returned as a tree: a Node pickles, so it crosses processes."""
    return brindxml.read_file(path, "feed")


def add_up(results: Iterable[list[Record]]) -> Totals:
    totals: dict[str, list[int]] = {}
    for records in results:
        for record in records:
            total = totals.setdefault(record["country"], [0, 0])
            total[0] += 1
            total[1] += record["cents"]
    return {country: (count, cents) for country, (count, cents) in sorted(totals.items())}


# -- the ways of running it -------------------------------------------------

def run_single(work: Callable[[str], Any], paths: list[str]) -> list[Any]:
    return [work(path) for path in paths]


def run_on(executor: Executor, work: Callable[[str], Any], paths: list[str], workers: int) -> list[Any]:
    # Process pools send work in chunks to save round trips; threads need none.
    chunksize = max(1, len(paths) // (workers * 16)) if isinstance(executor, ProcessPoolExecutor) else 1
    return list(executor.map(work, paths, chunksize=chunksize))


def start_dask(workers: int) -> Any:
    """A client of a new LocalCluster of `workers` worker processes, one thread each.

    On a cluster of several machines, start `dask scheduler` on one and
    `dask worker tcp://SCHEDULER:8786` on each of the others (each with brindxml
    installed and the files at the same paths, or on shared storage), and use
    `Client("tcp://SCHEDULER:8786")` here instead: the rest is unchanged.
    """
    from distributed import Client, LocalCluster

    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                           dashboard_address=None, silence_logs=logging.ERROR)
    return Client(cluster)


def stop_dask(client: Any) -> None:
    cluster = client.cluster
    client.close()
    cluster.close()


def run_dask(client: Any, work: Callable[[str], Any], paths: list[str], workers: int) -> list[Any]:
    import dask.bag as db

    bag = db.from_sequence(paths, npartitions=min(len(paths), workers * 8)).map(work)
    return bag.compute(scheduler=client)


# -- the example ------------------------------------------------------------

def report(way: str, workers: int, seconds: float, paths: list[str], megabytes: float) -> None:
    print(f"  {way:<10} {workers:>2} worker(s) {seconds:8.2f} s {len(paths) / seconds:10.0f} docs/s "
          f"{megabytes / seconds:8.1f} MB/s", flush=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--workers", type=int, default=min(4, os.cpu_count() or 1))
    parser.add_argument("--dir", type=Path)
    parser.add_argument("--ways", default="single,threads,processes,dask")
    options = parser.parse_args()
    ways = options.ways.split(",")

    with tempfile.TemporaryDirectory() as scratch:
        directory = options.dir or Path(scratch)
        paths = write_feeds(directory, options.files)
        megabytes = sum(os.path.getsize(path) for path in paths) / 1e6
        print(f"{len(paths)} feed files, {megabytes:.1f} MB, in {directory}; {options.workers} workers")

        expected = add_up(run_single(read_records, paths))
        results: dict[str, Totals] = {}
        for way in ways:
            if way == "single":
                start = time.perf_counter()
                results[way] = add_up(run_single(read_records, paths))
                report(way, 1, time.perf_counter() - start, paths, megabytes)
            elif way in ("threads", "processes"):
                pool_type = ThreadPoolExecutor if way == "threads" else ProcessPoolExecutor
                with pool_type(options.workers) as pool:
                    run_on(pool, len, paths[: options.workers], options.workers)  # start the workers
                    start = time.perf_counter()
                    results[way] = add_up(run_on(pool, read_records, paths, options.workers))
                    report(way, options.workers, time.perf_counter() - start, paths, megabytes)
            elif way == "dask":
                client = start_dask(options.workers)
                try:
                    run_dask(client, len, paths[: options.workers], options.workers)  # warm the workers up
                    start = time.perf_counter()
                    results[way] = add_up(run_dask(client, read_records, paths, options.workers))
                    report(way, options.workers, time.perf_counter() - start, paths, megabytes)
                finally:
                    stop_dask(client)
            else:
                parser.error(f"unknown way {way!r}")

    records = sum(count for count, _ in expected.values())
    cents = sum(amount for _, amount in expected.values())
    print(f"{records} records, {cents // 100}.{cents % 100:02d} EUR in {len(expected)} countries")
    differing = [way for way, totals in results.items() if totals != expected]
    if differing:
        print(f"totals differ from the single-process result: {', '.join(differing)}")
        return 1
    print("every way gives the same totals")
    return 0


if __name__ == "__main__":
    sys.exit(main())
