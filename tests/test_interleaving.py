"""What other threads, finalisers and failing allocations may do in the middle
of a call: entries of a dict that change between two steps of its traversal,
a keyword dict that its caller keeps changing, an allocation that fails at
any point, a reference dropped while the thread was detached. The probe
(tests/probe) drives the interleavings that Python code cannot reach."""

import sys

import pytest

from brindxml import Node, read_string


def test_dict_traversal_holds_an_entry_before_dropping_the_previous_one(probe):
    # Between two steps another thread deletes the first key and adds one
    # (the size is unchanged). Dropping that key, the traversal's last
    # reference, runs its finaliser, which replaces the next entry's value:
    # the value just handed out must still be alive.
    events = []

    class Key(str):
        def __del__(self):
            events.append("key finalised")
            d["k2"] = "replaced"

    class Value(str):
        def __del__(self):
            events.append(f"{str(self)} finalised")

    d = {Key("k1"): Value("v1"), "k2": Value("v2")}

    def between(step):
        first = next(iter(d))
        del d[first]
        del first
        d["k3"] = "v3"

    last = probe.walk_dict(d, between, 2)
    assert events == ["key finalised", "v1 finalised"]
    assert last == ("k2", "v2")
    del last
    assert events[-1] == "v2 finalised"


def test_constructor_keeps_the_values_of_a_shared_keyword_dict(probe):
    # A C caller passes a keyword dict that changes while the arguments are
    # converted (here through the children's __len__).
    events = []

    class Text(str):
        def __del__(self):
            events.append("text finalised")

    class Children(list):
        def __len__(self):
            keywords.pop("text")
            keywords["attrs"] = {"k": "v"}
            events.append("len")
            return super().__len__()

    child = Node("b")
    keywords = {"children": Children([child]), "text": Text("t")}
    node = probe.call(Node, ("a",), keywords)
    assert events == ["len", "text finalised"]
    assert (node.text, node.attrs, node.children) == ("t", {}, [child])


def test_a_document_released_while_detached_is_freed_before_the_call_returns():
    document = "<r>" + "<x/>" * 10 + "</r>"
    before = reference_counts([document])
    for root in ("missing", "r"):
        try:
            read_string(document, root)
        except ValueError:
            pass
        assert reference_counts([document]) == before


def probe_node_call(probe, held):
    child = probe.Node("b")
    held.append(child)
    return lambda: probe.Node("a", {"k": "v"}, [child, child], "text")


def probe_read_call(probe, held):
    document = "<r a='1'><x>t&amp;</x>" + "<y/>" * 5 + "</r>"
    held.append(document)
    return lambda: probe.read_string(document, "r")


def reference_counts(objects):
    # One place measures them all: the interpreter may count a reference
    # differently from one line of code to another.
    return [sys.getrefcount(o) for o in objects]


@pytest.mark.parametrize("make_call", [probe_node_call, probe_read_call], ids=["Node", "read_string"])
def test_no_reference_leaks_when_any_allocation_fails(probe, make_call):
    held = []
    call = make_call(probe, held)
    before = reference_counts(held)
    failures = 0
    for n in range(1, 500):
        probe.fail_allocation(n)
        try:
            result = call()
        except MemoryError:
            failures += 1
        else:
            probe.fail_allocation(0)
            del result
            break
        finally:
            probe.fail_allocation(0)
        assert reference_counts(held) == before, f"allocation {n}"
    else:
        pytest.fail("the call never succeeded")
    assert failures > 0
    assert reference_counts(held) == before
