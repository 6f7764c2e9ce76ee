"""Search and dictionary conversion against the Python XML libraries.

Run as `python bench/bench_search_dict.py [--records N] [--repeat N]`. Builds one
record-style document (about 10 MB by default), then times, best of a few runs:

* read_string + to_dict      against xmltodict.parse and against
                             ElementTree parse + a recursive conversion to the
                             same dict shape (name, attrs, children, text);
* json.loads of the same dict from JSON text, as a floor for creating those
  objects at all;
* Node.from_dict of that dict;
* search_by_name             against list(tree.iter(tag)) in ElementTree and lxml.

A peer that is not installed is skipped. When read_string is not available
yet, the tree is built with the Node constructor and the read-inclusive
comparisons are left out.
"""

import argparse
import gc
import json
import sys
import time
import xml.etree.ElementTree as ElementTree

import brindxml
from brindxml import Node

from common import element_to_dict

try:
    import xmltodict
except ImportError:  # pragma: no cover - optional peer
    xmltodict = None
try:
    from lxml import etree as lxml_etree
except ImportError:  # pragma: no cover - optional peer
    lxml_etree = None


def make_document(records):
    parts = ["<catalog>"]
    for i in range(records):
        parts.append(
            f'<record id="{i}" type="{"book" if i % 3 else "disc"}" lang="en">'
            f"<title>Title number {i}</title>"
            f"<author>Author {i % 977}</author>"
            f'<price currency="EUR">{i % 100}.50</price>'
            f"<tags><tag>t{i % 7}</tag><tag>t{i % 11}</tag></tags>"
            f"<note>Some text &amp; an entity for record {i}</note>"
            "</record>"
        )
    parts.append("</catalog>")
    return "".join(parts)


def element_to_node(element):
    """Stand-in for read_string while it is not available."""
    text = element.text.strip() if element.text else None
    return Node(element.tag, dict(element.attrib), [element_to_node(c) for c in element], text or None)


def best_of(repeat, run):
    """Best time of `repeat` runs, and the last result. Process CPU time, so
    that other work on a shared machine does not count (every run here is
    single-threaded)."""
    best, result = float("inf"), None
    for _ in range(repeat):
        result = None
        gc.collect()
        started = time.process_time()
        result = run()
        best = min(best, time.process_time() - started)
    return best, result


def read_string_available():
    try:
        brindxml.read_string("<a/>", "a")
    except NotImplementedError:
        return False
    return True


def report(label, seconds, baseline=None, target=None):
    line = f"  {label:<34} {seconds * 1e3:10.1f} ms"
    if baseline is not None:
        ratio = seconds / baseline if baseline > 0 else float("inf")
        line += f"   brindxml {ratio:6.2f}x as fast"
        if target is not None:
            line += f" (target {target}x)"
    print(line)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--records", type=int, default=40_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    xml = make_document(args.records)
    xml_bytes = xml.encode()
    elements = args.records * 8 + 1
    print(f"document: {len(xml_bytes) / 1e6:.1f} MB, {args.records} records, {elements} elements, "
          f"Python {sys.version.split()[0]}, best of {args.repeat}")

    have_reader = read_string_available()
    if have_reader:
        print("dict conversion")
        ours, as_dict = best_of(args.repeat, lambda: brindxml.read_string(xml, "catalog").to_dict())
        report("read_string + to_dict", ours)
        tree = brindxml.read_string(xml, "catalog")
    else:
        print("read_string is not available: tree built with the constructor, read times left out")
        tree = element_to_node(ElementTree.fromstring(xml))
        print("dict conversion")
        ours, as_dict = best_of(args.repeat, tree.to_dict)
        report("to_dict (without reading)", ours)
    to_dict_only, _ = best_of(args.repeat, tree.to_dict)
    report("to_dict alone", to_dict_only)

    if xmltodict is not None:
        peer, _ = best_of(args.repeat, lambda: xmltodict.parse(xml))
        report("xmltodict.parse", peer, ours, 15)
    else:
        print("  xmltodict not installed: skipped")
    peer, peer_dict = best_of(args.repeat, lambda: element_to_dict(ElementTree.fromstring(xml)))
    report("ElementTree parse + to dict", peer, ours, 3)
    if have_reader and peer_dict != as_dict:
        print("  warning: the ElementTree conversion gave a different dict")

    # Building the same objects from JSON text: roughly the least any
    # producer of this dict shape can spend creating Python objects.
    encoded = json.dumps(as_dict)
    floor, _ = best_of(args.repeat, lambda: json.loads(encoded))
    report("json.loads of the same dict", floor, ours)

    print("dict import")
    seconds, rebuilt = best_of(args.repeat, lambda: Node.from_dict(as_dict))
    report("Node.from_dict", seconds)
    assert rebuilt.to_dict() == as_dict

    print("search")
    for tag in ("tag", "record", "missing"):
        ours, found = best_of(args.repeat * 3, lambda: tree.search_by_name(tag))
        report(f"search_by_name({tag!r}): {len(found)}", ours)
        etree_root = ElementTree.fromstring(xml)
        peer, _ = best_of(args.repeat * 3, lambda: list(etree_root.iter(tag)))
        report("ElementTree list(iter(tag))", peer, ours, 3)
        if lxml_etree is not None:
            lxml_root = lxml_etree.fromstring(xml_bytes)
            peer, _ = best_of(args.repeat * 3, lambda: list(lxml_root.iter(tag)))
            report("lxml list(iter(tag))", peer, ours)
        else:
            print("  lxml not installed: skipped")
    ours, found = best_of(args.repeat * 3, lambda: tree.search_by_attr("currency"))
    report(f"search_by_attr('currency'): {len(found)}", ours)


if __name__ == "__main__":
    main()
