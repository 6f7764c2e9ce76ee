"""Node.search and the three search_by_ methods: pre-order results that are
the tree's own nodes, depth limits, exact byte matching, and the argument
errors in the order the arguments are converted."""

import subprocess
import sys
import textwrap

import pytest

from brindxml import Node, SearchType, read_string

# The tree every table below searches. Every node is named "x" except where a
# test needs otherwise; the `id` attribute tells the nodes apart.
#
#   r ─┬─ a ─┬─ c ─── e
#      │     └─ d
#      └─ b ─── f
E = Node("x", attrs={"id": "e"}, text="deep")
C = Node("x", attrs={"id": "c"}, children=[E])
D = Node("x", attrs={"id": "d"}, text="")
A = Node("x", attrs={"id": "a"}, children=[C, D], text=" deep ")
F = Node("y", attrs={"id": "f"}, text="Deep")
B = Node("x", attrs={"id": "b", "k": ""}, children=[F])
R = Node("x", attrs={"id": "r"}, children=[A, B])


def ids(nodes):
    return [n.attrs["id"] for n in nodes]


class Text(str):
    pass


DEPTHS = [
    (None, ["r", "a", "c", "e", "d", "b"]),
    (0, ["r"]),
    (1, ["r", "a", "b"]),
    (2, ["r", "a", "c", "d", "b"]),
    (3, ["r", "a", "c", "e", "d", "b"]),
    (2**31 - 1, ["r", "a", "c", "e", "d", "b"]),
    (-1, ["r", "a", "c", "e", "d", "b"]),
    (-(2**31), ["r", "a", "c", "e", "d", "b"]),
    (True, ["r", "a", "b"]),
    (False, ["r"]),
]


@pytest.mark.parametrize("depth, expected", DEPTHS)
def test_depth_limits(depth, expected):
    assert ids(R.search_by_name("x", depth)) == expected
    assert ids(R.search(SearchType.Tag, "x", depth=depth)) == expected


def test_depth_zero_considers_only_the_start_node():
    assert A.search_by_name("y", 0) == []
    assert ids(B.search_by_attr("k", 0)) == ["b"]
    assert ids(B.search_by_name("y", 1)) == ["f"]
    assert R.search_by_name("y", 1) == []  # f is a grandchild


# (method, needle, depth, expected ids)
MATCHES = [
    ("search_by_name", "y", None, ["f"]),
    ("search_by_name", "X", None, []),  # no case folding
    ("search_by_name", "", None, []),
    ("search_by_name", "x ", None, []),
    ("search_by_attr", "id", None, ["r", "a", "c", "e", "d", "b", "f"]),
    ("search_by_attr", "k", None, ["b"]),  # an empty value still counts
    ("search_by_attr", "b", None, []),  # values are not searched
    ("search_by_attr", "", None, []),
    ("search_by_attr", "id", 1, ["r", "a", "b"]),
    ("search_by_text", "deep", None, ["e"]),  # no trimming, no case folding
    ("search_by_text", " deep ", None, ["a"]),
    ("search_by_text", "", None, ["d"]),  # absent text never matches
    ("search_by_text", "Deep", 1, []),
    ("search_by_text", "Deep", 2, ["f"]),
]

CRITERIA = {
    "search_by_name": SearchType.Tag,
    "search_by_attr": SearchType.Attr,
    "search_by_text": SearchType.Text,
}


@pytest.mark.parametrize("method, needle, depth, expected", MATCHES)
def test_matches(method, needle, depth, expected):
    assert ids(getattr(R, method)(needle, depth)) == expected
    # The general method with the same criterion, and a str subclass needle.
    assert ids(R.search(CRITERIA[method], needle, depth)) == expected
    assert ids(getattr(R, method)(Text(needle), depth=depth)) == expected


def test_empty_name_and_attribute_key_can_be_found():
    empty = Node("", attrs={"": "v", "1": "x"})
    root = Node("r", children=[empty, Node("", text="t")])
    assert [n.text for n in root.search_by_name("")] == [None, "t"]
    assert root.search_by_attr("")[0] is empty
    assert root.search(SearchType.Attr, "1")[0] is empty


def test_results_are_the_tree_nodes_themselves():
    found = R.search_by_name("x")
    assert found[0] is R
    assert found[1] is R.children[0]
    assert found[3] is E
    assert all(type(n) is Node for n in found)
    assert type(found) is list


def test_same_name_order_is_pre_order():
    c = Node("n", attrs={"id": "C"})
    a = Node("n", attrs={"id": "A"}, children=[c])
    b = Node("n", attrs={"id": "B"})
    r = Node("n", attrs={"id": "R"}, children=[a, b])
    assert ids(r.search_by_name("n")) == ["R", "A", "C", "B"]


def test_a_shared_node_is_found_once_per_place():
    leaf = Node("m", attrs={"id": "leaf"})
    twice = Node("m", attrs={"id": "twice"}, children=[leaf])
    root = Node("r", attrs={"id": "root"}, children=[twice, Node("m", attrs={"id": "mid"}), twice])
    assert ids(root.search_by_name("m")) == ["twice", "leaf", "mid", "twice", "leaf"]
    found = root.search_by_name("m")
    assert found[0] is found[3] is twice and found[1] is found[4] is leaf
    # The depth limit counts levels along each path separately.
    assert ids(root.search_by_name("m", 1)) == ["twice", "mid", "twice"]


def test_search_takes_and_leaves_references_exactly():
    before = [sys.getrefcount(n) for n in (R, A, C, E)]
    found = R.search_by_name("x")
    assert [sys.getrefcount(n) for n in (R, A, C, E)] == [b + 1 for b in before]
    del found
    R.search_by_text("nothing matches")
    assert [sys.getrefcount(n) for n in (R, A, C, E)] == before


NODE = Node("n")

# (call, exception type, message or None for the interpreter's own, note)
ARGUMENT_ERRORS = [
    (lambda: NODE.search("Tag", "x"), TypeError,
     "'str' object is not an instance of 'SearchType'", "by"),
    (lambda: NODE.search(0, "x"), TypeError, "'int' object is not an instance of 'SearchType'", "by"),
    (lambda: NODE.search(None, "x"), TypeError, "'None' is not an instance of 'SearchType'", "by"),
    (lambda: NODE.search(SearchType, "x"), TypeError,
     "'type' object is not an instance of 'SearchType'", "by"),
    (lambda: NODE.search(SearchType.Tag, None), TypeError, "'None' is not an instance of 'str'", "value"),
    (lambda: NODE.search(SearchType.Tag, b"n"), TypeError,
     "'bytes' object is not an instance of 'str'", "value"),
    (lambda: NODE.search_by_name(1), TypeError, "'int' object is not an instance of 'str'", "name"),
    (lambda: NODE.search_by_attr(["k"]), TypeError, "'list' object is not an instance of 'str'", "key"),
    (lambda: NODE.search_by_text(None), TypeError, "'None' is not an instance of 'str'", "text"),
    (lambda: NODE.search_by_text("\ud800"), UnicodeEncodeError, None, "text"),
    (lambda: NODE.search_by_name("n", 2**31), OverflowError,
     "number too large to fit in target type", "depth"),
    (lambda: NODE.search_by_name("n", -(2**31) - 1), OverflowError,
     "number too small to fit in target type", "depth"),
    (lambda: NODE.search_by_name("n", 2**64), OverflowError, None, "depth"),
    (lambda: NODE.search_by_name("n", 1.0), TypeError, None, "depth"),
    (lambda: NODE.search_by_attr("n", depth="1"), TypeError, None, "depth"),
    # The first failing argument, in parameter order, is the one reported.
    (lambda: NODE.search("Tag", None, "deep"), TypeError,
     "'str' object is not an instance of 'SearchType'", "by"),
    (lambda: NODE.search(depth=2**40, value=None, by=SearchType.Tag), TypeError,
     "'None' is not an instance of 'str'", "value"),
    (lambda: NODE.search_by_name(None, 2**40), TypeError, "'None' is not an instance of 'str'", "name"),
]


@pytest.mark.parametrize("call, exc_type, message, parameter", ARGUMENT_ERRORS)
def test_argument_errors(call, exc_type, message, parameter, raises_exactly, note):
    raises_exactly(exc_type, message, note(parameter), call)


BINDING_ERRORS = [
    (lambda: NODE.search(SearchType.Tag, "a", 1, 2),
     "Node.search() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda: NODE.search(SearchType.Tag), "Node.search() missing 1 required positional argument: 'value'"),
    (lambda: NODE.search(), "Node.search() missing 2 required positional arguments: 'by' and 'value'"),
    (lambda: NODE.search_by_name(), "Node.search_by_name() missing 1 required positional argument: 'name'"),
    (lambda: NODE.search_by_attr("k", 1, 2),
     "Node.search_by_attr() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: NODE.search_by_text("t", text="t"),
     "Node.search_by_text() got multiple values for argument 'text'"),
    (lambda: NODE.search_by_name(value="n"), "Node.search_by_name() got an unexpected keyword argument 'value'"),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS)
def test_binding_errors(call, message, raises_exactly):
    raises_exactly(TypeError, message, [], call)


def test_keyword_arguments():
    assert ids(R.search(value="y", by=SearchType.Tag, depth=None)) == ["f"]
    assert ids(R.search_by_attr(key="k")) == ["b"]
    assert ids(R.search_by_text(depth=3, text="deep")) == ["e"]


def test_searches_on_many_threads_agree(on_threads):
    expected = ids(R.search_by_attr("id"))

    def check():
        assert ids(R.search_by_attr("id")) == expected
        assert R.search_by_name("y", 2)[0] is F

    on_threads(check, rounds=2000)


def test_parsed_tree_strings_match_like_owned_ones():
    tree = read_string('<r><p:a id="1">t</p:a><a k="">&#116;</a><a>T</a></r>', "r")
    assert [n.attrs for n in tree.search_by_name("a")] == [{"k": ""}, {}]
    assert [n.name for n in tree.search_by_name("p:a")] == ["p:a"]
    assert [n.name for n in tree.search_by_text("t")] == ["p:a", "a"]
    assert [n.name for n in tree.search_by_attr("k")] == ["a"]
    assert tree.search_by_name("a")[0] is tree.children[1]


DEEP_SEARCH = textwrap.dedent(
    """
    from brindxml import Node, SearchType
    node = Node("leaf", text="t")
    for _ in range(999_999):
        node = Node("n", children=[node])
    print(len(node.search_by_name("n")))
    found = node.search_by_text("t")
    leaf = node
    while leaf.children:
        leaf = leaf.children[0]
    print(len(found), found[0] is leaf)
    print(len(node.search(SearchType.Tag, "n", 4)), len(node.search_by_name("leaf", -5)))
    """
)


@pytest.mark.million
def test_a_million_level_chain_is_searched_without_native_recursion():
    # Run apart, so a stack overflow shows as a failure instead of ending the run.
    done = subprocess.run([sys.executable, "-c", DEEP_SEARCH], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout == "999999\n1 True\n5 1\n"
