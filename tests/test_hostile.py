"""Hostile input: entity-expansion attacks, a million levels of nesting through
every operation, very long names and values, and documents built to make
the reader do more than linear work. Everything must either work in time
roughly linear in the input or fail fast with the usual error."""

import os
import subprocess
import sys
import textwrap
import time

import pytest

from brindxml import Node, read_file, read_string, write_file, write_string

SANITIZED = os.environ.get("BRINDXML_SANITIZED") == "1"
# Generous: these take milliseconds; the bound only catches super-linear work.
FAST = 20.0 if SANITIZED else 5.0


def timed(call):
    started = time.monotonic()
    try:
        result = call()
    except Exception as exc:  # the error is the result
        result = exc
    return result, time.monotonic() - started


def billion_laughs(use):
    entities = "".join(
        f' <!ENTITY lol{i} "{("&lol" + (str(i - 1) if i > 1 else "") + ";") * 10}">\n' for i in range(1, 10)
    )
    return f'<?xml version="1.0"?>\n<!DOCTYPE lolz [\n <!ENTITY lol "lol">\n{entities}]>\n{use}'


# Entity expansion ---------------------------------------------------------------

# (document, root tag, expected text of the error or of the root's to_dict)
ENTITY_ATTACKS = [
    # Declared entities are never expanded: using one is an unknown entity.
    (billion_laughs("<lolz>&lol9;</lolz>"), "lolz", "unknown entity reference '&lol9;' at byte 770"),
    (billion_laughs('<lolz a="&lol9;"/>'), "lolz", "unknown entity reference '&lol9;' at byte 773"),
    (billion_laughs("<lolz>&lol;</lolz>"), "lolz", "unknown entity reference '&lol;' at byte 770"),
    # External entities are not fetched either.
    ('<!DOCTYPE r [<!ENTITY xxe SYSTEM "file:///etc/passwd">]><r>&xxe;</r>', "r",
     "unknown entity reference '&xxe;' at byte 59"),
    ('<!DOCTYPE r [<!ENTITY % p SYSTEM "http://127.0.0.1:1/x"> %p;]><r>%p;</r>', "r",
     {"name": "r", "attrs": {}, "children": [], "text": "%p;"}),
    # A declaration that is never used costs nothing and leaves no trace.
    (billion_laughs("<lolz>fine</lolz>"), "lolz", {"name": "lolz", "attrs": {}, "children": [], "text": "fine"}),
    # Markup in an entity value is part of the declaration: never read as the
    # document's own, never expanded.
    ('<!DOCTYPE r [<!ENTITY e "<r>injected</r>">]><r/>', "r", {"name": "r", "attrs": {}, "children": [], "text": None}),
]


@pytest.mark.parametrize("document, root, expected", ENTITY_ATTACKS, ids=range(len(ENTITY_ATTACKS)))
def test_declared_entities_are_never_expanded(document, root, expected):
    result, seconds = timed(lambda: read_string(document, root).to_dict())
    if isinstance(expected, str):
        assert type(result) is ValueError and str(result) == expected
    else:
        assert result == expected
    assert seconds < FAST


def test_billion_laughs_with_a_huge_declaration_fails_fast():
    # Ten megabytes of declarations: skipped in one pass, then the first use fails.
    padding = '<!ENTITY pad "' + "&lol9;" * 100_000 + '">\n'
    document = billion_laughs("").replace("]>", padding * 16 + "]>") + "<lolz>&lol9;&lol9;</lolz>"
    result, seconds = timed(lambda: read_string(document, "lolz"))
    offset = document.index("&lol9;</lolz>") - len("&lol9;")
    assert type(result) is ValueError and str(result) == f"unknown entity reference '&lol9;' at byte {offset}"
    assert seconds < FAST


# (document, root, expected outcome): many references and many attributes
# are decoded and checked in linear time.
def test_many_references_decode_in_linear_time():
    document = "<r>" + "&amp;&#65;&#x1F600;&lt;" * 500_000 + "</r>"
    result, seconds = timed(lambda: read_string(document, "r"))
    assert result.text == "&A\U0001F600<" * 500_000
    assert seconds < FAST


def test_many_attributes_parse_and_a_late_duplicate_is_found():
    attrs = "".join(f' a{i}="{i}"' for i in range(200_000))
    result, seconds = timed(lambda: read_string(f"<r{attrs}/>", "r"))
    assert len(result.attrs) == 200_000 and result.attrs["a199999"] == "199999"
    assert seconds < FAST
    document = f'<r{attrs} a0="again"/>'
    result, seconds = timed(lambda: read_string(document, "r"))
    offset = document.index(' a0="again"') + 1
    assert type(result) is ValueError and str(result) == f"malformed XML at byte {offset}: duplicate attribute 'a0'"
    assert seconds < FAST


# A million levels ---------------------------------------------------------------

# Every operation on a tree a million levels deep, read from a document and
# built with the constructor. Writes use indent 0: a million levels at the
# default width would be terabytes of indentation. `str` must either work or
# refuse with MemoryError (its outline copies each level into its parent).
DEEP_TOUR = textwrap.dedent(
    """
    import os, sys, time
    from brindxml import Node, read_file, read_string, write_file, write_string

    LEVELS = 1_000_000
    directory = sys.argv[1]

    def depth_and_leaf(node):
        levels = 0
        while node.children:
            node, levels = node.children[0], levels + 1
        return levels, node

    def tour(label, root):
        levels, leaf = depth_and_leaf(root)
        print(label, "levels", levels, leaf.name, leaf.attrs, leaf.text)
        written = write_string(root, 0, False)
        path = os.path.join(directory, label + ".xml")
        write_file(root, path, 0, False)
        with open(path, encoding="utf-8") as f:
            print(label, "file equals string", f.read() == written)
        again = read_file(path, root.name)
        print(label, "reread", depth_and_leaf(again)[0], depth_and_leaf(read_string(written, root.name))[0])
        del again
        print(label, "search", len(root.search_by_name("n")), root.search_by_attr("k")[0] is leaf,
              root.search_by_text("t")[0] is leaf, len(root.search_by_name("n", 10)))
        d = root.to_dict()
        back = Node.from_dict(d)
        del d
        print(label, "from_dict", depth_and_leaf(back)[0])
        del back
        started = time.monotonic()
        try:
            outline = str(root)
            print(label, "str works", outline.startswith("Name: n"))
        except MemoryError:
            print(label, "str MemoryError", time.monotonic() - started < 60)

    document = "<n>" * LEVELS + '<leaf k="v">t</leaf>' + "</n>" * LEVELS
    tour("parsed", read_string(document, "n"))
    del document

    node = Node("leaf", attrs={"k": "v"}, text="t")
    for _ in range(LEVELS):
        node = Node("n", children=[node])
    tour("built", node)
    del node
    print("released")
    """
)


def expected_tour(label):
    return [
        f"{label} levels 1000000 leaf {{'k': 'v'}} t",
        f"{label} file equals string True",
        f"{label} reread 1000000 1000000",
        f"{label} search 1000000 True True 11",
        f"{label} from_dict 1000000",
    ]


@pytest.mark.million
def test_a_million_levels_pass_through_every_operation(tmp_path):
    # Run apart, so that a stack overflow is a failure here, not the end of the run.
    done = subprocess.run([sys.executable, "-c", DEEP_TOUR, str(tmp_path)], capture_output=True, text=True,
                          timeout=900)
    assert done.returncode == 0, done.stderr[-3000:]
    lines = done.stdout.splitlines()
    assert lines[0:5] == expected_tour("parsed")
    assert lines[5] in ("parsed str works True", "parsed str MemoryError True")
    assert lines[6:11] == expected_tour("built")
    assert lines[11] in ("built str works True", "built str MemoryError True")
    assert lines[12:] == ["released"]


# Very long names and values ---------------------------------------------------

def test_names_and_values_of_tens_of_megabytes(tmp_path):
    name = "n" * 20_000_000
    key = "k\u00e9" * 5_000_000
    value = "v<&>\"'\t" * 5_000_000
    text = "t\U0001F600" * 10_000_000
    node = Node(name, attrs={key: value, "x": "1"}, children=[Node(name, text="inner")], text=text)
    written = write_string(node, 2, False)
    assert written.startswith("<" + name + " ")
    back = read_string(written, name)
    assert back.name == name and back.text == text and back.attrs == {key: value, "x": "1"}
    assert back.children[0].name == name and back.children[0].text == "inner"
    path = str(tmp_path / "long.xml")
    write_file(node, path, 2, False)
    assert read_file(path, name).to_dict() == node.to_dict()
    assert [n.text for n in back.search_by_name(name)] == [text, "inner"]
    assert back.search_by_attr(key)[0] is back
    assert Node.from_dict(back.to_dict()).to_dict() == node.to_dict()
    assert str(Node(name, text="x")) == "Name: " + name + "\nText: x"
