"""A small tour of brindxml for `make valgrind`: every entry point, on success
and on failure, a few times over, with nothing left alive at the end except
what the interpreter keeps. Exits non-zero if any result is not as expected,
so memcheck runs real work, not a crash course."""

import os
import sys
import tempfile
import threading

from brindxml import Node, SearchType, read_file, read_string, write_file, write_string

DOCUMENT = (
    '<?xml version="1.0"?>\n<!DOCTYPE r [<!ENTITY e "x">]>\n'
    '<r id="1" note="a&amp;b\tc"><!-- c --><a k="v">x &lt; y &#x1F600;</a>'
    "<b><![CDATA[<raw>]]>  tail  </b><c/>" + "".join(f'<i n="{i}">t{i}</i>' for i in range(50)) + "</r>"
)
FAILING_DOCUMENTS = ["<r><a></r>", "<r>&e;</r>", "<r a='1' a='2'/>", "<r>x</r", "<q/>", "<r>&#xD800;</r>"]


def expect(exc_type, call):
    try:
        call()
    except exc_type:
        return
    sys.exit(f"expected {exc_type.__name__} from {call}")


def tour(directory):
    tree = read_string(DOCUMENT, "r")
    assert tree.attrs == {"id": "1", "note": "a&b c"}
    assert tree.children[0].text == "x < y \U0001F600"
    assert tree.children[1].text == "<raw>  tail"
    for document in FAILING_DOCUMENTS:
        expect(ValueError, lambda: read_string(document, "r"))
    expect(TypeError, lambda: read_string(b"<r/>", "r"))
    expect(UnicodeEncodeError, lambda: read_string("<r>\ud800</r>", "r"))

    text = write_string(tree)
    assert read_string(text, "r").to_dict() == tree.to_dict()
    path = os.path.join(directory, "out.xml")
    write_file(tree, path, 0, False)
    assert read_file(path, "r").to_dict() == tree.to_dict()
    expect(FileNotFoundError, lambda: read_file(path + ".missing", "r"))
    expect(IsADirectoryError, lambda: write_file(tree, directory))
    expect(OverflowError, lambda: write_string(tree, -1))
    expect(MemoryError, lambda: write_string(tree, 2**63))

    assert len(tree.search_by_name("i")) == 50
    assert [n.name for n in tree.search(SearchType.Attr, "k")] == ["a"]
    assert tree.search_by_text("t7", 1)[0].attrs == {"n": "7"}
    expect(TypeError, lambda: tree.search(0, "i"))

    built = Node.from_dict(tree.to_dict())
    assert built.to_dict() == tree.to_dict()
    expect(ValueError, lambda: Node.from_dict({"attrs": {}, "children": []}))
    expect(TypeError, lambda: Node.from_dict({"name": "a", "attrs": {}, "children": [], "text": 5}))
    expect(TypeError, lambda: Node("a", children=["x"]))
    assert str(built).startswith("Name: r")
    assert repr(built) == "Node(r)"

    # A chain deep enough to use the iterative paths, and a failing parse
    # released by a thread with no thread state (the deferred release queue).
    deep = Node("d")
    for _ in range(2000):
        deep = Node("d", children=[deep])
    assert len(write_string(deep, 0, False)) > 2000 * 4
    worker = threading.Thread(target=lambda: expect(ValueError, lambda: read_string("<a>" * 100, "a")))
    worker.start()
    worker.join()


def main():
    with tempfile.TemporaryDirectory() as directory:
        for _ in range(3):
            tour(directory)
    print("memcheck tour complete")


if __name__ == "__main__":
    main()
