"""Constructing and reading 1,000,000 nodes: brindxml.Node against ElementTree.Element."""

from __future__ import annotations

import sys
import xml.etree.ElementTree as ET

import brindxml

from common import best_of, row

COUNT = 1_000_000


def build_brindxml():
    Node = brindxml.Node
    leaves = [Node("item", {"id": str(i)}, None, "text") for i in range(COUNT)]
    return Node("root", children=leaves)


def build_etree():
    Element = ET.Element
    root = Element("root")
    children = []
    for i in range(COUNT):
        e = Element("item", {"id": str(i)})
        e.text = "text"
        children.append(e)
    root.extend(children)
    return root


def read_brindxml(root) -> int:
    total = 0
    for child in root.children:
        total += len(child.name) + len(child.attrs) + len(child.text)
    return total


def read_etree(root) -> int:
    total = 0
    for child in root:
        total += len(child.tag) + len(child.attrib) + len(child.text)
    return total


def main() -> None:
    print(f"Node construction and property reads, {COUNT:,} nodes (Python {sys.version.split()[0]})")
    t_build_b = best_of(build_brindxml)
    t_build_e = best_of(build_etree)
    tree_b, tree_e = build_brindxml(), build_etree()
    t_read_b = best_of(lambda: read_brindxml(tree_b))
    t_read_e = best_of(lambda: read_etree(tree_e))
    print(row("ElementTree.Element construct", t_build_e))
    print(row("brindxml.Node construct", t_build_b, t_build_e))
    print(row("ElementTree read name/attrs/text", t_read_e))
    print(row("brindxml read name/attrs/text", t_read_b, t_read_e))
    print(row("ElementTree construct + read", t_build_e + t_read_e))
    print(row("brindxml construct + read", t_build_b + t_read_b, t_build_e + t_read_e))


if __name__ == "__main__":
    main()
