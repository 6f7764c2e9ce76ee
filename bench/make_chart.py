"""Headline figures: brindxml against ElementTree, lxml and xmltodict, in one run.

Measures, on one generated record corpus (about 10 MB by default):

* parse:          the document into a tree;
* parse + visit:  parse, then read every element's name, attributes and text
                  (each library hands out its Python objects);
* write:          serialise the parsed tree back to a str;
* to dict:        document to nested dicts (brindxml read_string + to_dict,
                  xmltodict.parse, parse + a recursive conversion for the others);
* search:         every element of one name (search_by_name, list(root.iter(name))).

Writes bench/results.md (a markdown table) and bench/performance.png (speed-up
over ElementTree, higher is better). Then the writing figures of bench_write.py
(four corpora at a small and a large size, with their floors) go to
bench/write_results.md and bench/write_performance.png. `make chart` installs the peers and
matplotlib and runs it. A peer that is not installed is left out.
"""

from __future__ import annotations

import argparse
import platform
import sys
import xml.etree.ElementTree as ElementTree
from collections.abc import Callable
from dataclasses import dataclass, field
from importlib import metadata
from pathlib import Path
from typing import Any

import brindxml

from common import best_of, element_to_dict, optional_module, record_corpus

HERE = Path(__file__).resolve().parent
LIBRARIES = ["ElementTree", "lxml", "xmltodict", "brindxml"]
COLOURS = {"lxml": "#8da0cb", "xmltodict": "#fc8d62", "brindxml": "#1b9e77"}
SEARCH_TAG = "record"

lxml_etree = optional_module("lxml.etree")
xmltodict = optional_module("xmltodict")


@dataclass
class Task:
    label: str
    per_megabyte: bool  # throughput in MB/s makes sense (the whole document is processed)
    seconds: dict[str, float] = field(default_factory=dict)


def visit_node(root: brindxml.Node) -> int:
    total, stack = 0, [root]
    while stack:
        node = stack.pop()
        total += len(node.name) + len(node.attrs) + len(node.text or "")
        stack.extend(node.children)
    return total


def visit_element(root: Any) -> int:
    total = 0
    for element in root.iter():
        total += len(element.tag) + len(element.attrib) + len(element.text or "")
    return total


def measure(doc: str, repeat: int) -> list[Task]:
    data = doc.encode()
    tree = brindxml.read_string(doc, "records")
    et_root = ElementTree.fromstring(doc)
    candidates: list[tuple[Task, dict[str, Callable[[], object] | None]]] = []

    lx_root = lxml_etree.fromstring(data) if lxml_etree else None  # bytes: the document declares its encoding
    xd_dict = xmltodict.parse(doc) if xmltodict else None
    candidates.append((Task("parse: document to tree", True), {
        "ElementTree": lambda: ElementTree.fromstring(doc),
        "lxml": (lambda: lxml_etree.fromstring(data)) if lxml_etree else None,
        "brindxml": lambda: brindxml.read_string(doc, "records"),
    }))
    candidates.append((Task("parse + visit: read every element's name, attributes, text", True), {
        "ElementTree": lambda: visit_element(ElementTree.fromstring(doc)),
        "lxml": (lambda: visit_element(lxml_etree.fromstring(data))) if lxml_etree else None,
        "brindxml": lambda: visit_node(brindxml.read_string(doc, "records")),
    }))
    candidates.append((Task("write: tree to XML text", True), {
        "ElementTree": lambda: ElementTree.tostring(et_root, encoding="unicode"),
        "lxml": (lambda: lxml_etree.tostring(lx_root, encoding="unicode")) if lxml_etree else None,
        "xmltodict": (lambda: xmltodict.unparse(xd_dict)) if xmltodict else None,
        "brindxml": lambda: brindxml.write_string(tree),
    }))
    candidates.append((Task("to dict: document to nested dicts", True), {
        "ElementTree": lambda: element_to_dict(ElementTree.fromstring(doc)),
        "lxml": (lambda: element_to_dict(lxml_etree.fromstring(data))) if lxml_etree else None,
        "xmltodict": (lambda: xmltodict.parse(doc)) if xmltodict else None,
        "brindxml": lambda: brindxml.read_string(doc, "records").to_dict(),
    }))
    candidates.append((Task(f"search: every {SEARCH_TAG} element of the tree", False), {
        "ElementTree": lambda: list(et_root.iter(SEARCH_TAG)),
        "lxml": (lambda: list(lx_root.iter(SEARCH_TAG))) if lxml_etree else None,
        "brindxml": lambda: tree.search_by_name(SEARCH_TAG),
    }))

    # The peers must do the same work: the same counts of elements and matches.
    assert visit_node(tree) > 0 and len(tree.search_by_name(SEARCH_TAG)) == len(et_root.findall(SEARCH_TAG))
    assert tree.to_dict() == element_to_dict(et_root)

    tasks = []
    for task, runs in candidates:
        print(f"{task.label}", flush=True)
        for library in LIBRARIES:
            run = runs.get(library)
            if run is None:
                continue
            task.seconds[library] = best_of(run, repeat)
            print(f"  {library:<12} {task.seconds[library] * 1000:9.1f} ms", flush=True)
        tasks.append(task)
    return tasks


def speed_up(task: Task, library: str) -> float:
    return task.seconds["ElementTree"] / task.seconds[library]


def versions() -> str:
    parts = [f"CPython {platform.python_version()}"]
    for name, module in (("lxml", lxml_etree), ("xmltodict", xmltodict)):
        parts.append(f"{name} {metadata.version(name)}" if module else f"{name} not installed")
    return ", ".join(parts)


def write_table(tasks: list[Task], megabytes: float, records: int, repeat: int, path: Path) -> None:
    lines = [
        f"Record corpus of {megabytes:.1f} MB ({records:,} elements with 6 attributes each); "
        f"best of {repeat} runs; {versions()}; {platform.machine()}, {platform.system()}.",
        "",
        "| Task | ElementTree | lxml | xmltodict | brindxml | brindxml speed-up |",
        "|---|---:|---:|---:|---:|---|",
    ]
    for task in tasks:
        cells = []
        for library in LIBRARIES:
            seconds = task.seconds.get(library)
            if seconds is None:
                cells.append("—")
            elif task.per_megabyte:
                cells.append(f"{seconds * 1000:.0f} ms ({megabytes / seconds:.0f} MB/s)")
            else:
                cells.append(f"{seconds * 1000:.1f} ms")
        ratios = [f"{task.seconds[peer] / task.seconds['brindxml']:.1f}× {peer}"
                  for peer in LIBRARIES[:-1] if peer in task.seconds]
        lines.append(f"| {task.label} | " + " | ".join(cells) + " | " + ", ".join(ratios) + " |")
    lines += ["", "ElementTree and lxml write the parsed tree as it is; brindxml re-indents it "
              "(4 spaces per level). The dict of xmltodict has its own shape ('@' keys for attributes)."]
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")


def draw_chart(tasks: list[Task], megabytes: float, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D
    from matplotlib.ticker import FuncFormatter

    fig, ax = plt.subplots(figsize=(8.5, 4.4), dpi=100)
    width = 0.26
    drawn: set[str] = set()
    for x, task in enumerate(tasks):
        present = [library for library in LIBRARIES[1:] if library in task.seconds]
        for i, library in enumerate(present):
            y = speed_up(task, library)
            # Bars grow from the ElementTree line, so slower than ElementTree points down.
            bars = ax.bar(x + (i - (len(present) - 1) / 2) * width, y - 1.0, width * 0.92, bottom=1.0,
                          color=COLOURS[library], label=None if library in drawn else library)
            ax.bar_label(bars, labels=[f"{y:.1f}×"], padding=2, fontsize=8)
            drawn.add(library)
    ax.axhline(1.0, color="#555555", linewidth=1, linestyle="--")
    ax.set_yscale("log")
    low, high = ax.get_ylim()
    ax.set_ylim(min(low, 0.5) / 1.4, high * 1.8)
    ax.yaxis.set_major_formatter(FuncFormatter(lambda y, _: f"{y:g}×"))
    ax.set_xticks(range(len(tasks)), [task.label.split(":")[0] for task in tasks])
    ax.set_ylabel("speed-up over ElementTree\n(log scale, higher is better)")
    ax.set_title(f"brindxml, lxml and xmltodict against ElementTree: {megabytes:.0f} MB record corpus, "
                 f"CPython {platform.python_version()}", fontsize=10)
    handles, labels = ax.get_legend_handles_labels()
    order = sorted(range(len(labels)), key=lambda i: LIBRARIES.index(labels[i]))
    handles, labels = [handles[i] for i in order], [labels[i] for i in order]
    handles.append(Line2D([], [], color="#555555", linewidth=1, linestyle="--"))
    labels.append("ElementTree (1×)")
    ax.legend(handles, labels, frameon=False, fontsize=9, loc="upper left", ncols=4)
    ax.spines[["top", "right"]].set_visible(False)
    fig.tight_layout()
    fig.savefig(path, pil_kwargs={"optimize": True})
    plt.close(fig)


def draw_write_chart(results: list, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter

    series = [
        ("write_string / lxml tostring", "lxml tostring", "write_string", "#8da0cb"),
        ("write_string / ElementTree", "ElementTree", "write_string", "#66c2a5"),
        ("write_file / lxml file", "lxml file", "write_file", "#fc8d62"),
        ("write_string / its floor", "floor str", "write_string", "#bbbbbb"),
    ]
    fig, ax = plt.subplots(figsize=(10, 4.6), dpi=100)
    width = 0.2
    for i, (label, peer, ours, colour) in enumerate(series):
        xs, ys = [], []
        for x, figures in enumerate(results):
            ratio = figures.ratio(peer, ours)
            if ratio is not None:
                xs.append(x + (i - (len(series) - 1) / 2) * width)
                ys.append(ratio)
        bars = ax.bar(xs, [y - 1.0 for y in ys], width * 0.92, bottom=1.0, color=colour, label=label)
        ax.bar_label(bars, labels=[f"{y:.1f}" for y in ys], padding=2, fontsize=7)
    ax.axhline(1.0, color="#555555", linewidth=1, linestyle="--")
    ax.axhline(1.5, color="#1b9e77", linewidth=1, linestyle=":")
    ax.set_yscale("log")
    ax.yaxis.set_major_formatter(FuncFormatter(lambda y, _: f"{y:g}×"))
    ax.set_xticks(range(len(results)), [f"{f.corpus}\n{f.megabytes:.3g} MB" for f in results], fontsize=8)
    ax.set_ylabel("brindxml speed-up (log scale)\nfloor bars: time of the floor / brindxml")
    ax.set_title(f"Writing: brindxml against lxml and ElementTree, CPython {platform.python_version()}", fontsize=10)
    ax.legend(frameon=False, fontsize=8, loc="upper right", ncols=2)
    ax.spines[["top", "right"]].set_visible(False)
    fig.tight_layout()
    fig.savefig(path, pil_kwargs={"optimize": True})
    plt.close(fig)


def draw_reader_chart(columns: list[tuple[str, dict[str, float]]], labels: list[str], path: Path) -> None:
    """The ratios of bench_reader.py: one group of bars per figure, one bar per corpus and size."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter

    palette = ["#1b9e77", "#d95f02", "#7570b3", "#66c2a5", "#fc8d62", "#8da0cb", "#a6d854", "#e78ac3"]
    fig, ax = plt.subplots(figsize=(11, 4.8), dpi=100)
    width = 0.8 / max(len(columns), 1)
    for i, (column, ratios) in enumerate(columns):
        xs = [x + (i - (len(columns) - 1) / 2) * width for x, label in enumerate(labels) if label in ratios]
        ys = [ratios[label] for label in labels if label in ratios]
        bars = ax.bar(xs, [y - 1.0 for y in ys], width * 0.92, bottom=1.0, color=palette[i % len(palette)],
                      label=column)
        ax.bar_label(bars, labels=[f"{y:.1f}" for y in ys], padding=2, fontsize=6)
    ax.axhline(1.0, color="#555555", linewidth=1, linestyle="--")
    ax.set_yscale("log")
    ax.yaxis.set_major_formatter(FuncFormatter(lambda y, _: f"{y:g}×"))
    ax.yaxis.set_minor_formatter(FuncFormatter(lambda y, _: f"{y:g}×" if f"{y:g}"[0] in "2356" else ""))
    ax.set_xticks(range(len(labels)), [label.replace(" vs ", "\nvs ").replace(": ", ":\n") for label in labels],
                  fontsize=7)
    ax.set_ylabel("other's time / brindxml's\n(log scale, above 1: brindxml faster)")
    ax.set_title(f"Reading, dicts and writing: brindxml against its peers and floors, "
                 f"CPython {platform.python_version()}", fontsize=10)
    ax.legend(frameon=False, fontsize=8, loc="upper right", ncols=3)
    ax.spines[["top", "right"]].set_visible(False)
    fig.tight_layout()
    fig.savefig(path, pil_kwargs={"optimize": True})
    plt.close(fig)


def main() -> int:
    parser = argparse.ArgumentParser(description="Measure the headline figures and draw the chart.")
    parser.add_argument("--size", type=float, default=10.0, help="corpus size in MB (default 10)")
    parser.add_argument("--repeat", type=int, default=5, help="runs per measurement; the best counts")
    parser.add_argument("--out", type=Path, default=HERE, help="directory for results.md and performance.png")
    parser.add_argument("--write-sizes", type=float, nargs="*", default=[3.0, 96.0],
                        help="corpus sizes in MB for the writing figures (default 3 and 96; none to skip)")
    options = parser.parse_args()

    doc = record_corpus(int(options.size * 1e6))
    megabytes = len(doc.encode()) / 1e6
    records = doc.count("<record ")
    print(f"{versions()}; corpus {megabytes:.1f} MB, {records:,} records, best of {options.repeat}")
    tasks = measure(doc, options.repeat)
    options.out.mkdir(parents=True, exist_ok=True)
    write_table(tasks, megabytes, records, options.repeat, options.out / "results.md")
    draw_chart(tasks, megabytes, options.out / "performance.png")
    print((options.out / "results.md").read_text(encoding="utf-8"))
    print(f"wrote {options.out / 'results.md'} and {options.out / 'performance.png'}")
    if options.write_sizes:
        import bench_write

        results = bench_write.run(options.write_sizes, options.repeat)
        lines = [f"Writing, best of {options.repeat} runs; {versions()}; {platform.machine()}, {platform.system()}.",
                 "", *bench_write.table(results)]
        (options.out / "write_results.md").write_text("\n".join(lines) + "\n", encoding="utf-8")
        draw_write_chart(results, options.out / "write_performance.png")
        print("\n".join(lines))
        print(f"wrote {options.out / 'write_results.md'} and {options.out / 'write_performance.png'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
