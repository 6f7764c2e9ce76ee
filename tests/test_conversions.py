"""Conversion of Python values into the system's own values, as seen through
the Node constructor and the parameters of the module functions.

A module function is only called where conversion must fail, where a later
parameter fails (which shows the earlier ones were accepted), or side by side
with an equivalent call, so the tests do not depend on what the function then
does.
"""

import collections
import collections.abc
import types

import pytest

from brindxml import Node, read_file, read_string, write_file, write_string

NODE = Node("n")
B = Node("b")
C = Node("c")


class Text(str):
    pass


class LyingText(str):
    """Overrides everything a conversion might be tempted to call."""

    def __str__(self):
        return "lie"

    def __eq__(self, other):
        return False

    def __hash__(self):
        return 0

    def encode(self, *args, **kwargs):
        return b"lie"


SURROGATE_MESSAGE = "'utf-8' codec can't encode character '\\ud800' in position {}: surrogates not allowed"


# ---------------------------------------------------------------------------
# Strings


STR_ACCEPTED = [
    ("a", "a"),
    ("", ""),
    (Text("a"), "a"),
    (LyingText("truth"), "truth"),
    ("\u00e9t\u00e9", "\u00e9t\u00e9"),
    ("\U0001f600 \u20ac", "\U0001f600 \u20ac"),
    ("a\x00b", "a\x00b"),
    ("x" * 100_000, "x" * 100_000),
]


@pytest.mark.parametrize("value, stored", STR_ACCEPTED, ids=range(len(STR_ACCEPTED)))
def test_strings_are_stored_as_plain_str(value, stored):
    node = Node(value, attrs={value: value}, text=value)
    assert type(node.name) is str and node.name == stored
    assert type(node.text) is str and node.text == stored
    ((key, attr_value),) = node.attrs.items()
    assert type(key) is str and type(attr_value) is str
    assert (key, attr_value) == (stored, stored)


STR_REFUSED = [
    (b"a", TypeError, "'bytes' object is not an instance of 'str'"),
    (bytearray(b"a"), TypeError, "'bytearray' object is not an instance of 'str'"),
    (memoryview(b"a"), TypeError, "'memoryview' object is not an instance of 'str'"),
    (5, TypeError, "'int' object is not an instance of 'str'"),
    (["a"], TypeError, "'list' object is not an instance of 'str'"),
    (None, TypeError, "'None' is not an instance of 'str'"),
    ("\ud800", UnicodeEncodeError, SURROGATE_MESSAGE.format(0)),
    ("ab\ud800", UnicodeEncodeError, SURROGATE_MESSAGE.format(2)),
    (Text("\ud800"), UnicodeEncodeError, SURROGATE_MESSAGE.format(0)),
]

# Parameters converted as strings; each call puts the value in one parameter
# and leaves the others valid.
STR_PARAMETERS = [
    (lambda v: Node(v), "name"),
    (lambda v: Node("a", text=v), "text"),
    (lambda v: read_string(v, "r"), "xml_string"),
    (lambda v: read_string("<r/>", v), "root_tag"),
    (lambda v: read_file(v, "r"), "file_path"),
    (lambda v: read_file("a.xml", v), "root_tag"),
    (lambda v: write_file(NODE, v), "file_path"),
]


STR_REFUSAL_CASES = [
    (call, parameter, value, exc_type, message)
    for call, parameter in STR_PARAMETERS
    for value, exc_type, message in STR_REFUSED
    if not (value is None and parameter == "text")  # None is the default of text
]


@pytest.mark.parametrize(
    "call, parameter, value, exc_type, message",
    STR_REFUSAL_CASES,
    ids=[f"{case[1]}-{i % len(STR_REFUSED)}" for i, case in enumerate(STR_REFUSAL_CASES)],
)
def test_string_refusals(call, parameter, value, exc_type, message, raises_exactly, note):
    raises_exactly(exc_type, message, note(parameter), lambda: call(value))


def test_path_objects_are_not_file_paths(raises_exactly, note, tmp_path):
    raises_exactly(TypeError, "'PosixPath' object is not an instance of 'str'",
                   note("file_path"), lambda: read_file(tmp_path / "a.xml", "r"))
    raises_exactly(TypeError, "'PosixPath' object is not an instance of 'str'",
                   note("file_path"), lambda: write_file(NODE, tmp_path / "a.xml"))


@pytest.mark.parametrize(
    "call, failing_parameter",
    [
        (lambda: read_string(Text("<r/>"), 5), "root_tag"),
        (lambda: read_string(LyingText("<r/>"), b"r"), "root_tag"),
        (lambda: read_file(Text("a.xml"), 5), "root_tag"),
        (lambda: write_file(NODE, Text("out.xml"), "x"), "indent"),
    ],
)
def test_str_subclasses_are_accepted_by_functions(call, failing_parameter, note):
    # The failure of a later parameter shows the str subclass passed.
    with pytest.raises(TypeError) as info:
        call()
    assert info.value.__notes__ == note(failing_parameter)


# ---------------------------------------------------------------------------
# Unsigned 64-bit integers: `indent`


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IndexRaises:
    def __index__(self):
        raise ValueError("no index today")


class IntOnly:
    """Has __int__ but no __index__; integer parameters must not use __int__."""

    def __int__(self):
        return 3


class Int(int):
    pass


INDENT_ACCEPTED = [0, 1, 4, 2**32, 2**64 - 1, True, False, Index(3), Index(2**64 - 1), Int(7)]


@pytest.mark.parametrize("indent", INDENT_ACCEPTED, ids=range(len(INDENT_ACCEPTED)))
def test_indent_accepts_unsigned_64_bit_values(indent, raises_exactly, note):
    # default_xml_def=1 is refused, which is only reached once indent has converted.
    raises_exactly(TypeError, "'int' object is not an instance of 'bool'",
                   note("default_xml_def"), lambda: write_string(NODE, indent, 1))
    raises_exactly(TypeError, "'int' object is not an instance of 'bool'",
                   note("default_xml_def"), lambda: write_file(NODE, "out.xml", indent, 1))


INDENT_REFUSED = [
    (-1, OverflowError, "can't convert negative int to unsigned"),
    (-(2**70), OverflowError, "can't convert negative int to unsigned"),
    (2**64, OverflowError, "int too big to convert"),
    (2**100, OverflowError, "int too big to convert"),
    (Index(-1), OverflowError, "can't convert negative int to unsigned"),
    (Index(2**64), OverflowError, "int too big to convert"),
    (Int(-5), OverflowError, "can't convert negative int to unsigned"),
    (1.5, TypeError, "'float' object cannot be interpreted as an integer"),
    (4.0, TypeError, "'float' object cannot be interpreted as an integer"),
    ("3", TypeError, "'str' object cannot be interpreted as an integer"),
    (IntOnly(), TypeError, "'IntOnly' object cannot be interpreted as an integer"),
    (IndexRaises(), ValueError, "no index today"),
    (Index("3"), TypeError, "__index__ returned non-int (type str)"),
]


@pytest.mark.parametrize("indent, exc_type, message", INDENT_REFUSED,
                         ids=range(len(INDENT_REFUSED)))
def test_indent_refusals(indent, exc_type, message, raises_exactly, note):
    raises_exactly(exc_type, message, note("indent"), lambda: write_string(NODE, indent))
    raises_exactly(exc_type, message, note("indent"),
                   lambda: write_file(NODE, "out.xml", indent=indent))


def test_indent_accepts_numpy_integers(raises_exactly, note):
    numpy = pytest.importorskip("numpy")
    raises_exactly(TypeError, "'int' object is not an instance of 'bool'", note("default_xml_def"),
                   lambda: write_string(NODE, numpy.uint64(2**64 - 1), 1))
    raises_exactly(OverflowError, "can't convert negative int to unsigned", note("indent"),
                   lambda: write_string(NODE, numpy.int8(-1)))


# ---------------------------------------------------------------------------
# Booleans: `default_xml_def`


def fake_numpy_scalar(type_name, module="numpy", truth=None, define_bool=True):
    """A class that looks like a numpy scalar type by module and type name."""
    namespace = {"__module__": module}
    if define_bool:
        def __bool__(self):
            if isinstance(truth, type) and issubclass(truth, BaseException):
                raise truth("no truth")  # a new exception per call: notes accumulate
            return truth
        namespace["__bool__"] = __bool__
    return type(type_name, (), namespace)()


BOOL_REFUSED = [
    (1, TypeError, "'int' object is not an instance of 'bool'"),
    (0, TypeError, "'int' object is not an instance of 'bool'"),
    (1.0, TypeError, "'float' object is not an instance of 'bool'"),
    ("true", TypeError, "'str' object is not an instance of 'bool'"),
    (Int(1), TypeError, "'Int' object is not an instance of 'bool'"),
    ([], TypeError, "'list' object is not an instance of 'bool'"),
    # Only the module "numpy" with the type names "bool_" or "bool" counts.
    (fake_numpy_scalar("bool_", module="numpy.core", truth=True), TypeError,
     "'bool_' object is not an instance of 'bool'"),
    (fake_numpy_scalar("Bool", truth=True), TypeError,
     "'Bool' object is not an instance of 'bool'"),
    (fake_numpy_scalar("bool8", truth=True), TypeError,
     "'bool8' object is not an instance of 'bool'"),
    (fake_numpy_scalar("bool_", module=5, truth=True), TypeError,
     "'bool_' object is not an instance of 'bool'"),
    # A numpy boolean type is asked for its truth value, and only that way.
    (fake_numpy_scalar("bool_", define_bool=False), TypeError,
     "object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"),
    (fake_numpy_scalar("bool", define_bool=False), TypeError,
     "object of type '<class 'numpy.bool'>' does not define a '__bool__' conversion"),
    (fake_numpy_scalar("bool_", truth=RuntimeError), RuntimeError, "no truth"),
    (fake_numpy_scalar("bool_", truth=1), TypeError, "__bool__ should return bool, returned int"),
]


@pytest.mark.parametrize("value, exc_type, message", BOOL_REFUSED, ids=range(len(BOOL_REFUSED)))
def test_default_xml_def_refusals(value, exc_type, message, raises_exactly, note):
    raises_exactly(exc_type, message, note("default_xml_def"),
                   lambda: write_string(NODE, 2, value))
    raises_exactly(exc_type, message, note("default_xml_def"),
                   lambda: write_file(NODE, "out.xml", default_xml_def=value))


@pytest.mark.parametrize(
    "value, same_as",
    [
        (fake_numpy_scalar("bool_", truth=True), True),
        (fake_numpy_scalar("bool_", truth=False), False),
        (fake_numpy_scalar("bool", truth=True), True),
        (fake_numpy_scalar("bool", truth=False), False),
    ],
)
def test_numpy_named_booleans_convert_by_truth_value(value, same_as, outcome):
    assert outcome(lambda: write_string(NODE, 2, value)) == outcome(
        lambda: write_string(NODE, 2, same_as))


def test_numpy_booleans_are_accepted(outcome, raises_exactly, note):
    numpy = pytest.importorskip("numpy")
    for value, same_as in [(numpy.bool_(True), True), (numpy.bool_(False), False)]:
        assert outcome(lambda: write_string(NODE, 1, value)) == outcome(
            lambda: write_string(NODE, 1, same_as))
    raises_exactly(TypeError, "'int64' object is not an instance of 'bool'",
                   note("default_xml_def"), lambda: write_string(NODE, 1, numpy.int64(1)))
    raises_exactly(TypeError, "'ndarray' object is not an instance of 'bool'",
                   note("default_xml_def"), lambda: write_string(NODE, 1, numpy.array(True)))


# ---------------------------------------------------------------------------
# Sequences: `children`


class ItemsAndLength:
    """The old sequence protocol: __getitem__ until IndexError, plus __len__."""

    def __init__(self, *items, length=None):
        self.items = items
        self.length = len(items) if length is None else length

    def __getitem__(self, index):
        return self.items[index]

    def __len__(self):
        return self.length


class ItemsOnly:
    def __getitem__(self, index):
        return (B, C)[index]


class LengthRaises(ItemsAndLength):
    def __len__(self):
        raise RuntimeError("length unknown")


class IterationPreferred:
    """__getitem__ makes it a sequence; iteration still goes through __iter__."""

    def __getitem__(self, index):
        raise AssertionError("items are taken by iteration")

    def __iter__(self):
        return iter([C, B])


class Reversed(list):
    def __iter__(self):
        return reversed(self)


class FailsMidway:
    def __getitem__(self, index):
        if index == 0:
            return B
        raise ValueError("broken sequence")


class NoIterator:
    def __getitem__(self, index):
        return B

    def __iter__(self):
        raise RuntimeError("cannot iterate")


class MappingWithItems(dict):
    def __getitem__(self, key):
        return B


class RegisteredOnly:
    """Declared a Sequence, but without the sequence protocol."""


collections.abc.Sequence.register(RegisteredOnly)


CHILDREN_ACCEPTED = [
    (None, []),
    ([], []),
    ((), []),
    ([B], [B]),
    ((B, C), [B, C]),
    ([B, B, C, B], [B, B, C, B]),
    (range(0), []),
    (b"", []),
    (bytearray(), []),
    (collections.deque([C, B]), [C, B]),
    (ItemsAndLength(B, C), [B, C]),
    (ItemsAndLength(B, C, length=1000), [B, C]),
    (ItemsAndLength(B, length=0), [B]),
    (ItemsOnly(), [B, C]),
    (LengthRaises(B), [B]),
    (IterationPreferred(), [C, B]),
    (Reversed([B, C]), [C, B]),
]


@pytest.mark.parametrize("children, expected", CHILDREN_ACCEPTED,
                         ids=range(len(CHILDREN_ACCEPTED)))
def test_children_accepted(children, expected):
    got = Node("a", children=children).children
    assert len(got) == len(expected)
    assert all(g is e for g, e in zip(got, expected, strict=True))


def _generator():
    yield B


CHILDREN_REFUSED = [
    ("ab", TypeError, "Can't extract `str` to `Vec`"),
    ("", TypeError, "Can't extract `str` to `Vec`"),
    (Text("ab"), TypeError, "Can't extract `str` to `Vec`"),
    ({}, TypeError, "'dict' object is not an instance of 'Sequence'"),
    ({"b": B}, TypeError, "'dict' object is not an instance of 'Sequence'"),
    (MappingWithItems(), TypeError, "'MappingWithItems' object is not an instance of 'Sequence'"),
    ({B}, TypeError, "'set' object is not an instance of 'Sequence'"),
    (frozenset(), TypeError, "'frozenset' object is not an instance of 'Sequence'"),
    (iter([B]), TypeError, "'list_iterator' object is not an instance of 'Sequence'"),
    (_generator(), TypeError, "'generator' object is not an instance of 'Sequence'"),
    (5, TypeError, "'int' object is not an instance of 'Sequence'"),
    (B, TypeError, "'Node' object is not an instance of 'Sequence'"),
    (RegisteredOnly(), TypeError, "'RegisteredOnly' object is not an instance of 'Sequence'"),
    ([B, 1], TypeError, "'int' object is not an instance of 'Node'"),
    ([B, None], TypeError, "'None' is not an instance of 'Node'"),
    ([Node], TypeError, "'type' object is not an instance of 'Node'"),
    ([B, "c"], TypeError, "'str' object is not an instance of 'Node'"),
    ([[B]], TypeError, "'list' object is not an instance of 'Node'"),
    ([1, "x"], TypeError, "'int' object is not an instance of 'Node'"),
    (b"ab", TypeError, "'int' object is not an instance of 'Node'"),
    (range(1), TypeError, "'int' object is not an instance of 'Node'"),
    (FailsMidway(), ValueError, "broken sequence"),
    (NoIterator(), RuntimeError, "cannot iterate"),
]


@pytest.mark.parametrize("children, exc_type, message", CHILDREN_REFUSED,
                         ids=range(len(CHILDREN_REFUSED)))
def test_children_refused(children, exc_type, message, raises_exactly, note):
    raises_exactly(exc_type, message, note("children"), lambda: Node("a", children=children))


# ---------------------------------------------------------------------------
# String maps: `attrs`


class Shadowed(dict):
    """Every Python-level access is overridden to fail; conversion reads the
    dict's own storage and must call none of them."""

    def _refuse(self, *args, **kwargs):
        raise AssertionError("overridden dict method called")

    __iter__ = keys = values = items = __getitem__ = get = __len__ = __contains__ = _refuse


ATTRS_ACCEPTED = [
    (None, {}),
    ({}, {}),
    ({"k": "v"}, {"k": "v"}),
    ({"": ""}, {"": ""}),
    ({"k": ""}, {"k": ""}),
    ({Text("k"): Text("v")}, {"k": "v"}),
    ({"\u00e9": "\U0001f600", "a\x00b": "c\x00"}, {"\u00e9": "\U0001f600", "a\x00b": "c\x00"}),
    (collections.OrderedDict([("a", "1"), ("b", "2")]), {"a": "1", "b": "2"}),
    (Shadowed({"k": "v", "l": "w"}), {"k": "v", "l": "w"}),
    ({f"k{i}": str(i) for i in range(1000)}, {f"k{i}": str(i) for i in range(1000)}),
]


@pytest.mark.parametrize("attrs, expected", ATTRS_ACCEPTED, ids=range(len(ATTRS_ACCEPTED)))
def test_attrs_accepted(attrs, expected):
    got = Node("a", attrs=attrs).attrs
    assert type(got) is dict
    assert got == expected
    assert all(type(k) is str and type(v) is str for k, v in got.items())


ATTRS_REFUSED = [
    ([("k", "v")], TypeError, "'list' object is not an instance of 'dict'"),
    ("k=v", TypeError, "'str' object is not an instance of 'dict'"),
    (types.MappingProxyType({"k": "v"}), TypeError,
     "'mappingproxy' object is not an instance of 'dict'"),
    (collections.UserDict({"k": "v"}), TypeError,
     "'UserDict' object is not an instance of 'dict'"),
    ({1: "a"}, TypeError, "'int' object is not an instance of 'str'"),
    ({"a": None}, TypeError, "'None' is not an instance of 'str'"),
    ({"k": 1}, TypeError, "'int' object is not an instance of 'str'"),
    ({"k": b"v"}, TypeError, "'bytes' object is not an instance of 'str'"),
    ({b"k": "v"}, TypeError, "'bytes' object is not an instance of 'str'"),
    # The key is converted before its value.
    ({1: None}, TypeError, "'int' object is not an instance of 'str'"),
    # Entries are converted in the dict's order; the first failure wins.
    ({"a": 1, "b": None}, TypeError, "'int' object is not an instance of 'str'"),
    ({"a": None, "b": 1}, TypeError, "'None' is not an instance of 'str'"),
    ({"ok": "v", "k": ["v"]}, TypeError, "'list' object is not an instance of 'str'"),
    ({"\ud800": "v"}, UnicodeEncodeError, SURROGATE_MESSAGE.format(0)),
    ({"k": "v\ud800"}, UnicodeEncodeError, SURROGATE_MESSAGE.format(1)),
]


@pytest.mark.parametrize("attrs, exc_type, message", ATTRS_REFUSED,
                         ids=range(len(ATTRS_REFUSED)))
def test_attrs_refused(attrs, exc_type, message, raises_exactly, note):
    raises_exactly(exc_type, message, note("attrs"), lambda: Node("a", attrs=attrs))
