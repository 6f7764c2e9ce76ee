# pyright: strict
"""Typed use of the whole brindxml API.

tests/test_typing.py type-checks this file with mypy --strict (and pyright in
strict mode when it is installed) against the installed stubs, and also runs it,
so the stubs, the module and this example must agree: every assert_type below is
checked statically, every assert at run time.
"""

from __future__ import annotations

import copy
import os
import pickle
import tempfile
from typing import TYPE_CHECKING, assert_type

import brindxml
from brindxml import Node, SearchType, read_file, read_string, write_file, write_string

if TYPE_CHECKING:
    from brindxml import NodeDict

DOCUMENT = """<?xml version="1.0"?>
<library>
  <shelf id="fiction">
    <book id="b1" lang="en"><title>Dune</title><year>1965</year></book>
    <book id="b2"><title>Solaris</title></book>
  </shelf>
</library>"""


def titles(root: Node) -> list[str]:
    return [title.text or "" for title in root.search_by_name("title")]


def count_nodes(form: NodeDict) -> int:
    return 1 + sum(count_nodes(child) for child in form["children"])


def read_and_inspect() -> Node:
    shelf = read_string(DOCUMENT, "shelf")
    assert_type(shelf, Node)
    assert_type(shelf.name, str)
    assert_type(shelf.text, str | None)
    assert_type(shelf.attrs, dict[str, str])
    assert_type(shelf.children, list[Node])
    assert shelf.attrs["id"] == "fiction" and shelf.text is None
    assert titles(shelf) == ["Dune", "Solaris"]
    assert repr(shelf) == "Node(shelf)" and str(shelf).startswith("Name: shelf")
    return shelf


def search(shelf: Node) -> None:
    by_attr = shelf.search_by_attr("lang", depth=0)
    assert_type(by_attr, list[Node])
    assert by_attr == []  # depth 0 looks at the shelf alone; the books are one level down
    assert [n.attrs["id"] for n in shelf.search_by_attr("lang", 1)] == ["b1"]
    assert [n.name for n in shelf.search_by_text("1965")] == ["year"]
    kind: SearchType = SearchType.Text
    assert_type(int(kind), int)
    assert kind == 2 and kind != SearchType.Tag
    assert shelf.search(kind, "Solaris", depth=None)[0].name == "title"
    assert shelf.search(by=SearchType.Attr, value="id")[0] is shelf


def convert(shelf: Node) -> None:
    form = shelf.children[0].to_dict()
    assert_type(form, "NodeDict")
    assert_type(form["text"], str | None)
    assert_type(form["attrs"], dict[str, str])
    assert count_nodes(form) == 3
    again = Node.from_dict(form)
    assert_type(again, Node)
    assert again is not shelf.children[0] and again.to_dict() == form
    # A hand-written form may leave "text" out and use any sequence of children.
    built = Node.from_dict({"name": "note", "attrs": {"by": "me"}, "children": ()})
    assert built.text is None


def construct_and_write() -> None:
    book = Node("book", attrs={"id": "b3"}, children=(Node("title", text="Ubik"),))
    shelf = Node("shelf", None, [book, book], text=None)
    xml = write_string(shelf, indent=2, default_xml_def=False)
    assert_type(xml, str)
    assert xml.startswith("<shelf>\n  <book id=\"b3\">")
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "shelf.xml")
        write_file(shelf, path, 0, True)
        assert read_file(path, "shelf").children[1].children[0].text == "Ubik"


def copy_and_pickle(shelf: Node) -> None:
    assert copy.copy(shelf) is shelf and copy.deepcopy(shelf) is shelf
    loaded = pickle.loads(pickle.dumps(shelf))
    assert isinstance(loaded, Node) and loaded.to_dict() == shelf.to_dict()


def main() -> None:
    assert_type(brindxml.__all__, list[str])
    shelf = read_and_inspect()
    search(shelf)
    convert(shelf)
    construct_and_write()
    copy_and_pickle(shelf)
    print("typing example ran")


if __name__ == "__main__":
    main()
