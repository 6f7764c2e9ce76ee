"""Pickling a parsed tree: brindxml against ElementTree and against the dict round trip.

Run as `python bench/bench_pickle.py [--records N] [--repeat N]`. Builds the
record document of bench_search_dict.py (about 10 MB by default), parses it once
with each library, and times, best of a few runs (process CPU time):

* pickle.dumps + pickle.loads of the brindxml root (highest protocol);
* the same for the ElementTree root element;
* Node.to_dict + Node.from_dict, the other way to rebuild a tree elsewhere;
* pickle.dumps + pickle.loads of the to_dict form, what crossing a process
  boundary cost before nodes could be pickled;
* pickle.dumps + pickle.loads of a chain of 1,000,000 nested nodes (brindxml
  only: ElementTree's pickling recurses once per level).
"""

import argparse
import pickle
import sys
import time
import xml.etree.ElementTree as ElementTree

from bench_search_dict import make_document

import brindxml
from brindxml import Node

from common import best_of


def cpu_best_of(repeat, run):
    """Process CPU time: other jobs on the machine count less than in wall time."""
    return best_of(run, repeat, clock=time.process_time)


def round_trip(obj):
    pickle.loads(pickle.dumps(obj, pickle.HIGHEST_PROTOCOL))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=40_000)
    parser.add_argument("--repeat", type=int, default=3)
    options = parser.parse_args()
    sys.setrecursionlimit(100_000)

    document = make_document(options.records)
    megabytes = len(document.encode()) / 1e6
    root = brindxml.read_string(document, "catalog")
    element = ElementTree.fromstring(document)
    as_dict = root.to_dict()
    sizes = {
        "brindxml": len(pickle.dumps(root, pickle.HIGHEST_PROTOCOL)),
        "ElementTree": len(pickle.dumps(element, pickle.HIGHEST_PROTOCOL)),
        "to_dict": len(pickle.dumps(as_dict, pickle.HIGHEST_PROTOCOL)),
    }
    print(f"record document of {megabytes:.1f} MB ({options.records:,} records); best of {options.repeat}, "
          f"process CPU time; pickle protocol {pickle.HIGHEST_PROTOCOL}")
    timings = [
        ("brindxml: pickle dumps + loads", "brindxml", lambda: round_trip(root)),
        ("ElementTree: pickle dumps + loads", "ElementTree", lambda: round_trip(element)),
        ("brindxml: to_dict + from_dict", None, lambda: Node.from_dict(root.to_dict())),
        ("brindxml: pickle of to_dict, dumps + loads", "to_dict", lambda: round_trip(as_dict)),
    ]
    results = {}
    for label, size_key, run in timings:
        results[label] = cpu_best_of(options.repeat, run)
        size = f"{sizes[size_key] / 1e6:8.1f} MB pickled" if size_key else ""
        print(f"{label:<46} {results[label] * 1000:9.1f} ms  {size}")
    ours = results["brindxml: pickle dumps + loads"]
    chain = Node("leaf")
    for _ in range(1_000_000):
        chain = Node("n", children=(chain,))
    seconds = cpu_best_of(1, lambda: round_trip(chain))
    print(f"{'brindxml: 1,000,000-level chain, dumps + loads':<46} {seconds * 1000:9.1f} ms")
    print(f"pickling brindxml is {results['ElementTree: pickle dumps + loads'] / ours:.1f}x ElementTree's, "
          f"{results['brindxml: to_dict + from_dict'] / ours:.1f}x to_dict + from_dict")


if __name__ == "__main__":
    main()
