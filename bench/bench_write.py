"""Writing: brindxml.write_string / write_file against lxml and ElementTree.

Four corpora (attribute-heavy records, long prose, multilingual entries, text
dense with characters to escape), each at a small (3 MB) and a large (96 MB)
size by default. Each library writes the tree it parsed from the same document,
with indentation:

* write_string against lxml.etree.tostring(pretty_print=True, encoding=str)
  and ElementTree.indent + tostring(encoding="unicode");
* write_file against lxml's ElementTree.write(pretty_print=True).

Next to each figure stands its floor, what no writer of that output can beat:
for a str, making a str of the output's length and kind from memory (decoding
the finished UTF-8 output with bytes.decode) plus one pass over the tree (a
search that matches nothing); for a file, writing the finished bytes with one
call plus the same pass, and (8 KiB) through write calls of 8192 bytes, the
buffer write_file writes through. "% floor" is write_string over its floor.

Usage: bench_write.py [MB ...] [--repeat N] [--markdown PATH]
(sizes in MB; default 3 and 96).
"""

from __future__ import annotations

import argparse
import copy
import gc
import os
import sys
import tempfile
import xml.etree.ElementTree as ET
from dataclasses import dataclass, field

import brindxml

from common import best_of, escape_dense_corpus, multilingual_corpus, optional_module, record_corpus, text_corpus

lxml_etree = optional_module("lxml.etree")

CORPORA = {
    "records": (record_corpus, "records"),
    "prose": (text_corpus, "book"),
    "multilingual": (multilingual_corpus, "lexicon"),
    "escape-dense": (escape_dense_corpus, "rules"),
}
NOTHING = "\x00no such element"


@dataclass
class Figures:
    corpus: str
    megabytes: float  # output size, UTF-8
    seconds: dict[str, float] = field(default_factory=dict)

    def ratio(self, peer: str, ours: str) -> float | None:
        if peer in self.seconds and ours in self.seconds:
            return self.seconds[peer] / self.seconds[ours]
        return None


def measure(corpus: str, target_bytes: int, out_dir: str, repeat: int) -> Figures:
    make, root_tag = CORPORA[corpus]
    doc = make(target_bytes)
    node = brindxml.read_string(doc, root_tag)
    written = brindxml.write_string(node)
    encoded = written.encode()
    figures = Figures(corpus, len(encoded) / 1e6)
    s = figures.seconds

    tree_pass = best_of(lambda: node.search_by_name(NOTHING), repeat)
    s["floor str"] = best_of(lambda: encoded.decode(), repeat) + tree_pass
    s["write_string"] = best_of(lambda: brindxml.write_string(node), repeat)
    path = os.path.join(out_dir, "out.xml")

    def write_bytes() -> None:
        with open(path, "wb") as f:
            f.write(encoded)

    def write_bytes_8k() -> None:
        # The same bytes through os.write calls of 8192 bytes: the buffer
        # size that write_file uses.
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
        try:
            view = memoryview(encoded)
            for start in range(0, len(view), 8192):
                os.write(fd, view[start:start + 8192])
        finally:
            os.close(fd)

    s["floor file"] = best_of(write_bytes, repeat) + tree_pass
    s["floor file 8k"] = best_of(write_bytes_8k, repeat) + tree_pass
    s["write_file"] = best_of(lambda: brindxml.write_file(node, path), repeat)
    del written

    if lxml_etree is not None:
        lx_root = lxml_etree.fromstring(doc.encode())
        s["lxml tostring"] = best_of(lambda: lxml_etree.tostring(lx_root, pretty_print=True, encoding=str), repeat)
        lx_tree = lxml_etree.ElementTree(lx_root)
        s["lxml file"] = best_of(
            lambda: lx_tree.write(path, pretty_print=True, xml_declaration=True, encoding="utf-8"), repeat)
        del lx_root, lx_tree
        gc.collect()

    # indent() rewrites every element's whitespace, so indenting the same copy
    # again does the same work: it is timed with tostring on one copy.
    et_root = copy.deepcopy(ET.fromstring(doc))
    del doc

    def et_write(root=et_root) -> str:
        ET.indent(root, space="    ")
        return ET.tostring(root, encoding="unicode")

    s["ElementTree"] = best_of(et_write, repeat)
    del et_root, et_write
    gc.collect()
    return figures


def table(results: list[Figures]) -> list[str]:
    lines = [
        "| corpus | output | write_string | floor (str) | % floor | lxml tostring | ElementTree | "
        "× lxml | × ElementTree | write_file | floor (file) | floor (8 KiB) | lxml file | × lxml file |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]

    def ms(figures: Figures, key: str) -> str:
        value = figures.seconds.get(key)
        return "—" if value is None else f"{value * 1000:.1f} ms"

    def times(value: float | None) -> str:
        return "—" if value is None else f"{value:.2f}×"

    for f in results:
        over = f.seconds["write_string"] / f.seconds["floor str"]
        lines.append(
            f"| {f.corpus} | {f.megabytes:.1f} MB | {ms(f, 'write_string')} | {ms(f, 'floor str')} | "
            f"{over * 100:.0f}% | {ms(f, 'lxml tostring')} | {ms(f, 'ElementTree')} | "
            f"{times(f.ratio('lxml tostring', 'write_string'))} | {times(f.ratio('ElementTree', 'write_string'))} | "
            f"{ms(f, 'write_file')} | {ms(f, 'floor file')} | {ms(f, 'floor file 8k')} | {ms(f, 'lxml file')} | "
            f"{times(f.ratio('lxml file', 'write_file'))} |")
    return lines


def run(sizes: list[float], repeat: int) -> list[Figures]:
    results = []
    with tempfile.TemporaryDirectory() as out_dir:
        for size in sizes:
            for corpus in CORPORA:
                figures = measure(corpus, int(size * 1e6), out_dir, repeat)
                results.append(figures)
                print(f"{corpus} {figures.megabytes:.1f} MB: " + ", ".join(
                    f"{key} {value * 1000:.1f} ms" for key, value in figures.seconds.items()), flush=True)
    return results


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("sizes", nargs="*", type=float, default=[3.0, 96.0], help="corpus sizes in MB")
    parser.add_argument("--repeat", type=int, default=5, help="runs per measurement; the fastest counts")
    parser.add_argument("--markdown", help="also write the table to this file")
    options = parser.parse_args()
    print(f"Python {sys.version.split()[0]}; lxml {'present' if lxml_etree else 'absent'}; "
          f"best of {options.repeat}", flush=True)
    lines = table(run(options.sizes, options.repeat))
    print("\n".join(lines))
    if options.markdown:
        with open(options.markdown, "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
