"""Node.to_dict and Node.from_dict: the dictionary form of a node, the
four-variant conversion error, the shape checks in their order, and trees far
deeper than the native stack."""

import subprocess
import sys
import textwrap

import pytest

from brindxml import Node, read_string

KEYS = {"name", "attrs", "children", "text"}


def shape(node):
    return (
        node.name,
        node.text,
        sorted(node.attrs.items()),
        [shape(child) for child in node.children],
    )


def form(name, attrs=None, children=(), text=None):
    return {"name": name, "attrs": attrs or {}, "children": list(children), "text": text}


# ---------------------------------------------------------------------------
# to_dict

LEAF = Node("leaf", text="x")
NAMES = [f"n{i}" for i in range(150)] + ["a", "ab", "x" * 48, "x" * 49, "\u00e9" * 30, "\u6771\u4eac"]

TO_DICT = [
    (Node("a"), form("a")),
    (Node("a", text=""), form("a", text="")),
    (Node("", attrs={"": ""}), form("", {"": ""})),
    (Node("a", attrs={"k": "v", "&amp;": "<\"'>", "n": "l1\nl2"}, text="x & y < z"),
     form("a", {"k": "v", "&amp;": "<\"'>", "n": "l1\nl2"}, text="x & y < z")),
    (Node("\u00e9\U0001f600", text="\x00\u20ac"), form("\u00e9\U0001f600", text="\x00\u20ac")),
    (Node("p", children=[Node("c1", text="1"), Node("c2", children=[LEAF])], text="t"),
     form("p", children=[form("c1", text="1"), form("c2", children=[form("leaf", text="x")])], text="t")),
    (Node("p", children=[LEAF, LEAF]), form("p", children=[form("leaf", text="x")] * 2)),
    # Names repeat and collide in the export's cache of name strs; long ones bypass it.
    (Node("r", children=[Node(n, attrs={n: n, "a": n}) for n in NAMES * 2]),
     form("r", children=[form(n, {n: n, "a": n}) for n in NAMES * 2])),
]


@pytest.mark.parametrize("node, expected", TO_DICT)
def test_to_dict(node, expected):
    assert node.to_dict() == expected


def test_to_dict_holds_only_plain_values_and_the_four_keys():
    pending = [Node("p", attrs={"a": "1"}, children=[LEAF, Node("q", children=[LEAF])]).to_dict()]
    while pending:
        d = pending.pop()
        assert type(d) is dict and set(d) == KEYS
        assert type(d["name"]) is str and (d["text"] is None or type(d["text"]) is str)
        assert type(d["attrs"]) is dict
        assert all(type(k) is str and type(v) is str for k, v in d["attrs"].items())
        assert type(d["children"]) is list
        pending.extend(d["children"])


def test_to_dict_is_a_deep_copy():
    node = Node("p", attrs={"k": "v"}, children=[LEAF, LEAF])
    d = node.to_dict()
    assert d["children"][0] == d["children"][1] and d["children"][0] is not d["children"][1]
    d["name"] = "changed"
    d["attrs"]["k"] = "changed"
    d["children"][0]["text"] = "changed"
    d["children"].append(form("extra"))
    assert shape(node) == ("p", None, [("k", "v")], [("leaf", "x", [], [])] * 2)
    assert node.to_dict() == form("p", {"k": "v"}, [form("leaf", text="x")] * 2)


def test_to_dict_keeps_no_references():
    before = (sys.getrefcount(LEAF), sys.getrefcount(Node))
    for _ in range(100):
        Node("p", children=[LEAF]).to_dict()
    assert (sys.getrefcount(LEAF), sys.getrefcount(Node)) == before


def test_to_dict_on_many_threads(on_threads):
    node = Node("p", attrs={"k": "v"}, children=[LEAF] * 10)
    expected = node.to_dict()

    def check():
        assert node.to_dict() == expected

    on_threads(check, rounds=500)


# ---------------------------------------------------------------------------
# from_dict: accepted shapes


class Dict(dict):
    def __getitem__(self, key):
        raise AssertionError("the dict is read directly, not through its methods")

    def items(self):
        raise AssertionError("the dict is read directly, not through its methods")


class Text(str):
    pass


BASE = {"name": "a", "attrs": {}, "children": []}

FROM_DICT = [
    (BASE, ("a", None, [], [])),
    ({**BASE, "text": None}, ("a", None, [], [])),
    ({**BASE, "text": ""}, ("a", "", [], [])),
    ({**BASE, "text": "t"}, ("a", "t", [], [])),
    # A Vec or a Map under "text" gives no text.
    ({**BASE, "text": []}, ("a", None, [], [])),
    ({**BASE, "text": ()}, ("a", None, [], [])),
    ({**BASE, "text": {}}, ("a", None, [], [])),
    ({**BASE, "text": {"k": "v"}}, ("a", None, [], [])),
    ({**BASE, "text": [BASE]}, ("a", None, [], [])),
    ({**BASE, "name": ""}, ("", None, [], [])),
    ({**BASE, "attrs": {"k": "v", "&": "<>", "": ""}}, ("a", None, [("", ""), ("&", "<>"), ("k", "v")], [])),
    ({**BASE, "children": ()}, ("a", None, [], [])),
    ({**BASE, "children": range(0)}, ("a", None, [], [])),
    ({**BASE, "children": b""}, ("a", None, [], [])),
    ({**BASE, "children": ({**BASE, "name": "c"}, {**BASE, "name": "d", "text": "x"})},
     ("a", None, [], [("c", None, [], []), ("d", "x", [], [])])),
    # Other keys are ignored once they have been converted.
    ({**BASE, "other": "x", "more": None, "list": [], "map": {"k": "v"}}, ("a", None, [], [])),
    (Dict(BASE, text=Text("t")), ("a", "t", [], [])),
    ({**BASE, "name": Text("n"), "children": [Dict(BASE)]}, ("n", None, [], [("a", None, [], [])])),
]


@pytest.mark.parametrize("value, expected", FROM_DICT)
def test_from_dict(value, expected):
    node = Node.from_dict(value)
    assert type(node) is Node
    assert shape(node) == expected


def test_from_dict_by_keyword_and_one_dict_twice():
    child = {**BASE, "name": "c"}
    node = Node.from_dict(dict_={**BASE, "children": [child, child]})
    first, second = node.children
    assert first is not second and shape(first) == shape(second) == ("c", None, [], [])


# ---------------------------------------------------------------------------
# The four-variant message

HEADER = "failed to extract enum HashmapTypes ('String | Vec | NullableString | Map')"
VARIANTS = ("String", "Vec", "NullableString", "Map")


def _line(variant, cause):
    return (f"\n- variant {variant} ({variant}): TypeError: failed to extract field "
            f"HashmapTypes::{variant}.0, caused by {cause}")


INT_MESSAGE = (
    HEADER
    + _line("String", "TypeError: 'int' object is not an instance of 'str'")
    + _line("Vec", "TypeError: 'int' object is not an instance of 'Sequence'")
    + _line("NullableString", "TypeError: 'int' object is not an instance of 'str'")
    + _line("Map", "TypeError: 'int' object is not an instance of 'dict'")
)
MAP_WITH_INT_MESSAGE = (
    HEADER
    + _line("String", "TypeError: 'dict' object is not an instance of 'str'")
    + _line("Vec", "TypeError: 'dict' object is not an instance of 'Sequence'")
    + _line("NullableString", "TypeError: 'dict' object is not an instance of 'str'")
    + _line("Map", "TypeError: 'int' object is not an instance of 'str'")
)
LIST_OF_MAP_WITH_INT_MESSAGE = (
    HEADER
    + _line("String", "TypeError: 'list' object is not an instance of 'str'")
    + _line("Vec", "TypeError: " + INT_MESSAGE)
    + _line("NullableString", "TypeError: 'list' object is not an instance of 'str'")
    + _line("Map", "TypeError: 'list' object is not an instance of 'dict'")
)


@pytest.mark.parametrize("value, message", [
    (5, INT_MESSAGE),
    ({"a": 1}, MAP_WITH_INT_MESSAGE),
    ([{"a": 1}], LIST_OF_MAP_WITH_INT_MESSAGE),
])
def test_four_variant_message(value, message, raises_exactly, note):
    raises_exactly(TypeError, message, note("dict_"), lambda: Node.from_dict({**BASE, "x": value}))


# A model of the conversion written straight from the rules, used to check
# the messages of shapes too long to write out.
def _describe(exc):
    parts = []
    while exc is not None:
        try:
            text = str(exc).encode("utf-8", "surrogatepass").decode("utf-8", "replace")
        except Exception:  # the rule for an exception without text
            text = "<exception str() failed>"
        parts.append(f"{type(exc).__qualname__}: {text}")
        exc = exc.__cause__
    return ", caused by ".join(parts)


def _mismatch(value, target):
    if value is None:
        return TypeError(f"'None' is not an instance of '{target}'")
    return TypeError(f"'{type(value).__qualname__}' object is not an instance of '{target}'")


def _str_error(value):
    if not isinstance(value, str):
        return _mismatch(value, "str")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError as exc:
        return exc
    return None


def _sequence_error(value):
    if isinstance(value, str):
        return TypeError("Can't extract `str` to `Vec`")
    if isinstance(value, dict) or not hasattr(type(value), "__getitem__"):
        return _mismatch(value, "Sequence")
    try:
        for item in value:
            error = _value_map_error(item)
            if error is not None:
                return error
    except BaseException as exc:  # the iterator's error is the outcome
        return exc
    return None


def _string_map_error(value):
    if not isinstance(value, dict):
        return _mismatch(value, "dict")
    for key, item in dict.items(value):
        error = _str_error(key) or _str_error(item)
        if error is not None:
            return error
    return None


def _value_map_error(value):
    if not isinstance(value, dict):
        return _mismatch(value, "dict")
    for key, item in dict.items(value):
        error = _str_error(key) or _value_error(item)
        if error is not None:
            return error
    return None


def _value_error(value):
    errors = [_str_error(value)]
    if errors[-1] is None:
        return None
    errors.append(_sequence_error(value))
    if errors[-1] is None:
        return None
    errors.append(None if value is None else _str_error(value))
    if errors[-1] is None:
        return None
    errors.append(_string_map_error(value))
    if errors[-1] is None:
        return None
    return TypeError(HEADER + "".join(_line(v, _describe(e)) for v, e in zip(VARIANTS, errors, strict=True)))


class RaisesOnIteration:
    def __getitem__(self, index):
        raise IndexError(index)

    def __iter__(self):
        try:
            raise KeyError("k")
        except KeyError as cause:
            raise ValueError("boom") from cause


class UnprintableError(Exception):
    def __str__(self):
        raise RuntimeError("no text")


def _local_error_class():
    class Boom(Exception):
        pass

    return Boom


LocalBoom = _local_error_class()


class Raises:
    def __init__(self, make_exception):
        self.make_exception = make_exception

    def __getitem__(self, index):
        raise IndexError(index)

    def __iter__(self):
        raise self.make_exception()


class CauseCycle:
    def __getitem__(self, index):
        raise IndexError(index)

    def __iter__(self):
        first, second = ValueError("first"), ValueError("second")
        first.__cause__, second.__cause__ = second, first
        raise first


MODELLED = [
    "\ud800",
    ["\ud800"],
    [5],
    (5,),
    [{}, 5],
    [{"a": "x"}, {"a": {"k": 1}}],
    [{"a": [{"b": 5}]}],
    [{"a": [{"b": [{"c": {1: "x"}}]}]}],
    [{1: "x"}],
    [{"a": 1}, {2: "x"}],
    {1: "x"},
    {"k": None},
    b"ab",
    range(2),
    True,
    1.5,
    set(),
    frozenset({"a"}),
    object(),
    RaisesOnIteration(),
    Raises(UnprintableError),
    Raises(lambda: LocalBoom("local")),
    Raises(lambda: ValueError("lone \udc80 surrogate")),
    Raises(KeyboardInterrupt),
]


@pytest.mark.parametrize("value", MODELLED, ids=range(len(MODELLED)))
def test_four_variant_messages_follow_the_rules(value, raises_exactly, note):
    expected = str(_value_error(value))
    raises_exactly(TypeError, expected, note("dict_"), lambda: Node.from_dict({**BASE, "text": value}))


def test_cause_chain_is_followed_and_a_cycle_ends_it():
    with pytest.raises(TypeError) as info:
        Node.from_dict({**BASE, "children": RaisesOnIteration()})
    assert _line("Vec", "ValueError: boom, caused by KeyError: 'k'") in str(info.value)
    with pytest.raises(TypeError) as info:
        Node.from_dict({**BASE, "children": CauseCycle()})
    assert _line("Vec", "ValueError: first, caused by ValueError: second\n") in str(info.value)
    with pytest.raises(TypeError) as info:
        Node.from_dict({**BASE, "children": Raises(UnprintableError)})
    assert _line("Vec", "UnprintableError: <exception str() failed>\n") in str(info.value)


# ---------------------------------------------------------------------------
# from_dict: refused input, in the order of the checks


def _four(value):
    return str(_value_error(value))


NOTE = ["while processing 'dict_'"]

FROM_DICT_ERRORS = [
    (5, TypeError, "'int' object is not an instance of 'dict'", NOTE),
    (None, TypeError, "'None' is not an instance of 'dict'", NOTE),
    ([BASE], TypeError, "'list' object is not an instance of 'dict'", NOTE),
    ({1: "a", **BASE}, TypeError, "'int' object is not an instance of 'str'", NOTE),
    ({**BASE, "text": 5}, TypeError, INT_MESSAGE, NOTE),
    ({**BASE, "extra": 5}, TypeError, INT_MESSAGE, NOTE),
    ({**BASE, "attrs": {"k": 1}}, TypeError, MAP_WITH_INT_MESSAGE, NOTE),
    ({**BASE, "name": ["a"]}, TypeError, _four(["a"]), NOTE),
    ({**BASE, "children": [5]}, TypeError, _four([5]), NOTE),
    # Every value is converted before any shape is checked.
    ({"attrs": [], "children": {}, "x": 5}, TypeError, INT_MESSAGE, NOTE),
    ({**BASE, "children": [{}, {**BASE, "text": 5}]}, TypeError, _four([{}, {**BASE, "text": 5}]), NOTE),
    # Shape checks: name, then attrs, then children.
    ({**BASE, "name": None}, ValueError, "Invalid name", []),
    ({**BASE, "name": []}, ValueError, "Invalid name", []),
    ({**BASE, "name": {}}, ValueError, "Invalid name", []),
    ({"attrs": {}, "children": []}, ValueError, "Invalid name", []),
    ({"children": []}, ValueError, "Invalid name", []),
    ({}, ValueError, "Invalid name", []),
    ({**BASE, "attrs": []}, ValueError, "Invalid attrs", []),
    ({**BASE, "attrs": None}, ValueError, "Invalid attrs", []),
    ({**BASE, "attrs": "x"}, ValueError, "Invalid attrs", []),
    ({"name": "a", "children": "ab"}, ValueError, "Invalid attrs", []),
    ({**BASE, "children": {}}, ValueError, "Invalid children", []),
    ({**BASE, "children": {"k": "v"}}, ValueError, "Invalid children", []),
    ({**BASE, "children": "ab"}, ValueError, "Invalid children", []),
    ({**BASE, "children": None}, ValueError, "Invalid children", []),
    ({"name": "a", "attrs": {}}, ValueError, "Invalid children", []),
    # A child's failure fails the whole call, with no path in the message.
    ({**BASE, "children": [{}]}, ValueError, "Invalid name", []),
    ({**BASE, "children": [{"name": "c", "children": []}]}, ValueError, "Invalid attrs", []),
    # The parent's own checks come before anything in its children.
    ({"name": "a", "children": [{}]}, ValueError, "Invalid attrs", []),
    # Children are built in order, each one completely before the next.
    ({**BASE, "children": [{"name": "c", "children": []}, {}]}, ValueError, "Invalid attrs", []),
    ({**BASE, "children": [{**BASE, "children": [{**BASE, "children": None}]}, {}]},
     ValueError, "Invalid children", []),
    # A bad text cannot fail the shape checks: it is simply no text.
    ({**BASE, "text": [], "children": [{"name": 5}]}, TypeError, _four([{"name": 5}]), NOTE),
]


@pytest.mark.parametrize("value, exc_type, message, notes", FROM_DICT_ERRORS,
                         ids=range(len(FROM_DICT_ERRORS)))
def test_from_dict_errors(value, exc_type, message, notes, raises_exactly):
    raises_exactly(exc_type, message, notes, lambda: Node.from_dict(value))


class Twin(str):
    """Equal in bytes to its str but hashed apart: a dict holds both as two keys."""

    def __hash__(self):
        return str.__hash__(self) + 1


# Only a node's own map and the maps of its "children" describe nodes: maps in
# a sequence under any other key are checked for types, never for their shape.
# A key read twice counts with its last value, and what the earlier value
# held (a child that gave no node, attributes, a text) counts no more.
FROM_DICT_SHAPES = [
    ({**BASE, "text": [{}]}, ("a", None, [], [])),
    ({**BASE, "other": [{"children": [{}], "name": None}]}, ("a", None, [], [])),
    ({**BASE, "name": [{}], "attrs": [{}]}, ValueError("Invalid name")),
    ({**BASE, "attrs": [{}], "children": [{}]}, ValueError("Invalid attrs")),
    ({**BASE, "children": [{}], Twin("children"): []}, ("a", None, [], [])),
    ({**BASE, "children": [BASE], Twin("children"): [{}]}, ValueError("Invalid name")),
    ({**BASE, "children": [BASE], Twin("children"): None}, ValueError("Invalid children")),
    ({**BASE, "children": [BASE], Twin("children"): {}}, ValueError("Invalid children")),
    ({**BASE, Twin("name"): None}, ValueError("Invalid name")),
    ({"name": None, Twin("name"): "b", "attrs": {}, "children": []}, ("b", None, [], [])),
    ({**BASE, "attrs": {"k": "v"}, Twin("attrs"): {"j": "w"}}, ("a", None, [("j", "w")], [])),
    ({**BASE, "attrs": {"k": "v"}, Twin("attrs"): "x"}, ValueError("Invalid attrs")),
    ({**BASE, "text": "t", Twin("text"): []}, ("a", None, [], [])),
    ({**BASE, "text": None, Twin("text"): "u"}, ("a", "u", [], [])),
]


@pytest.mark.parametrize("value, expected", FROM_DICT_SHAPES, ids=range(len(FROM_DICT_SHAPES)))
def test_from_dict_reads_the_shape_of_node_maps_only(value, expected, raises_exactly):
    if isinstance(expected, Exception):
        raises_exactly(type(expected), str(expected), [], lambda: Node.from_dict(value))
    else:
        assert shape(Node.from_dict(value)) == expected


@pytest.mark.parametrize("call, message", [
    (lambda: Node.from_dict(), "Node.from_dict() missing 1 required positional argument: 'dict_'"),
    (lambda: Node.from_dict(BASE, BASE),
     "Node.from_dict() takes 1 positional arguments but 2 were given"),
    (lambda: Node.from_dict(dict=BASE), "Node.from_dict() got an unexpected keyword argument 'dict'"),
    (lambda: Node("n").to_dict(1), "Node.to_dict() takes no arguments (1 given)"),
])
def test_binding_errors(call, message, raises_exactly):
    raises_exactly(TypeError, message, [], call)


# Converting `attrs` runs no Python code, so the only public way to change a
# dict mid-conversion is a children value whose __iter__ runs during it.
class ChangesOnIteration:
    def __init__(self, change):
        self.change = change

    def __getitem__(self, index):
        raise IndexError(index)

    def __iter__(self):
        self.change()
        return iter(())


def _swap_key(d):
    del d["name"]
    d["zzz"] = "x"


@pytest.mark.parametrize("change, message", [
    (lambda d: d.update(extra="x"), "dictionary changed size during iteration"),
    (_swap_key, "dictionary keys changed during iteration"),
])
@pytest.mark.parametrize("nested", [False, True])
def test_a_dict_changed_during_conversion_is_an_internal_error(nested, change, message):
    inner = {"name": "a", "attrs": {}}
    inner["children"] = ChangesOnIteration(lambda: change(inner))
    value = {**BASE, "children": [inner]} if nested else inner
    with pytest.raises(BaseException) as info:
        Node.from_dict(value)
    exc_type = type(info.value)
    # Not wrapped in the four-variant message, and no note: it is not the argument's fault.
    assert exc_type.__name__ == "PanicException" and not issubclass(exc_type, Exception)
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", []) == []


def _self_containing():
    d = {"name": "a", "attrs": {}}
    d["children"] = [d]
    return d


def _mutually_containing():
    a, b = {"name": "a", "attrs": {}}, {"name": "b", "attrs": {}}
    a["children"], b["children"] = [{**BASE, "children": (b,)}], [a]
    return a


@pytest.mark.parametrize("make", [_self_containing, _mutually_containing])
def test_a_dict_that_contains_itself_is_refused(make):
    # It would nest forever; it fails like a conversion that ran too deep.
    with pytest.raises(TypeError) as info:
        Node.from_dict(make())
    message = str(info.value)
    assert message.startswith(HEADER)
    assert message.count("RecursionError: maximum recursion depth exceeded: a dict contains itself") == 1
    assert info.value.__notes__ == NOTE


# ---------------------------------------------------------------------------
# Round trips

ROUND_TRIPS = [
    Node("a"),
    Node("a", text=""),
    Node("a", attrs={"k": "v", "x": "", "&": "<'\">"}, text="t & u"),
    Node("r", children=[Node("c1", text="1"), Node("c2", children=[LEAF, LEAF]), Node("c3")]),
    Node("", attrs={"": ""}, text="\u00e9\U0001f600\x00"),
]


@pytest.mark.parametrize("node", ROUND_TRIPS, ids=range(len(ROUND_TRIPS)))
def test_round_trip(node):
    back = Node.from_dict(node.to_dict())
    assert back is not node
    assert shape(back) == shape(node)
    assert all(a is not b for a, b in zip(back.children, node.children, strict=True))


def test_round_trip_of_a_parsed_tree():
    xml = ('<doc><r a="1" b="&amp;"><c>t &lt; u</c><c/><d><![CDATA[x]]></d>'
           '<e k="v">text</e></r></doc>')
    node = read_string(xml, "r")
    d = node.to_dict()
    assert d["attrs"] == {"a": "1", "b": "&"}
    assert [c["name"] for c in d["children"]] == ["c", "c", "d", "e"]
    assert d["children"][0]["text"] == "t < u"
    back = Node.from_dict(d)
    assert shape(back) == shape(node)
    assert back.to_dict() == d


def test_round_trip_of_strings_packed_across_many_blocks():
    # Strings of every length about the packing limits, in several scripts,
    # enough of them to fill many blocks; each comes back whole and in place.
    lengths = [1, 2, 7, 8, 100, 511, 512, 513, 4095, 40000]
    d = {"name": "root", "attrs": {}, "text": None, "children": [
        {"name": f"n{i}" * (1 + i % 3), "attrs": {f"k{j}": ("é" if j % 2 else "x") * lengths[(i + j) % 10]
                                                   for j in range(4)},
         "children": [], "text": "日本" * lengths[i % 10]}
        for i in range(600)]}
    back = Node.from_dict(d)
    assert back.to_dict() == d
    assert back.children[599].attrs["k3"] == "é" * lengths[(599 + 3) % 10]


# ---------------------------------------------------------------------------
# Depth

DEEP_ROUND_TRIP = textwrap.dedent(
    """
    from brindxml import Node
    node = Node("leaf", attrs={"k": "v"}, text="t")
    for _ in range(999_999):
        node = Node("n", children=[node])
    d = node.to_dict()
    del node
    levels, cursor = 0, d
    while cursor["children"]:
        cursor, levels = cursor["children"][0], levels + 1
    print(levels, sorted(cursor.items()))
    back = Node.from_dict(d)
    del d
    levels, cursor = 0, back
    while cursor.children:
        cursor, levels = cursor.children[0], levels + 1
    print(levels, cursor.name, cursor.text, cursor.attrs)
    del back, cursor

    bad = {"attrs": {}, "children": []}
    for _ in range(999_999):
        bad = {"name": "n", "attrs": {}, "children": [bad]}
    try:
        Node.from_dict(bad)
    except ValueError as exc:
        print(exc)
    """
)


@pytest.mark.million
def test_a_million_levels_through_to_dict_and_from_dict():
    # Run apart, so a stack overflow shows as a failure instead of ending the run.
    done = subprocess.run([sys.executable, "-c", DEEP_ROUND_TRIP], capture_output=True, text=True,
                          timeout=600)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout == (
        "999999 [('attrs', {'k': 'v'}), ('children', []), ('name', 'leaf'), ('text', 't')]\n"
        "999999 leaf t {'k': 'v'}\n"
        "Invalid name\n"
    )


def test_a_deep_conversion_error_has_every_level_in_its_message():
    depth = 20_000
    bad = {**BASE, "text": 5}
    for _ in range(depth):
        bad = {**BASE, "children": [bad]}
    with pytest.raises(TypeError) as info:
        Node.from_dict(bad)
    message = str(info.value)
    assert message.count(HEADER) == depth + 1
    assert message.startswith(HEADER + _line("String", "TypeError: 'list' object is not an instance of 'str'"))
    assert INT_MESSAGE + "\n- variant NullableString (NullableString)" in message
    assert message.endswith(_line("Map", "TypeError: 'list' object is not an instance of 'dict'"))
