"""Writing: brindxml.write_string / write_file against lxml and ElementTree.

Each library writes the tree it parsed from the same generated corpus, with
indentation: lxml.etree.tostring(pretty_print=True), ElementTree.indent +
tostring, and for files lxml's ElementTree.write.
"""

from __future__ import annotations

import copy
import os
import sys
import tempfile
import xml.etree.ElementTree as ET

import brindxml

from common import best_of, optional_module, record_corpus, row, text_corpus

lxml_etree = optional_module("lxml.etree")


def et_indent_tostring(root) -> bytes:
    tree = copy.deepcopy(root)  # indent() changes the tree; time it on a fresh copy each run
    ET.indent(tree, space="    ")
    return ET.tostring(tree, encoding="utf-8", xml_declaration=True)


def measure(name: str, doc: str, root_tag: str, out_dir: str) -> None:
    node = brindxml.read_string(doc, root_tag)
    et_root = ET.fromstring(doc)
    mb = len(brindxml.write_string(node).encode()) / 1e6
    print(f"\n{name}: output {mb:.1f} MB")
    t_b = best_of(lambda: brindxml.write_string(node))
    copy_cost = best_of(lambda: copy.deepcopy(et_root), 1)
    t_et = best_of(lambda: et_indent_tostring(et_root)) - copy_cost
    print(row("  ElementTree.indent + tostring", t_et, megabytes=mb))
    t_lx = None
    if lxml_etree is not None:
        lx_root = lxml_etree.fromstring(doc.encode())
        t_lx = best_of(lambda: lxml_etree.tostring(lx_root, pretty_print=True, xml_declaration=True,
                                                   encoding="utf-8"))
        print(row("  lxml.etree.tostring(pretty_print=True)", t_lx, megabytes=mb))
    print(row("  brindxml.write_string", t_b, megabytes=mb))
    print(f"  write_string ratios: {t_et / t_b:5.2f}x ElementTree (target 6x)"
          + (f", {t_lx / t_b:5.2f}x lxml (target 3x)" if t_lx else ""))

    path = os.path.join(out_dir, "out.xml")
    t_bf = best_of(lambda: brindxml.write_file(node, path))
    if lxml_etree is not None:
        lx_tree = lxml_etree.ElementTree(lx_root)
        t_lf = best_of(lambda: lx_tree.write(path, pretty_print=True, xml_declaration=True, encoding="utf-8"))
        print(row("  lxml ElementTree.write (file)", t_lf, megabytes=mb))
        print(row("  brindxml.write_file", t_bf, t_lf, megabytes=mb))
    else:
        print(row("  brindxml.write_file", t_bf, megabytes=mb))


def main() -> None:
    size = int(float(sys.argv[1]) * 1e6) if len(sys.argv) > 1 else 20_000_000
    print(f"Python {sys.version.split()[0]}; lxml {'present' if lxml_etree else 'absent'}")
    with tempfile.TemporaryDirectory() as out_dir:
        measure("record corpus", record_corpus(size), "records", out_dir)
        measure("text corpus", text_corpus(size), "book", out_dir)


if __name__ == "__main__":
    main()
