"""The brindxml demo: read the bundled catalogue, look around in it, search it,
convert part of it to a dict and back, write XML, and check a round trip.

Run it with `make demo` (or `python examples/demo.py` once brindxml is installed).
"""

from __future__ import annotations

import json
import sys
from collections.abc import Callable
from pathlib import Path

import brindxml
from brindxml import Node, SearchType

HERE = Path(__file__).resolve().parent
CATALOG = HERE / "catalog.xml"
OUT_DIR = HERE.parent / "build" / "demo"


def heading(title: str) -> None:
    print(f"\n== {title} " + "=" * max(0, 66 - len(title)))


def show(code: str, result: object) -> None:
    print(f"  >>> {code}\n  {result}")


def count_elements(root: Node) -> int:
    """Every element of the tree, walked with an explicit stack."""
    count, stack = 0, [root]
    while stack:
        node = stack.pop()
        count += 1
        stack.extend(node.children)
    return count


def child_text(node: Node, name: str) -> str:
    found = node.search_by_name(name, depth=1)
    return (found[0].text or "") if found else "-"


def read(path: Path) -> Node:
    heading("1. Read")
    library = brindxml.read_file(str(path), "library")
    show(f'library = read_file("{path.relative_to(HERE.parent)}", "library")', repr(library))
    shelves = library.children
    books = library.search_by_name("book")
    print(f"  The library {library.attrs['name']!r} in {library.attrs['city']} has "
          f"{len(shelves)} shelves, {len(books)} books and {count_elements(library)} elements in all.")
    for shelf in shelves:
        print(f"  shelf {shelf.attrs['id']!r}:")
        for book in shelf.children:
            print(f"    {book.attrs['id']}  {book.attrs['year']}  [{book.attrs['lang']}]  "
                  f"{child_text(book, 'title')} by {child_text(book, 'author')}")
    note = library.search_by_name("note")[0]
    print("  Entities and CDATA come back decoded; a leaf looks like this as str(node):")
    print("    " + str(note).replace("\n", "\n    "))
    return library


def search(library: Node) -> None:
    heading("2. Search")
    found = library.search_by_attr("id", depth=1)
    show('library.search_by_attr("id", depth=1)', found)
    print("  (depth=1: the library and its children only, so the shelves and not the books)")
    found = library.search_by_attr("id")
    show('library.search_by_attr("id")', found)
    classics = library.search(SearchType.Text, "classic")
    show('library.search(SearchType.Text, "classic")', classics)
    print(f"  Results are the tree's own nodes: {classics[0] is library.search_by_name('tag')[1]}")
    priced = [book for book in library.search_by_name("book") if book.search_by_name("price", depth=1)]
    for book in priced:
        price = book.search_by_name("price", depth=1)[0]
        print(f"  {child_text(book, 'title')!r} costs {price.text} {price.attrs['currency']}")


def convert(library: Node) -> Node:
    heading("3. To a dict and back")
    book = library.search_by_name("book")[3]
    form = book.to_dict()
    print(f"  form = book.to_dict() for {child_text(book, 'title')!r}, shown as JSON with sorted keys")
    print("  (the order of a dict's keys and of the attributes is not fixed):")
    print("    " + json.dumps(form, indent=2, sort_keys=True, ensure_ascii=False).replace("\n", "\n    "))
    form["attrs"]["id"] = "b5"
    form["children"][0]["text"] = "Cats & Quantum Things, Second Edition"
    form["children"].append({"name": "price", "attrs": {"currency": "EUR"}, "children": [], "text": "9.90"})
    copy = Node.from_dict(form)
    show("copy = Node.from_dict(form)  # after editing the dict",
         f"{copy!r} id={copy.attrs['id']!r} with {len(copy.children)} children; "
         f"the original keeps id={book.attrs['id']!r} and {len(book.children)}")
    return copy


def write(library: Node, copy: Node) -> None:
    heading("4. Write")
    classics = [book for book in library.search_by_name("book")
                if book.search(SearchType.Text, "classic", depth=2)]
    reading_list = Node("reading-list", attrs={"topic": "classics"}, children=[*classics, copy])
    OUT_DIR.mkdir(parents=True, exist_ok=True)
    path = OUT_DIR / "reading-list.xml"
    brindxml.write_file(reading_list, str(path), indent=2)
    print("  A new tree that shares two books of the library, plus the edited copy, written with")
    print(f"  write_file(reading_list, \"{path.relative_to(HERE.parent)}\", indent=2):\n")
    print("    " + path.read_text(encoding="utf-8").replace("\n", "\n    "))
    print("\n  (attributes come out in the node's own order, which is not the document's)")


def round_trip(library: Node) -> bool:
    heading("5. Round trip: read -> write -> read")
    text = brindxml.write_string(library)
    again = brindxml.read_string(text, "library")
    path = OUT_DIR / "library.xml"
    brindxml.write_file(again, str(path), indent=4)
    from_file = brindxml.read_file(str(path), "library")
    same = library.to_dict() == again.to_dict() == from_file.to_dict()
    print(f"  write_string(library) gave {len(text)} characters; read_string of it, written to")
    print(f"  {path.relative_to(HERE.parent)} and read_file back: "
          f"{'the same tree each time' if same else 'THE TREES DIFFER'}.")
    return same


def errors() -> None:
    heading("6. Errors")
    cases: list[tuple[str, Callable[[], object]]] = [
        ('read_string("<a><b></a>", "a")', lambda: brindxml.read_string("<a><b></a>", "a")),
        ('read_string("<a/>", "b")', lambda: brindxml.read_string("<a/>", "b")),
        ('read_file("missing.xml", "a")', lambda: brindxml.read_file("missing.xml", "a")),
    ]
    for code, call in cases:
        try:
            call()
        except (ValueError, OSError) as exc:
            show(code, f"{type(exc).__name__}: {exc}")


def main() -> int:
    print(f"brindxml demo (Python {sys.version.split()[0]})")
    library = read(CATALOG)
    search(library)
    copy = convert(library)
    write(library, copy)
    ok = round_trip(library)
    errors()
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
