"""repr(node), str(node) and node.__to_string(spacing): the outline layout,
its indentation (which keeps growing past 255 instead of wrapping), the
spacing argument's errors, and trees too deep or too large to outline."""

import subprocess
import sys
import textwrap

import pytest

from brindxml import Node, read_string


def to_string(node, *args, **kwargs):
    return getattr(node, "__to_string")(*args, **kwargs)


def outline(node, width=0):
    """The outline as defined: recursive, with unbounded widths."""
    pad = " " * width
    text = pad + "Name: " + node.name
    if node.attrs:
        text += "\n" + pad + "Attributes:"
        for key, value in node.attrs.items():
            text += "\n" + pad + key + ": " + value
    if node.text is not None:
        text += "\n" + pad + "Text: " + node.text
    if node.children:
        text += "\n" + pad + "Children:"
        for child in node.children:
            text += "\n" + pad + outline(child, width + 2) + "\n"
    return text


EXAMPLE = Node("root", attrs={"id": "1"}, text="hello", children=[Node("a", text="x"), Node("b")])
C1 = Node("c1", children=[Node("g")])

STR_FORMS = [
    (Node("a"), "Name: a"),
    (Node(""), "Name: "),
    (Node("a", text=""), "Name: a\nText: "),
    (Node("a", attrs={"k": "v"}), "Name: a\nAttributes:\nk: v"),
    (Node("a", attrs={"": ""}), "Name: a\nAttributes:\n: "),
    (Node("a", attrs={}, children=[]), "Name: a"),
    (Node("p", children=[Node("c")]), "Name: p\nChildren:\n  Name: c\n"),
    (EXAMPLE, "Name: root\nAttributes:\nid: 1\nText: hello\nChildren:\n  Name: a\n  Text: x\n\n  Name: b\n"),
    # One empty line between children, two after a child with children.
    (Node("p", children=[Node("c1"), Node("c2")]), "Name: p\nChildren:\n  Name: c1\n\n  Name: c2\n"),
    (Node("p", children=[C1, Node("c2")]),
     "Name: p\nChildren:\n  Name: c1\n  Children:\n      Name: g\n\n\n  Name: c2\n"),
    # Strings are written as held: no quoting, no escaping.
    (Node("a&b", attrs={"k<": "\"v\"\nw"}, text="x\ny & <z>"),
     "Name: a&b\nAttributes:\nk<: \"v\"\nw\nText: x\ny & <z>"),
    (Node("\u00e9", text="\U0001f600\x00"), "Name: \u00e9\nText: \U0001f600\x00"),
    # A child held twice is written twice.
    (Node("p", children=[Node("c")] * 2), "Name: p\nChildren:\n  Name: c\n\n  Name: c\n"),
]


@pytest.mark.parametrize("node, expected", STR_FORMS)
def test_str(node, expected):
    assert str(node) == expected
    assert to_string(node) == expected
    assert to_string(node, None) == expected
    assert to_string(node, 0) == expected
    assert to_string(node, spacing=None) == expected


TO_STRING_FORMS = [
    (EXAMPLE, 2,
     "  Name: root\n  Attributes:\n  id: 1\n  Text: hello\n  Children:\n      Name: a\n    Text: x\n\n      Name: b\n"),
    (Node("a", text="t"), 1, " Name: a\n Text: t"),
    (Node("a", text="t"), True, " Name: a\n Text: t"),
    (Node("p", children=[C1]), 3,
     "   Name: p\n   Children:\n        Name: c1\n     Children:\n            Name: g\n\n"),
]


@pytest.mark.parametrize("node, spacing, expected", TO_STRING_FORMS)
def test_to_string(node, spacing, expected):
    assert to_string(node, spacing) == expected
    assert to_string(node, spacing=spacing) == expected


def test_attributes_follow_the_attribute_map_order():
    node = Node("a", attrs={f"k{i}": f"v{i}" for i in range(20)})
    lines = str(node).split("\n")
    assert lines[:2] == ["Name: a", "Attributes:"]
    assert lines[2:] == [f"{k}: {v}" for k, v in node.attrs.items()]


def _shared_tree():
    leaf = Node("leaf", attrs={"k": "v", "j": ""}, text="t")
    mid = Node("mid", children=[leaf, Node("e", text=""), leaf])
    return Node("top", attrs={"a": "1"}, children=[mid, Node("x", children=[mid]), leaf], text="root text")


@pytest.mark.parametrize("spacing", [0, 1, 7, 200, 254, 255])
def test_matches_the_recursive_layout(spacing):
    node = _shared_tree()
    assert to_string(node, spacing) == outline(node, spacing)


def test_indentation_keeps_growing_past_255():
    child = Node("c", text="t")
    text = to_string(Node("p", children=[child]), 255)
    lines = text.split("\n")
    assert lines[0] == " " * 255 + "Name: p"
    assert lines[2] == " " * (255 + 257) + "Name: c"
    assert lines[3] == " " * 257 + "Text: t"
    # A node 128 levels below the top has its own lines indented by 256.
    node = Node("deep", text="t")
    for _ in range(128):
        node = Node("n", children=[node])
    lines = str(node).split("\n")
    assert " " * 256 + "Text: t" in lines
    assert " " * (254 + 256) + "Name: deep" in lines
    assert str(node) == outline(node)


def test_hundreds_of_levels_match_the_recursive_layout():
    node = Node("leaf", text="t")
    for i in range(700):
        node = Node(f"n{i % 7}", attrs={"i": str(i)} if i % 3 == 0 else None, children=[node])
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(10_000)
    try:
        expected = outline(node, 3)
    finally:
        sys.setrecursionlimit(limit)
    assert to_string(node, 3) == expected


REPRS = [
    (Node("a"), "Node(a)"),
    (Node(""), "Node()"),
    (Node("a b\nc", text="t", children=[Node("x")]), "Node(a b\nc)"),
    (EXAMPLE, "Node(root)"),
]


@pytest.mark.parametrize("node, expected", REPRS)
def test_repr(node, expected):
    assert repr(node) == expected


class Index:
    def __index__(self):
        return 4


def test_spacing_accepts_integers_and_index_objects():
    node = Node("a")
    assert to_string(node, Index()) == "    Name: a"
    assert to_string(node, 255) == " " * 255 + "Name: a"


NODE = Node("n")

SPACING_ERRORS = [
    (-1, OverflowError, "number too small to fit in target type"),
    (-(2**40), OverflowError, "number too small to fit in target type"),
    (256, OverflowError, "number too large to fit in target type"),
    (2**40, OverflowError, "number too large to fit in target type"),
    (2**64, OverflowError, None),
    (2.0, TypeError, None),
    ("1", TypeError, None),
    ([], TypeError, None),
]


@pytest.mark.parametrize("spacing, exc_type, message", SPACING_ERRORS)
def test_spacing_errors(spacing, exc_type, message, raises_exactly, note):
    raises_exactly(exc_type, message, note("spacing"), lambda: to_string(NODE, spacing))
    raises_exactly(exc_type, message, note("spacing"), lambda: to_string(NODE, spacing=spacing))


@pytest.mark.parametrize("call, message", [
    (lambda: to_string(NODE, 1, 2), "Node.__to_string() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: to_string(NODE, width=1), "Node.__to_string() got an unexpected keyword argument 'width'"),
    (lambda: to_string(NODE, 1, spacing=1), "Node.__to_string() got multiple values for argument 'spacing'"),
])
def test_binding_errors(call, message, raises_exactly):
    raises_exactly(TypeError, message, [], call)


def test_parsed_tree_outline():
    node = read_string("<r k='&amp;'>a &lt; b<c>x</c><d/></r>", "r")
    assert str(node) == "Name: r\nAttributes:\nk: &\nText: a < b\nChildren:\n  Name: c\n  Text: x\n\n  Name: d\n"
    assert repr(node.children[1]) == "Node(d)"


def test_text_forms_on_many_threads(on_threads):
    node = _shared_tree()
    expected = (str(node), to_string(node, 9), repr(node))

    def check():
        assert (str(node), to_string(node, 9), repr(node)) == expected

    on_threads(check, rounds=500)


DEEP_OUTLINE = textwrap.dedent(
    """
    import time
    from brindxml import Node
    node = Node("leaf")
    for _ in range(999_999):
        node = Node("n", children=[node])
    print(repr(node))
    for form in (str, lambda n: getattr(n, "__to_string")(255)):
        started = time.monotonic()
        try:
            form(node)
        except MemoryError:
            print("MemoryError", time.monotonic() - started < 60)
    """
)


@pytest.mark.million
def test_a_million_level_outline_is_refused_not_built():
    # Its outline would take about 10**12 bytes. Run apart, so a crash or a
    # stack overflow shows as a failure instead of ending the run.
    done = subprocess.run([sys.executable, "-c", DEEP_OUTLINE], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout == "Node(n)\nMemoryError True\nMemoryError True\n"
