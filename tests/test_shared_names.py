"""A parsed document hands out one str per distinct element name and attribute
key: reading a name returns an equal str of type str each time, the same
object for every node of that document, released with the document. Nodes
not read from a document, and other documents, get their own strs."""

import sys
import threading

import pytest

from brindxml import Node, read_string

# Names of 9 to 24 bytes that differ in one byte only, before their last 8
# bytes or inside them, and short ones that differ in the middle byte: a
# lookup that compared part of a name would hand out the wrong one.
LONG = ["abcdefgh_12345678", "abcdefgX_12345678", "abcdefgh_1234567X", "abcdefghijklmnopqrstuvwx",
        "abcdefghijklmnopXrstuvwx", "aXc", "abc", "abcde", "abXde", "例文", "例a文"]
DOC = ('<r id="1" 見出し="x"><i id="2" 見出し="y"/><i id="3" abc="z"/><abc abc="w"/>'
       + "".join(f'<{n} {n}="v"/>' for n in LONG) + "</r>")


def doc_pair():
    tree = read_string(DOC, "r")
    i1, i2, abc = tree.children[:3]
    return tree, i1, i2, abc


def attr_key(node, key):
    return next(k for k in node.attrs if k == key)


# (label, make (a, b) with the expected value of both, whether a is b)
CASES = [
    ("one element's name read twice", lambda t, i1, i2, abc: (i1.name, i1.name, "i"), True),
    ("two elements' equal names", lambda t, i1, i2, abc: (i1.name, i2.name, "i"), True),
    ("attribute keys of two elements", lambda t, i1, i2, abc: (attr_key(t, "id"), attr_key(i2, "id"), "id"), True),
    ("non-ASCII attribute keys", lambda t, i1, i2, abc: (attr_key(t, "見出し"), attr_key(i1, "見出し"), "見出し"),
     True),
    ("an element name and an equal attribute key",
     lambda t, i1, i2, abc: (abc.name, attr_key(i2, "abc"), "abc"), True),
    ("to_dict of a parsed node", lambda t, i1, i2, abc: (i1.to_dict()["name"], i1.name, "i"), True),
    ("to_dict's attribute keys", lambda t, i1, i2, abc: (next(iter(t.to_dict()["attrs"])), next(iter(t.attrs)), None),
     True),
    ("equal names of two reads of one string",
     lambda t, i1, i2, abc: (read_string(DOC, "r").name, t.name, "r"), False),
    ("constructed nodes", lambda t, i1, i2, abc: (Node("i").name, Node("i").name, "i"), False),
    ("a constructed node and a parsed one", lambda t, i1, i2, abc: (Node("i").name, i1.name, "i"), False),
    ("nodes from a dict",
     lambda t, i1, i2, abc: (Node.from_dict(i1.to_dict()).name, Node.from_dict(i1.to_dict()).name, "i"), False),
]


@pytest.mark.parametrize("label, make, shared", CASES, ids=[c[0] for c in CASES])
def test_names_are_shared_within_one_document(label, make, shared):
    a, b, value = make(*doc_pair())
    assert type(a) is str and type(b) is str
    assert a == b and (value is None or a == value)
    assert (a is b) == shared


def test_names_that_differ_in_one_byte_stay_apart():
    tree = read_string(DOC, "r")
    nodes = tree.children[3:]
    assert [n.name for n in nodes] == LONG
    assert [list(n.attrs) for n in nodes] == [[name] for name in LONG]
    # Read again, now from the table: the same values, the same objects.
    assert [n.name for n in nodes] == LONG
    assert all(n.name is list(n.attrs)[0] for n in nodes)


def test_more_names_than_the_table_holds_are_read_right():
    names = [f"n{i}" for i in range(20_000)]
    tree = read_string("<r>" + "".join(f"<{n} {n}=''/>" for n in names) + "</r>", "r")
    children = tree.children
    assert [c.name for c in children] == names
    assert [next(iter(c.attrs)) for c in children] == names
    assert children[0].name is next(iter(children[0].attrs))


def test_the_document_releases_its_names():
    tree = read_string(DOC, "r")
    name = tree.children[0].name
    held = sys.getrefcount(name)
    assert tree.children[1].name is name  # held by the document's table
    del tree
    read_string("<a/>", "a")  # performs a release the dropped tree may have deferred
    assert sys.getrefcount(name) == held - 1


def test_threads_reading_a_new_document_get_the_same_strs():
    names = [f"n{i}" for i in range(300)]
    tree = read_string("<r>" + "".join(f"<{n} {n}='v'/>" for n in names) + "</r>", "r")
    children = tree.children
    start = threading.Barrier(4)
    seen = [None] * 4

    def read(slot):
        start.wait()
        seen[slot] = [(c.name, next(iter(c.attrs))) for c in children]

    threads = [threading.Thread(target=read, args=(slot,)) for slot in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert [name for name, _ in seen[0]] == names
    for slot in range(4):
        assert all(name is seen[0][i][0] and key is name for i, (name, key) in enumerate(seen[slot]))
