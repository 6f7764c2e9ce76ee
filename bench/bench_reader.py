"""The reader's figures: same-run ratios against the peers and the floors, per corpus and size.

For each size (3 MB and 50 MB by default) and each of three generated corpora
(records: attribute-heavy; prose: long texts with entities, CDATA, comments;
multilingual: names, values and texts in several scripts), times, best of a few
runs on the process's CPU clock:

* parse:      read_string against lxml.etree.fromstring and ElementTree.fromstring;
* touch:      parse, then read every element's name, attributes and text;
* dict:       read_string + to_dict against xmltodict.parse; to_dict alone against
              its floor, marshal.loads of the same dicts and lists; Node.from_dict
              of that dict against to_dict;
* write:      write_string against lxml's tostring(pretty_print=True) and
              ElementTree's indent + tostring.

Then, on the records corpus of each size: the memory a tree keeps per element
(RSS after gc and malloc_trim, each library in a fresh interpreter, the
document itself released), two threads parsing separate documents against
one thread (wall clock), beside what two threads gain on this machine at
that moment hashing the same bytes with sha256 (which releases the
interpreter): on a busy machine that ceiling is below 2. Once, the time to
drop a tree of 1,000,000 elements (CPU time, a fresh interpreter per library).
With --core-bench, the native reader's own figures on the same corpora: the
structural index per scanner path, and index + record tree, in MB/s.

Once, a locale rewrite (bench/locale_rewrite.py): a generated translation
catalogue (common.locale_corpus) is read from a file, every message is marked
reviewed and one translation in ten is changed, and the result is written to a
file: brindxml by read_file, to_dict, an edit of the dicts, Node.from_dict and
write_file, against ElementTree's parse, the same edit of the elements, indent
and write. Both outputs are read back and compared before anything is timed;
each side's steps are printed with the total. The file is --locale-mb MB, else
$BENCH_LOCALE_MB, else 58 MB (the size of the file a user reported), or 3 MB
when every corpus size is below 20 MB (a short run such as BENCH_SIZES=3); 0
leaves it out.

Ends with a table of every ratio (peer or floor time over brindxml's: above 1
means brindxml is faster). Usage:
    bench_reader.py [--sizes [MB ...]] [--locale-mb MB] [--repeat N] [--core-bench PATH]
                    [--markdown PATH] [--chart PNG] [--no-drop]
BENCH_SIZES (for example "3" for a short run) sets the default sizes; `--sizes`
with no size measures only the locale rewrite (with --no-drop, nothing else).
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import hashlib
import json
import marshal
import os
import platform
import re
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET
from collections.abc import Callable
from importlib import metadata
from pathlib import Path

from bench_read import Workers, visit_brindxml, visit_etree
from locale_rewrite import check_rewrites, rewrite_brindxml, rewrite_etree

import brindxml

from common import best_of, locale_corpus, multilingual_corpus, optional_module, record_corpus, text_corpus

lxml_etree = optional_module("lxml.etree")
xmltodict = optional_module("xmltodict")

HERE = Path(__file__).resolve().parent
CORPORA = {
    "records": (record_corpus, "records"),
    "prose": (text_corpus, "book"),
    "multilingual": (multilingual_corpus, "lexicon"),
}
DROP_ELEMENTS = 1_000_000
# The ratios drawn by --chart, in this order.
CHARTED = ["parse vs lxml", "parse vs ElementTree", "touch vs lxml", "touch vs ElementTree",
           "read + to_dict vs xmltodict", "to_dict: its floor / to_dict", "from_dict: to_dict / from_dict",
           "write_string vs lxml", "locale rewrite vs ElementTree"]
# What the reader aims at, beside each figure (ratios: at least; memory: at most).
GOALS = {
    "parse vs lxml": "≥ 4× records, ≥ 8× prose",
    "touch vs ElementTree": "≥ 2.5× records",
    "to_dict: its floor / to_dict": "≥ 0.8× (within 1.25×)",
    "from_dict: to_dict / from_dict": "≥ 0.67× (within 1.5×)",
    "write_string vs lxml": "≥ 1.5× prose",
    "locale rewrite vs ElementTree": "≥ 1×",
    "2 threads vs 1 thread (wall clock)": "≥ 1.8×",
    "memory per element: brindxml": "≤ 400 B",
    "native index: bitmap sse2": "≥ 2000 MB/s records, prose",
    "native index: bitmap avx2": "≥ 2000 MB/s records, prose",
    "native index + tree": "≥ 600 MB/s records",
}


def cpu_best(fn: Callable[[], object], repeat: int) -> float:
    """Best of `repeat` on the process CPU clock, after one untimed warm-up run."""
    fn()
    return best_of(fn, repeat, clock=time.process_time)


class Block:
    """The figures of one corpus at one size: seconds by key, ratios by label."""

    def __init__(self, corpus: str, megabytes: float) -> None:
        self.corpus, self.megabytes = corpus, megabytes
        self.seconds: dict[str, float] = {}
        self.ratios: dict[str, float] = {}
        self.values: dict[str, str] = {}

    @property
    def column(self) -> str:
        return f"{self.corpus} {self.megabytes:.2g} MB"

    def time(self, key: str, fn: Callable[[], object], repeat: int) -> None:
        self.seconds[key] = cpu_best(fn, repeat)
        print(f"    {key:<34} {self.seconds[key] * 1000:9.1f} ms {self.megabytes / self.seconds[key]:8.1f} MB/s",
              flush=True)

    def ratio(self, label: str, slower: str, faster: str) -> None:
        if slower in self.seconds and faster in self.seconds:
            self.ratios[label] = self.seconds[slower] / self.seconds[faster]


def measure(corpus: str, size: int, repeat: int, directory: Path) -> Block:
    make, root_tag = CORPORA[corpus]
    doc = make(size)
    data = doc.encode()
    (directory / f"{corpus}-{size}.xml").write_bytes(data)
    block = Block(corpus, len(data) / 1e6)
    print(f"\n  {block.column} ({len(data):,} bytes)", flush=True)

    lx_parser = lxml_etree.XMLParser(huge_tree=True) if lxml_etree else None
    block.time("brindxml read_string", lambda: brindxml.read_string(doc, root_tag), repeat)
    if lxml_etree:
        block.time("lxml fromstring", lambda: lxml_etree.fromstring(data, lx_parser), repeat)
    block.time("ElementTree fromstring", lambda: ET.fromstring(doc), repeat)

    block.time("brindxml touch", lambda: visit_brindxml(brindxml.read_string(doc, root_tag)), repeat)
    if lxml_etree:
        block.time("lxml touch", lambda: visit_etree(lxml_etree.fromstring(data, lx_parser)), repeat)
    block.time("ElementTree touch", lambda: visit_etree(ET.fromstring(doc)), repeat)

    tree = brindxml.read_string(doc, root_tag)
    block.values["elements"] = f"{sum(1 for _ in ET.fromstring(doc).iter()):,}"
    block.time("brindxml read_string + to_dict", lambda: brindxml.read_string(doc, root_tag).to_dict(), repeat)
    if xmltodict:
        block.time("xmltodict parse", lambda: xmltodict.parse(doc), repeat)
    as_dict = tree.to_dict()
    frozen = marshal.dumps(as_dict)
    assert marshal.loads(frozen) == as_dict
    block.time("brindxml to_dict", tree.to_dict, repeat)
    block.time("floor: marshal.loads of the dict", lambda: marshal.loads(frozen), repeat)
    block.time("brindxml Node.from_dict", lambda: brindxml.Node.from_dict(as_dict), repeat)

    block.time("brindxml write_string", lambda: brindxml.write_string(tree), repeat)
    if lxml_etree:
        lx_root = lxml_etree.fromstring(data, lx_parser)
        block.time("lxml tostring", lambda: lxml_etree.tostring(lx_root, pretty_print=True, encoding=str), repeat)
    # indent() rewrites every element's whitespace, so indenting the same tree
    # again does the same work: it is timed with tostring.
    et_root = ET.fromstring(doc)

    def et_write() -> str:
        ET.indent(et_root, space="    ")
        return ET.tostring(et_root, encoding="unicode")

    block.time("ElementTree indent + tostring", et_write, repeat)

    b = "brindxml "
    block.ratio("parse vs lxml", "lxml fromstring", b + "read_string")
    block.ratio("parse vs ElementTree", "ElementTree fromstring", b + "read_string")
    block.ratio("touch vs lxml", "lxml touch", b + "touch")
    block.ratio("touch vs ElementTree", "ElementTree touch", b + "touch")
    block.ratio("read + to_dict vs xmltodict", "xmltodict parse", b + "read_string + to_dict")
    block.ratio("to_dict: its floor / to_dict", "floor: marshal.loads of the dict", b + "to_dict")
    block.ratio("from_dict: to_dict / from_dict", b + "to_dict", b + "Node.from_dict")
    block.ratio("write_string vs lxml", "lxml tostring", b + "write_string")
    block.ratio("write_string vs ElementTree", "ElementTree indent + tostring", b + "write_string")
    return block


# --- Memory kept per element and the time to drop a tree: a fresh interpreter per library.

def rss_after_trim() -> int:
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):  # not glibc: RSS as it is
        pass
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def parse_with(library: str, path: str, root_tag: str):
    if library == "brindxml":
        text = Path(path).read_text(encoding="utf-8")
        return brindxml.read_string(text, root_tag)
    if library == "lxml":
        return lxml_etree.fromstring(Path(path).read_bytes(), lxml_etree.XMLParser(huge_tree=True))
    return ET.fromstring(Path(path).read_text(encoding="utf-8"))


def child_memory(library: str, path: str, root_tag: str) -> dict:
    before = rss_after_trim()
    tree = parse_with(library, path, root_tag)  # the document's text is released on return
    after = rss_after_trim()
    del tree
    return {"kept": after - before}


def child_drop(library: str, path: str, root_tag: str) -> dict:
    best = float("inf")
    for _ in range(3):
        holder = [parse_with(library, path, root_tag)]
        gc.collect()
        start = time.process_time()
        holder.clear()
        best = min(best, time.process_time() - start)
    return {"drop": best}


def in_child(kind: str, library: str, path: Path, root_tag: str) -> dict:
    output = subprocess.run([sys.executable, __file__, "--child", kind, library, str(path), root_tag],
                            cwd=HERE, check=True, capture_output=True, text=True).stdout
    return json.loads(output.strip().splitlines()[-1])


def libraries() -> list[str]:
    return ["brindxml", *(["lxml"] if lxml_etree else []), "ElementTree"]


def memory_per_element(block: Block, path: Path) -> None:
    elements = path.read_text(encoding="utf-8").count("<record ") + 1
    print(f"    memory kept per element ({elements:,} elements; RSS after gc + malloc_trim, own interpreter):")
    for library in libraries():
        per = in_child("memory", library, path, "records")["kept"] / elements
        block.values[f"memory per element: {library}"] = f"{per:,.0f} B"
        print(f"      {library:<12} {per:8.0f} B", flush=True)


def threads(block: Block, path: Path) -> None:
    doc = path.read_text(encoding="utf-8")
    docs = [doc, doc.encode().decode()]  # two separate str objects
    workers = Workers(2)

    def parse(d):
        return lambda: brindxml.read_string(d, "records")

    def one():
        workers.round([lambda: (parse(docs[0])(), parse(docs[1])())])

    def two():
        workers.round([parse(docs[0]), parse(docs[1])])

    one(), two()  # warm-up: the threads live across rounds, as in a pool
    t1, t2 = best_of(one, 5), best_of(two, 5)
    block.ratios["2 threads vs 1 thread (wall clock)"] = t1 / t2
    print(f"    two documents: one thread {t1 * 1000:.1f} ms, two threads {t2 * 1000:.1f} ms; "
          f"speed-up {t1 / t2:.2f}x", flush=True)

    # What two threads can gain on this machine now, with work that releases
    # the interpreter and allocates nothing: sha256 of the same bytes.
    data = [d.encode() for d in docs]

    def digest(b: bytes) -> None:
        for _ in range(8):  # about as long as a parse of the same bytes
            hashlib.sha256(b).digest()

    def one_hash():
        workers.round([lambda: (digest(data[0]), digest(data[1]))])

    def two_hash():
        workers.round([lambda: digest(data[0]), lambda: digest(data[1])])

    one_hash(), two_hash()
    z1, z2 = best_of(one_hash, 5), best_of(two_hash, 5)
    block.ratios["ceiling: 2 threads hashing vs 1"] = z1 / z2
    print(f"    the machine's ceiling (sha256 of the same bytes): one thread {z1 * 1000:.1f} ms, "
          f"two threads {z2 * 1000:.1f} ms; speed-up {z1 / z2:.2f}x", flush=True)


def drop_figures(directory: Path) -> dict[str, float]:
    path = directory / "drop.xml"
    parts = ["<records>"]
    parts += [f'<record id="{i}" code="c{i % 97}"/>' for i in range(DROP_ELEMENTS - 1)]
    parts.append("</records>")
    path.write_text("".join(parts), encoding="utf-8")
    print(f"\ndropping a tree of {DROP_ELEMENTS:,} elements (CPU time, best of 3, own interpreter):")
    seconds = {}
    for library in libraries():
        seconds[library] = in_child("drop", library, path, "records")["drop"]
        print(f"  {library:<12} {seconds[library] * 1000:8.1f} ms", flush=True)
    return seconds


# --- A translation catalogue read, edited and written again, against ElementTree (locale_rewrite.py).

LOCALE_MB = 58.0  # the size of the file a user reported
LOCALE_SHORT_MB = 3.0  # in a short run: every corpus size below 20 MB


def locale_rewrite(megabytes: float, repeat: int, directory: Path) -> Block:
    """The locale rewrite's figures: each side's best total of `repeat` runs and its steps."""
    source, ours, theirs = (directory / f"locale-{name}.xml" for name in ("source", "brindxml", "etree"))
    source.write_text(locale_corpus(int(megabytes * 1e6)), encoding="utf-8")
    block = Block("locale", source.stat().st_size / 1e6)
    print(f"\n  locale rewrite, {block.column} ({source.stat().st_size:,} bytes), best of {repeat}:", flush=True)
    sides = {"brindxml": lambda: rewrite_brindxml(source, ours), "ElementTree": lambda: rewrite_etree(source, theirs)}
    for run in sides.values():
        run()  # untimed warm-up, which also writes the file that is checked
    messages = check_rewrites(source, ours, theirs)
    block.values["locale messages"] = f"{messages:,}"
    for side, run in sides.items():
        best: dict[str, float] = {}
        for _ in range(repeat):
            gc.collect()
            gc.disable()
            try:
                phases = run()
            finally:
                gc.enable()
            if not best or sum(phases.values()) < sum(best.values()):
                best = phases
        block.seconds[f"{side} locale rewrite"] = total = sum(best.values())
        steps = ", ".join(f"{step} {seconds:.3f}" for step, seconds in best.items())
        block.values[f"locale rewrite: {side}"] = f"{total:.3f} s ({steps})"
        print(f"    {side:<12} {total:7.3f} s   {steps}", flush=True)
    block.ratio("locale rewrite vs ElementTree", "ElementTree locale rewrite", "brindxml locale rewrite")
    print(f"    ElementTree / brindxml: {block.ratios['locale rewrite vs ElementTree']:.2f}x", flush=True)
    for path in (source, ours, theirs):
        path.unlink()
    return block


# --- The native reader's own bench on the same documents.

def native(core_bench: Path, directory: Path, sizes: list[int], blocks: list[Block]) -> None:
    command = [str(core_bench)]
    for size in sizes:
        for corpus, (_, root_tag) in CORPORA.items():
            command += ["--file", f"{corpus}-{size}", root_tag, str(directory / f"{corpus}-{size}.xml")]
    print(f"\nthe native reader ({core_bench.name}, CPU clock, best of 5):", flush=True)
    output = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    print(output, end="", flush=True)
    by_label = {f"{block.corpus}-{size}": block for block, size in zip(blocks, (
        size for size in sizes for _ in CORPORA), strict=True)}
    current = None
    for line in output.splitlines():
        if line[:1].strip():
            current = by_label.get(line.split()[0])
            found = re.search(r"index: tag-seeking +(\d+) MB/s", line)
            if current and found:
                current.values["native index: tag-seeking"] = f"{found[1]} MB/s"
            for path, speed in re.findall(r"bitmap (\w+) +(\d+) MB/s", line):
                if current:
                    current.values[f"native index: bitmap {path}"] = f"{speed} MB/s"
        elif current:
            found = re.search(r"index as built for the tree \(([^)]*)\): +(\d+) MB/s", line)
            if found:
                current.values["native index as built for the tree"] = f"{found[2]} MB/s ({found[1]})"
            found = re.search(r"index \+ tree: +(\d+) MB/s", line)
            if found:
                current.values["native index + tree"] = f"{found[1]} MB/s"
            found = re.search(r"index \+ tree, replacing a tree: +(\d+) MB/s", line)
            if found:
                current.values["native index + tree, replacing a tree"] = f"{found[1]} MB/s"


def versions() -> str:
    parts = [f"CPython {platform.python_version()}"]
    for name, module in (("lxml", lxml_etree), ("xmltodict", xmltodict)):
        parts.append(f"{name} {metadata.version(name)}" if module else f"{name} not installed")
    return ", ".join(parts)


def table(blocks: list[Block], drops: dict[str, float], repeat: str) -> list[str]:
    lines = [f"Same-run figures; ratios are the peer's (or floor's) time over brindxml's, above 1 is brindxml "
             f"faster; CPU time, best of {repeat}; {versions()}; {platform.machine()}, {platform.system()}.", "",
             "| figure | " + " | ".join(block.column for block in blocks) + " | goal |",
             "|---|" + "---:|" * len(blocks) + "---|"]
    labels: list[str] = []
    for block in blocks:
        labels += [label for label in block.ratios if label not in labels]
    for label in labels:
        cells = [f"{block.ratios[label]:.2f}×" if label in block.ratios else "" for block in blocks]
        lines.append(f"| {label} | " + " | ".join(cells) + f" | {GOALS.get(label, '')} |")
    for key in ("brindxml read_string", "brindxml write_string"):
        cells = [f"{block.megabytes / block.seconds[key]:.0f} MB/s" if key in block.seconds else ""
                 for block in blocks]
        if not any(cells):
            continue
        lines.append(f"| {key} | " + " | ".join(cells) + " | |")
    values: list[str] = []
    for block in blocks:
        values += [key for key in block.values if key not in values]
    for key in values:
        cells = [block.values.get(key, "") for block in blocks]
        lines.append(f"| {key} | " + " | ".join(cells) + f" | {GOALS.get(key, '')} |")
    if drops:
        lines += ["", f"Dropping a tree of {DROP_ELEMENTS:,} elements: "
                  + ", ".join(f"{library} {seconds * 1000:.0f} ms" for library, seconds in drops.items())
                  + (f" (ElementTree / brindxml: {drops['ElementTree'] / drops['brindxml']:.2f}×; goal ≥ 1×)."
                     if drops.get("brindxml") else ".")]
    return lines


def chart(blocks: list[Block], path: Path) -> None:
    if optional_module("matplotlib") is None:
        print(f"matplotlib is not installed: no chart drawn ({path})")
        return
    from make_chart import draw_reader_chart

    labels = [label for label in CHARTED if any(label in block.ratios for block in blocks)]
    draw_reader_chart([(block.column, block.ratios) for block in blocks], labels, path)
    print(f"wrote {path}")


def threads_only(sizes: list[float]) -> int:
    """Two threads against one, for a build where the figure is not bound by
    the interpreter lock (the free-threaded workflow job runs this)."""
    print(f"{versions()}; GIL {'enabled' if getattr(sys, '_is_gil_enabled', lambda: True)() else 'disabled'}")
    with tempfile.TemporaryDirectory(prefix="brindxml-bench-") as temporary:
        for megabytes in sizes:
            path = Path(temporary) / f"records-{megabytes:g}.xml"
            path.write_text(record_corpus(int(megabytes * 1e6)), encoding="utf-8")
            block = Block("records", path.stat().st_size / 1e6)
            print(f"\n  {block.column}", flush=True)
            threads(block, path)
    return 0


def main() -> int:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        kind, library, path, root_tag = sys.argv[2:6]
        figures = (child_memory if kind == "memory" else child_drop)(library, path, root_tag)
        print(json.dumps(figures))
        return 0
    default_sizes = [float(s) for s in os.environ.get("BENCH_SIZES", "3 50").replace(",", " ").split()]
    parser = argparse.ArgumentParser(description="The reader's figures against the peers and the floors.")
    parser.add_argument("--sizes", type=float, nargs="*", default=default_sizes,
                        help="corpus sizes in MB (default: $BENCH_SIZES, else 3 and 50; none: only the locale rewrite)")
    parser.add_argument("--locale-mb", type=float,
                        help=f"size of the locale rewrite's file in MB, 0 to leave it out (default: $BENCH_LOCALE_MB, "
                             f"else {LOCALE_MB:g}, or {LOCALE_SHORT_MB:g} when every size is below 20)")
    parser.add_argument("--repeat", type=int, default=0, help="runs per figure (default 5, 3 above 20 MB)")
    parser.add_argument("--core-bench", type=Path, help="the native reader's bench program (core_read_bench)")
    parser.add_argument("--markdown", type=Path, help="also write the table of ratios to this file")
    parser.add_argument("--chart", type=Path, help="also draw the ratios into this PNG (needs matplotlib)")
    parser.add_argument("--no-drop", action="store_true", help="leave out dropping a 1,000,000-element tree")
    parser.add_argument("--threads-only", action="store_true",
                        help="only two threads against one on the records corpus at each size (needs no peer)")
    options = parser.parse_args()
    if options.threads_only:
        return threads_only(options.sizes)
    if options.locale_mb is None:
        short = all(size < 20 for size in options.sizes)
        options.locale_mb = float(os.environ.get("BENCH_LOCALE_MB", LOCALE_SHORT_MB if short else LOCALE_MB))

    print(f"{versions()}; sizes {', '.join(f'{s:g} MB' for s in options.sizes) or 'none'}; "
          f"locale rewrite {options.locale_mb:g} MB", flush=True)
    blocks: list[Block] = []
    sizes = [int(s * 1e6) for s in options.sizes]
    with tempfile.TemporaryDirectory(prefix="brindxml-bench-") as temporary:
        directory = Path(temporary)
        for size in sizes:
            repeat = options.repeat or (5 if size <= 20_000_000 else 3)
            print(f"\n===== {size / 1e6:g} MB, best of {repeat}", flush=True)
            for corpus in CORPORA:
                block = measure(corpus, size, repeat, directory)
                if corpus == "records":
                    path = directory / f"records-{size}.xml"
                    memory_per_element(block, path)
                    threads(block, path)
                blocks.append(block)
        if options.locale_mb > 0:
            repeat = options.repeat or (5 if options.locale_mb <= 20 else 3)
            locale = locale_rewrite(options.locale_mb, repeat, directory)
        drops = {} if options.no_drop else drop_figures(directory)
        if options.core_bench and sizes:
            native(options.core_bench, directory, sizes, blocks)
        if options.locale_mb > 0:
            blocks.append(locale)
    lines = table(blocks, drops, str(options.repeat) if options.repeat else "5 (3 above 20 MB)")
    print("\n" + "\n".join(lines))
    if options.markdown:
        options.markdown.write_text("\n".join(lines) + "\n", encoding="utf-8")
        print(f"wrote {options.markdown}")
    if options.chart:
        chart(blocks, options.chart)
    return 0


if __name__ == "__main__":
    sys.exit(main())
