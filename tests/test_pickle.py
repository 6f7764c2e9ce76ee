"""Copying and pickling nodes: copies are the node itself; pickling keeps names,
texts (absent and empty apart), attributes, children order and which nodes are
one object, with every protocol; malformed forms raise the errors of from_dict;
trees far deeper than the native stack pickle and load."""

import copy
import pickle
import random
import sys

import pytest

import brindxml
from brindxml import Node, read_string

load_table = brindxml._node_from_table
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


def layout(root):
    """The tree's content plus which positions hold one object: every distinct
    node gets a number the first time the walk meets it."""
    numbers = {}

    def walk(node):
        first = id(node) not in numbers
        number = numbers.setdefault(id(node), len(numbers))
        if not first:
            return number
        return (number, node.name, node.text, sorted(node.attrs.items()), [walk(c) for c in node.children])

    return walk(root)


def shared_tree():
    b = Node("b", attrs={"k": "v"}, text="")
    twin = Node("b", attrs={"k": "v"}, text="")  # equal to b, yet another object
    c = Node("c", children=(b, twin, b))
    return Node("a", children=(b, c, c, twin), text="x")


TREES = {
    "bare": lambda: Node("a"),
    "empty text and names": lambda: Node("", attrs={"": ""}, text=""),
    "unicode and markup": lambda: Node("\u00e9\U0001f600", attrs={"&amp;": "<\"'>", "n": "l1\nl2"},
                                       text="\x00\u20ac & <"),
    "shared and equal twins": shared_tree,
    "parsed": lambda: read_string('<r><x k="1" j="&lt;2">t&amp;u</x><y/><x k="1">t</x></r>', "r"),
}


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("make", TREES.values(), ids=TREES.keys())
def test_pickle_round_trip(make, protocol):
    tree = make()
    loaded = pickle.loads(pickle.dumps(tree, protocol))
    assert loaded is not tree
    assert layout(loaded) == layout(tree)


@pytest.mark.parametrize("make_copy", [copy.copy, copy.deepcopy, lambda n: copy.deepcopy([n])[0]])
def test_copies_are_the_node_itself(make_copy):
    tree = shared_tree()
    assert make_copy(tree) is tree


def test_loaded_strings_do_not_keep_the_document():
    document = "".join(['<r a="v">', "text " * 50, "</r>"])
    before = sys.getrefcount(document)
    parsed = read_string(document, "r")
    assert sys.getrefcount(document) > before  # the parsed tree views the document
    loaded = pickle.loads(pickle.dumps(parsed))
    del parsed
    assert sys.getrefcount(document) == before
    assert (loaded.attrs, loaded.text) == ({"a": "v"}, ("text " * 50).strip())


def test_pickle_on_threads(on_threads):
    tree = read_string("<r>" + '<x k="1"><y>t</y></x>' * 200 + "</r>", "r")
    expected = layout(tree)
    on_threads(lambda: layout(pickle.loads(pickle.dumps(tree))) == expected or pytest.fail("differs"), rounds=5)


def test_deep_chain_and_exponential_sharing():
    chain = Node("leaf", text="t")
    for _ in range(1_000_000):
        chain = Node("n", children=(chain,))
    loaded = pickle.loads(pickle.dumps(chain, pickle.HIGHEST_PROTOCOL))
    del chain
    depth = 0
    while loaded.children:
        (loaded,) = loaded.children
        depth += 1
    assert (depth, loaded.name, loaded.text) == (1_000_000, "leaf", "t")
    # 2**60 paths from the root, 61 distinct nodes: written and loaded once each.
    dag = Node("d")
    for _ in range(60):
        dag = Node("d", children=(dag, dag))
    loaded = pickle.loads(pickle.dumps(dag))
    for _ in range(60):
        left, right = loaded.children
        assert left is right
        loaded = left


# (strings, table) -> (exception type, message, notes); the table is LEB128
# numbers per node: name, attr count, pairs, child count, back references, text.
S = ("a", "b")
INVALID = [
    ((5, b""), TypeError, "'int' object is not an instance of 'tuple'", ["while processing 'strings'"]),
    ((S, "\0\0\0\0"), TypeError, "'str' object is not an instance of 'bytes'", ["while processing 'table'"]),
    ((("a", 1), b"\0\0\0\0"), TypeError, "'int' object is not an instance of 'str'",
     ["while processing 'strings'"]),
    ((S, b""), ValueError, "Invalid name", []),
    ((S, b"\x02\0\0\0"), ValueError, "Invalid name", []),
    ((S, b"\xff" * 11), ValueError, "Invalid name", []),
    ((S, b"\x80\x80\x80\x80\x80\x80\x80\x80\x80\x02\0\0\0"), ValueError, "Invalid name", []),
    ((S, b"\0"), ValueError, "Invalid attrs", []),
    ((S, b"\0\x03\0\x01\0\0"), ValueError, "Invalid attrs", []),
    ((S, b"\0\x01\0\x02\0\0"), ValueError, "Invalid attrs", []),
    ((S, b"\0\0"), ValueError, "Invalid children", []),
    ((S, b"\0\0\x01\0\0"), ValueError, "Invalid children", []),
    ((S, b"\0\0\0\0" + b"\0\0\x01\x02\0"), ValueError, "Invalid children", []),
    ((S, b"\0\0\0\0" + b"\0\0\x01\x00\0"), ValueError, "Invalid children", []),
    ((S, b"\0\0\0"), ValueError, "Invalid text", []),
    ((S, b"\0\0\0\x03"), ValueError, "Invalid text", []),
    ((("\ud800",), b"\0\0\0\0"), UnicodeEncodeError, None, ["while processing 'strings'"]),
    (((), b"", 1), TypeError, "_node_from_table() takes 2 positional arguments but 3 were given", []),
]


@pytest.mark.parametrize("args, exc_type, message, notes", INVALID)
def test_invalid_forms(args, exc_type, message, notes, raises_exactly):
    raises_exactly(exc_type, message, notes, lambda: load_table(*args))


def test_valid_forms_and_pickles_of_invalid_ones():
    node = load_table(S, b"\0\0\0\x02" + b"\x01\x01\0\x01\x01\x01\0")
    assert layout(node) == (0, "b", None, [("a", "b")], [(1, "a", "b", [], [])])

    class Crafted:
        def __reduce__(self):
            return load_table, (S, b"\0\0\x01\x05")

    with pytest.raises(ValueError, match="Invalid children"):
        pickle.loads(pickle.dumps(Crafted()))


def test_corrupted_tables_raise_or_load():
    strings, table = shared_tree().__reduce__()[1]
    rng = random.Random(12)
    for _ in range(3000):
        mutated = bytearray(table[: rng.randrange(len(table) + 1)])
        for _ in range(rng.randrange(4)):
            if mutated:
                mutated[rng.randrange(len(mutated))] = rng.choice((0, 1, 2, 0x7F, 0x80, 0xFF, rng.randrange(256)))
        try:
            assert isinstance(load_table(strings, bytes(mutated)), Node)
        except ValueError as exc:
            assert str(exc) in {"Invalid name", "Invalid attrs", "Invalid children", "Invalid text"}
