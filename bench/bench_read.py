"""Reading: brindxml.read_string against ElementTree and lxml, parse alone and parse + visit.

Prints MB/s and ratios for three generated corpora, and the speed-up of two
threads parsing separate documents over one thread.
"""

from __future__ import annotations

import queue
import sys
import threading
import xml.etree.ElementTree as ET

import brindxml

from common import best_of, nested_corpus, optional_module, record_corpus, row, text_corpus

lxml_etree = optional_module("lxml.etree")


def visit_brindxml(node) -> int:
    total = 0
    stack = [node]
    while stack:
        n = stack.pop()
        total += len(n.name) + len(n.attrs) + len(n.text or "")
        stack.extend(n.children)
    return total


def visit_etree(element) -> int:
    total = 0
    for e in element.iter():
        if isinstance(e.tag, str):  # lxml also yields comments and processing instructions
            total += len(e.tag) + len(e.attrib) + len(e.text or "")
    return total


def parsers(root_tag: str):
    yield "ElementTree.fromstring", lambda doc: ET.fromstring(doc), visit_etree
    if lxml_etree is not None:
        # lxml takes bytes for documents with an encoding declaration, and
        # refuses documents deeper than 256 levels unless huge_tree is set.
        parser = lxml_etree.XMLParser(huge_tree=True)
        yield "lxml.etree.fromstring", lambda doc: lxml_etree.fromstring(doc.encode(), parser), visit_etree
    yield "brindxml.read_string", lambda doc: brindxml.read_string(doc, root_tag), visit_brindxml


def measure(name: str, doc: str, root_tag: str, repeat: int = 3) -> None:
    mb = len(doc.encode()) / 1e6
    print(f"\n{name}: {mb:.1f} MB")
    results = {}
    for label, parse, visit in parsers(root_tag):
        try:
            parse(doc)
        except Exception as exc:  # a peer that cannot read this document at all
            print(f"  {label} cannot parse it: {type(exc).__name__}: {exc}")
            continue
        t_parse = best_of(lambda: parse(doc), repeat)
        t_both = best_of(lambda: visit(parse(doc)), repeat)
        results[label] = (t_parse, t_both)
    base_et = results.get("ElementTree.fromstring")
    base_lx = results.get("lxml.etree.fromstring")
    for label, (t_parse, t_both) in results.items():
        print(row(f"  {label} parse", t_parse, megabytes=mb))
        print(row(f"  {label} parse+visit", t_both, megabytes=mb))
    b_parse, b_both = results["brindxml.read_string"]
    if base_et:
        print(f"  ratios parse:       {base_et[0] / b_parse:5.2f}x ElementTree"
              + (f", {base_lx[0] / b_parse:5.2f}x lxml" if base_lx else ""))
        print(f"  ratios parse+visit: {base_et[1] / b_both:5.2f}x ElementTree (target 4x)"
              + (f", {base_lx[1] / b_both:5.2f}x lxml (target 2x)" if base_lx else ""))


class Workers:
    """Long-lived threads, as a thread pool keeps them: each round hands every
    worker one job (or none) and waits until all are done."""

    def __init__(self, count: int) -> None:
        self.inboxes: list[queue.Queue] = [queue.Queue() for _ in range(count)]
        self.done: queue.Queue = queue.Queue()
        for inbox in self.inboxes:
            threading.Thread(target=self._serve, args=(inbox,), daemon=True).start()

    def _serve(self, inbox: queue.Queue) -> None:
        while True:
            job = inbox.get()
            job()
            self.done.put(None)

    def round(self, jobs) -> None:
        for inbox, job in zip(self.inboxes, jobs, strict=False):
            inbox.put(job)
        for _ in jobs:
            self.done.get()


def threads_speedup(doc: str, root_tag: str) -> None:
    docs = [doc, doc.encode().decode()]  # two separate str objects

    def parse(d):
        return lambda: brindxml.read_string(d, root_tag)

    def both(a, b):
        return lambda: (a(), b())

    # Steady state: threads that live across calls, as in a thread pool.
    workers = Workers(2)

    def one():
        workers.round([both(parse(docs[0]), parse(docs[1]))])

    def two():
        workers.round([parse(docs[0]), parse(docs[1])])

    for warm_up in (one, two):
        warm_up()
    t1, t2 = best_of(one, 5), best_of(two, 5)
    print(f"\ntwo documents, threads kept (a pool): one thread {t1 * 1000:.1f} ms; two threads "
          f"{t2 * 1000:.1f} ms; speed-up {t1 / t2:.2f}x (target 1.7x on 2 cores)")

    # A new thread per document: each starts with cold allocator memory.
    def fresh_threads():
        ts = [threading.Thread(target=parse(d)) for d in docs]
        for t in ts:
            t.start()
        for t in ts:
            t.join()
    t1 = best_of(lambda: (parse(docs[0])(), parse(docs[1])()), 3)
    t2 = best_of(fresh_threads, 3)
    print(f"two documents, a new thread each: one thread {t1 * 1000:.1f} ms; two threads "
          f"{t2 * 1000:.1f} ms; speed-up {t1 / t2:.2f}x")


def main() -> None:
    size = int(float(sys.argv[1]) * 1e6) if len(sys.argv) > 1 else 50_000_000
    print(f"Python {sys.version.split()[0]}; lxml {'present' if lxml_etree else 'absent'}")
    records = record_corpus(size)
    measure("record corpus (attribute-heavy, quote-dense)", records, "records")
    text = text_corpus(size // 2)
    measure("text corpus (entities, CDATA, comments)", text, "book")
    nested = nested_corpus(200_000)
    measure("nested corpus (200,000 levels)", nested, "n", repeat=1)
    threads_speedup(record_corpus(size // 5), "records")


if __name__ == "__main__":
    main()
