"""Copying and pickling nodes: copies are the node itself; pickling keeps names,
texts (absent and empty apart), attributes, children order and which nodes are
one object, with every protocol, in bytes that do not depend on who else holds
the nodes; malformed forms raise the errors of from_dict; trees far deeper than
the native stack pickle and load; hostile forms cost memory and time in
proportion to their size."""

import copy
import os
import pickle
import random
import subprocess
import sys
import textwrap

import pytest

import brindxml
from brindxml import Node, read_string

SANITIZED = os.environ.get("BRINDXML_SANITIZED") == "1"

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


@pytest.mark.million
def test_deep_chain():
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


def doubling_chain(levels, text=None):
    """2**levels paths from the root, levels + 1 distinct nodes."""
    dag = Node("d", text=text)
    for _ in range(levels):
        dag = Node("d", children=(dag, dag))
    return dag


def test_sharing_within_the_bound_is_written_and_loaded_once():
    # 2**16 - 1 nodes once expanded: within the allowance.
    loaded = pickle.loads(pickle.dumps(doubling_chain(15)))
    for _ in range(15):
        left, right = loaded.children
        assert left is right
        loaded = left


# Trees that would expand beyond the loader's bound are not pickled. The bound
# is 16 nodes per byte of table plus 65,536, and 64 bytes of strings per byte
# of table and strings plus 64 MiB; each level of a doubling chain takes 6
# bytes of table.
REFUSED = [
    (lambda: doubling_chain(16), "131071 nodes, more than the 67136 allowed"),
    (lambda: doubling_chain(59), "1152921504606846975 nodes, more than the 71264 allowed"),
    # Few nodes, each holding a long text: bounded by bytes too.
    (lambda: doubling_chain(9, text="x" * 2**20), "536871935 bytes of strings, more than the 134221504 allowed"),
]


@pytest.mark.parametrize("make, expansion", REFUSED, ids=["2**17 - 1 nodes", "2**60 - 1 nodes", "512 MiB of text"])
def test_trees_expanding_beyond_the_bound_are_refused(make, expansion, raises_exactly):
    raises_exactly(ValueError, f"Cannot pickle: the tree expands to {expansion}", [], lambda: pickle.dumps(make()))


def test_a_document_repeating_a_long_value_stays_loadable():
    # No sharing, yet one 100,000-byte value in 800 elements: 80 MB of strings
    # once expanded. Long strings are written at each place, so the pickle
    # carries what it expands to and loads.
    value = "v" * 100_000
    document = "<r>" + f'<e a="{value}"/>' * 800 + "</r>"
    tree = read_string(document, "r")
    loaded = pickle.loads(pickle.dumps(tree))
    assert len(loaded.children) == 800
    assert all(child.attrs == {"a": value} for child in loaded.children)


def shared_children_tree():
    leaf = Node("b", attrs={"k": "v"}, text="t")
    middles = [Node("m", children=(leaf, Node("x"), leaf)) for _ in range(3)]
    return Node("r", children=(middles[0], middles[1], middles[0], middles[2], leaf))


def test_pickle_bytes_do_not_depend_on_other_references():
    tree = shared_children_tree()
    alone = pickle.dumps(tree)
    held = [tree.children[0], tree.children[4], tree.children[1].children[1]] * 3
    assert pickle.dumps(tree) == alone
    del held
    assert pickle.dumps(tree) == alone
    loaded = pickle.loads(alone)
    assert layout(loaded) == layout(tree)
    assert loaded.children[0] is loaded.children[2]
    assert loaded.children[4] is loaded.children[0].children[0] is loaded.children[1].children[2]


def test_pickle_bytes_are_stable_while_threads_take_and_drop_references(on_threads):
    # Other threads keep changing the reference counts of the shared nodes
    # while the tree is pickled: every pickle is the same bytes.
    tree = Node("top", children=[shared_children_tree() for _ in range(50)] * 2)
    expected = pickle.dumps(tree)

    def check():
        for _ in range(20):
            held = list(tree.children) + [c for child in tree.children for c in child.children]
            assert pickle.dumps(tree) == expected
            del held

    on_threads(check, rounds=3)


# Hostile forms, each loaded in a child process whose address space is capped
# just above its size before the load. The cap turns a form that would take
# all memory into MemoryError; each form must instead load in little memory,
# or be refused as invalid at once.
BOMB = textwrap.dedent("""
    import resource, sys
    import brindxml

    def number(value):
        out = bytearray()
        while value >= 0x80:
            out.append(value & 0x7F | 0x80)
            value >>= 7
        out.append(value)
        return bytes(out)

    def node(name, attrs=(), children=(), text=0):
        pairs = b"".join(number(k) + number(v) for k, v in attrs)
        backs = b"".join(number(b) for b in children)
        return number(name) + number(len(attrs)) + pairs + number(len(children)) + backs + number(text)

    big = "x" * 2**20
    strings, table = {form}

    def status(field):  # in KiB; VmHWM is this process's peak resident size
        with open("/proc/self/status") as lines:
            return int(next(line for line in lines if line.startswith(field)).split()[1])

    # Sanitizers reserve address space and keep freed memory: no cap there.
    measured = {measured}
    limits = resource.getrlimit(resource.RLIMIT_AS)
    if measured:
        resource.setrlimit(resource.RLIMIT_AS, ((status("VmSize:") + 128 * 1024) * 1024, limits[1]))
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # restarts VmHWM from the current size
    before = status("VmRSS:")
    try:
        loaded = brindxml._node_from_table(strings, table)
    except (ValueError, MemoryError) as exc:
        print(type(exc).__name__, str(exc).split(":")[0])
        sys.exit()
    grown = status("VmHWM:") - before if measured else 0
    resource.setrlimit(resource.RLIMIT_AS, limits)  # the summary below makes strs of its own
    print("loaded", len(loaded.children), len(loaded.attrs), "small" if grown < 48 * 1024 else f"{{grown}} KiB")
""")

BOMBS = {
    # 100 attributes valued by one 1 MiB string: one copy, not 100.
    "one string named often": ("(big,) + tuple(map(str, range(100))), node(0, [(1 + i, 0) for i in range(100)])",
                               "loaded 0 100 small"),
    # One str object at 100 places of the tuple: still one copy.
    "one str at many places": ("(big,) * 100 + tuple(map(str, range(100))), "
                               "node(0, [(100 + i, i) for i in range(100)])", "loaded 0 100 small"),
    # 1,000 nodes naming one 1 MiB text: 1 GiB of strings from 4 kB of table.
    "one long text in many nodes": ('(big, "n"), b"".join(node(1, text=1) for _ in range(1000)) '
                                    "+ node(1, children=range(1, 1001))", "ValueError Invalid table"),
    # Each node refers twice to the one before: 2**40 nodes from 250 bytes.
    "doubling chain": ('("d",), node(0) + node(0, children=(1, 1)) * 40', "ValueError Invalid table"),
    # 5,000,000 copies of one attribute: one attribute, in a table sized for one.
    "one attribute repeated": ('("a",), number(0) + number(5_000_000) + b"\\0\\0" * 5_000_000 + node(0)[2:]',
                               "loaded 0 1 small"),
    # 30 nodes with 100,000 copies each, all kept: none keeps a large table.
    "repeated attributes kept": ('("a", "r"), (number(0) + number(100_000) + b"\\0\\0" * 100_000 + b"\\0\\0") * 30 '
                                 "+ node(1, children=range(1, 31))", "loaded 30 0 small"),
}


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")
@pytest.mark.parametrize("form, expected", BOMBS.values(), ids=BOMBS.keys())
def test_hostile_forms_load_in_bounded_memory_or_are_refused(form, expected):
    child = BOMB.format(form=form, measured=not SANITIZED)
    done = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, timeout=300)
    assert (done.stdout.strip(), done.returncode) == (expected, 0), done.stderr[-2000:]


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
