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
  only: ElementTree's pickling recurses once per level);
* hostile forms handed to brindxml._node_from_table, each in a child process
  whose address space is capped at 2 GiB: the time and peak resident memory of loading
  the form and then calling to_dict on what it loaded (or the error raised).
"""

import argparse
import pickle
import subprocess
import sys
import textwrap
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


# A child that builds a form, loads it and converts what it loaded, then
# prints what happened, the seconds it took and its peak memory.
HOSTILE = textwrap.dedent("""
    import resource, time
    import brindxml

    def number(value):
        out = bytearray()
        while value >= 0x80:
            out.append(value & 0x7F | 0x80)
            value >>= 7
        out.append(value)
        return bytes(out)

    def node(name, attrs=(), children=(), text=0):
        pairs = b"".join(number(k) + number(v) for k, v in attrs)
        backs = b"".join(number(b) for b in children)
        return number(name) + number(len(attrs)) + pairs + number(len(children)) + backs + number(text)

    big = "x" * 2**20
    strings, table = {form}
    size = len(table) + sum(len(s.encode()) for s in set(strings))
    resource.setrlimit(resource.RLIMIT_AS, (2 << 30, resource.getrlimit(resource.RLIMIT_AS)[1]))
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # restarts VmHWM from the current size
    start = time.perf_counter()
    try:
        brindxml._node_from_table(strings, table).to_dict()
        outcome = "loaded and converted"
    except (ValueError, MemoryError) as exc:
        outcome = f"{{type(exc).__name__}} {{str(exc).split(':')[0]}}".strip()
    seconds = time.perf_counter() - start
    with open("/proc/self/status") as lines:  # VmHWM: this process's peak resident size, in KiB
        peak = int(next(line for line in lines if line.startswith("VmHWM:")).split()[1]) / 1024
    print(f"{{size}}|{{outcome}}|{{seconds}}|{{peak}}")
""")

HOSTILE_FORMS = {
    "one 1 MiB string named from 600 nodes": '(big, "n"), b"".join(node(1, text=1) for _ in range(600)) '
                                             '+ node(1, children=range(1, 601))',
    "doubling chain of 30 levels": '("d",), node(0) + node(0, children=(1, 1)) * 30',
    "one attribute 5,000,000 times": '("a",), number(0) + number(5_000_000) + b"\\0\\0" * 5_000_000 + node(0)[2:]',
}


def hostile_forms():
    print("hostile forms for _node_from_table: load + to_dict in a child capped at 2 GiB of address space")
    for label, form in HOSTILE_FORMS.items():
        try:
            done = subprocess.run([sys.executable, "-c", HOSTILE.format(form=form)], capture_output=True, text=True,
                                  timeout=300)
            fields = done.stdout.strip().split("|")
            if len(fields) != 4:
                print(f"  {label:<40} exit {done.returncode}: {done.stderr.strip()[-200:]}")
                continue
            size, outcome, seconds, peak = fields
            print(f"  {label:<40} {int(size):>9,} bytes in: {outcome:<26} {float(seconds):8.2f} s "
                  f"{float(peak):8.0f} MiB peak")
        except subprocess.TimeoutExpired:
            print(f"  {label:<40} still running after 300 s")


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
    pickled = pickle.dumps(root, pickle.HIGHEST_PROTOCOL)
    timings = [
        ("brindxml: pickle dumps", "brindxml", lambda: pickle.dumps(root, pickle.HIGHEST_PROTOCOL)),
        ("brindxml: pickle loads", None, lambda: pickle.loads(pickled)),
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
    hostile_forms()


if __name__ == "__main__":
    main()
