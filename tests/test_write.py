"""write_string and write_file: layout byte by byte, escaping, options, file errors."""

from __future__ import annotations

import os
import stat
import subprocess
import sys

import pytest

from brindxml import Node, read_file, read_string, write_file, write_string

DECL = '<?xml version="1.0" encoding="utf-8"?>\n'


def leaf(name, **kw):
    return Node(name, **kw)


LAYOUT = [
    # (tree, indent, expected without the declaration)
    (leaf("a"), None, "<a/>"),
    (leaf("a", text=""), None, "<a></a>"),
    (leaf("a", attrs={"k": "v"}), None, '<a k="v"/>'),
    (leaf("a", text="t"), None, "<a>t</a>"),
    (Node("a", children=[leaf("b"), leaf("c")]), None, "<a>\n    <b/>\n    <c/>\n</a>"),
    (Node("a", children=[leaf("b"), leaf("c")], text="t"), None, "<a>t<b/>\n    <c/>\n</a>"),
    (Node("a", children=[leaf("b", text="u")]), None, "<a>\n    <b>u</b>\n</a>"),
    (Node("a", children=[Node("b", children=[leaf("c")])]), 2, "<a>\n  <b>\n    <c/>\n  </b>\n</a>"),
    (Node("a", children=[Node("b", children=[leaf("c")])]), 0, "<a>\n<b>\n<c/>\n</b>\n</a>"),
    (Node("a", children=[leaf("b")]), True, "<a>\n <b/>\n</a>"),
    (Node("a", children=[leaf("b")]), False, "<a>\n<b/>\n</a>"),
    (Node("a", children=[leaf("b", text="x"), leaf("c")], text=""), 2, "<a><b>x</b>\n  <c/>\n</a>"),
]


@pytest.mark.parametrize(("tree", "indent", "expected"), LAYOUT)
def test_layout(tree, indent, expected):
    assert write_string(tree, indent, False) == expected
    assert write_string(tree, indent=indent) == DECL + expected


def test_shared_child_is_written_once_per_place():
    b = leaf("b")
    assert write_string(Node("a", children=[b, b]), 1, False) == "<a>\n <b/>\n <b/>\n</a>"


@pytest.mark.parametrize(
    ("value", "text_form", "attr_form"),
    [
        ("a<b&c>\"d'e", "a&lt;b&amp;c&gt;&quot;d&apos;e", "a&lt;b&amp;c&gt;&quot;d&apos;e"),
        ("x\ty\rz\nw", "x\ty\rz\nw", "x&#9;y&#13;z&#10;w"),
        ("é😀\x01", "é😀\x01", "é😀\x01"),
        ("plain", "plain", "plain"),
        ("", "", ""),
    ],
)
def test_escaping(value, text_form, attr_form):
    assert write_string(leaf("a", text=value), default_xml_def=False) == f"<a>{text_form}</a>"
    assert write_string(leaf("a", attrs={"k": value}), default_xml_def=False) == f'<a k="{attr_form}"/>'


# The str is made at its final length and kind (ASCII, Latin-1, UCS-2, UCS-4)
# before it is written, and strings are written in blocks of 16 bytes with
# shorter tails: every length up to 40 of each pattern, against a plain escaper.
TEXT_ESCAPES = {"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&apos;"}
ATTR_ESCAPES = {**TEXT_ESCAPES, "\t": "&#9;", "\r": "&#13;", "\n": "&#10;"}


def escaped(value, table):
    return "".join(table.get(c, c) for c in value)


@pytest.mark.parametrize("pattern", [
    "plain ascii text, nothing to escape.",
    "a<b&c>d\"e'f\tg\rh\ni&&<<>>\"\"''",
    "é" * 9 + "ÿ<" * 9 + "x",
    "\u0100\u07ff\u0800\uffef&" * 5 + "<é>",
    "x\U0001f600<\U0010fffd&é\u4e16" * 4,
    "ab\x80\xff" * 10,
])
def test_every_length_and_kind_of_string(tmp_path, pattern):
    path = tmp_path / "out.xml"
    for length in range(41):
        value = pattern[:length]
        tree = Node("r", attrs={"k": value}, text=value,
                    children=[Node("é", text=value), Node(value or "n", children=[leaf("c")])])
        name = value or "n"
        expected = (f'<r k="{escaped(value, ATTR_ESCAPES)}">{escaped(value, TEXT_ESCAPES)}<é>'
                    f"{escaped(value, TEXT_ESCAPES)}</é>\n  <{name}>\n    <c/>\n  </{name}>\n</r>")
        assert write_string(tree, 2, False) == expected, length
        write_file(tree, str(path), 2, False)
        assert path.read_bytes() == expected.encode(), length


def test_names_and_keys_are_not_escaped():
    node = leaf("a<&\" b", attrs={"k&'<": "v"})
    assert write_string(node, default_xml_def=False) == '<a<&" b k&\'<="v"/>'


@pytest.mark.parametrize(
    ("kwargs", "exc", "message", "note"),
    [
        ({"indent": -1}, OverflowError, None, "indent"),
        ({"indent": 2**64}, OverflowError, None, "indent"),
        ({"indent": 1.5}, TypeError, None, "indent"),
        ({"indent": "2"}, TypeError, None, "indent"),
        ({"default_xml_def": 1}, TypeError, "'int' object is not an instance of 'bool'", "default_xml_def"),
        ({"default_xml_def": "yes"}, TypeError, "'str' object is not an instance of 'bool'", "default_xml_def"),
    ],
)
def test_option_errors(kwargs, exc, message, note):
    with pytest.raises(exc) as info:
        write_string(leaf("a"), **kwargs)
    if message:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{note}'"]


def test_node_argument_must_be_a_node():
    with pytest.raises(TypeError) as info:
        write_string("a")
    assert str(info.value) == "'str' object is not an instance of 'Node'"
    assert info.value.__notes__ == ["while processing 'node'"]


def test_index_objects_are_accepted_as_indent():
    class Two:
        def __index__(self):
            return 2

    assert write_string(Node("a", children=[leaf("b")]), Two(), False) == "<a>\n  <b/>\n</a>"


def test_numpy_bool_selects_the_declaration():
    np = pytest.importorskip("numpy")
    assert write_string(leaf("a"), default_xml_def=np.bool_(False)) == "<a/>"
    assert write_string(leaf("a"), default_xml_def=np.bool_(True)) == DECL + "<a/>"


def test_huge_indent_raises_memory_error_for_strings():
    tree = Node("a", children=[Node("b", children=[leaf("c")])])
    with pytest.raises(MemoryError):
        write_string(tree, 2**63)
    with pytest.raises(MemoryError):
        write_string(tree, 2**64 - 1)


# write_file ---------------------------------------------------------------------

SAMPLE = Node(
    "root",
    attrs={"id": "1", "q": 'say "hi" & <go>'},
    children=[leaf("x", text="t" * 10_000), Node("y", children=[leaf("z", attrs={"n": "\t"})])],
    text="head",
)


@pytest.mark.parametrize(("indent", "decl"), [(None, None), (0, False), (3, True)])
def test_file_bytes_equal_string(tmp_path, indent, decl):
    path = tmp_path / "out.xml"
    assert write_file(SAMPLE, str(path), indent, decl) is None
    assert path.read_bytes() == write_string(SAMPLE, indent, decl).encode("utf-8")


# Names beyond ASCII (beyond the BMP too) and CR LF and Ctrl-Z bytes: files are
# named in UTF-8 and read and written byte for byte, on every platform.
@pytest.mark.parametrize("name", ["plain.xml", "caf\u00e9.xml", "\u65e5\u672c.xml", "\U0001F600 \u03a9.xml"])
def test_file_names_and_bytes_round_trip(tmp_path, name):
    node = Node("r", attrs={"k": "v\r\n"}, children=[leaf("c", text="x\r\ny\x1az")], text="\u00e9")
    path = tmp_path / name
    assert write_file(node, str(path), 2) is None
    assert [p.name for p in tmp_path.iterdir()] == [name]
    assert path.read_bytes() == write_string(node, 2).encode("utf-8")
    raw = b"<r>\r\n1\r\n2\x1a3 \xc3\xa9</r>\r\n\x1a"
    path.write_bytes(raw)
    assert read_file(str(path), "r").to_dict() == read_string(raw.decode("utf-8"), "r").to_dict()


def test_large_documents_and_texts_are_written_whole(tmp_path):
    big = Node("r", children=[leaf("i", attrs={"k": str(i)}, text="é" * (i % 50)) for i in range(5000)])
    huge_text = leaf("t", text="x" * 100_000 + "&" + "y" * 9000)
    for tree in (big, huge_text):
        path = tmp_path / "big.xml"
        write_file(tree, str(path))
        assert path.read_text(encoding="utf-8") == write_string(tree)


def test_existing_file_is_replaced(tmp_path):
    path = tmp_path / "out.xml"
    path.write_text("x" * 100_000)
    write_file(leaf("a"), str(path), default_xml_def=False)
    assert path.read_text() == "<a/>"


def test_new_file_mode_is_0666_minus_umask(tmp_path):
    old = os.umask(0o027)
    try:
        path = tmp_path / "m.xml"
        write_file(leaf("a"), str(path))
    finally:
        os.umask(old)
    assert stat.S_IMODE(path.stat().st_mode) == 0o640


@pytest.mark.parametrize(
    ("make_path", "exc", "errno_value"),
    [
        (lambda d: str(d / "missing" / "out.xml"), FileNotFoundError, 2),
        # Windows' C runtime reports a directory as access denied.
        (lambda d: str(d), *((PermissionError, 13) if sys.platform == "win32" else (IsADirectoryError, 21))),
        (lambda d: "", FileNotFoundError, 2),
    ],
)
def test_file_os_errors(tmp_path, make_path, exc, errno_value):
    path = make_path(tmp_path)
    with pytest.raises(exc) as info:
        write_file(leaf("a"), path)
    message = f"{os.strerror(errno_value)} (os error {errno_value})"
    # The message stays the only argument; errno, strerror and filename are set as well.
    error = info.value
    assert (type(error), error.args, error.errno, error.strerror, error.filename) == (
        exc, (message,), errno_value, message, path)


def test_nul_in_path_touches_nothing(tmp_path):
    target = tmp_path / "a"
    with pytest.raises(OSError) as info:
        write_file(leaf("a"), str(target) + "\0b")
    assert info.value.args == ("file name contained an unexpected NUL byte",)
    assert not target.exists()


@pytest.mark.parametrize("path_type", [bytes, "pathlib"])
def test_path_must_be_str(tmp_path, path_type):
    path = tmp_path / "p.xml"
    arg = bytes(path) if path_type is bytes else path
    with pytest.raises(TypeError) as info:
        write_file(leaf("a"), arg)
    assert info.value.__notes__ == ["while processing 'file_path'"]
    assert not path.exists()


@pytest.mark.parametrize("bad", [{"indent": -1}, {"default_xml_def": 0}])
def test_conversion_error_leaves_existing_file(tmp_path, bad):
    path = tmp_path / "keep.xml"
    path.write_text("keep me")
    with pytest.raises((OverflowError, TypeError)):
        write_file(leaf("a"), str(path), **bad)
    assert path.read_text() == "keep me"


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("size", [10, 20_000])
def test_device_full(size):
    with pytest.raises(OSError) as info:
        write_file(leaf("a", text="x" * size), "/dev/full")
    assert info.value.args == (f"{os.strerror(28)} (os error 28)",)


# round trips ----------------------------------------------------------------------


def shape(node):
    return (node.name, node.text, sorted(node.attrs.items()), [shape(c) for c in node.children])


def test_round_trip_of_the_bundled_sample(tmp_path):
    sample = os.path.join(os.path.dirname(__file__), "..", "examples", "catalog.xml")
    first = read_file(sample, "library")
    path = tmp_path / "copy.xml"
    write_file(first, str(path))
    again = read_file(str(path), "library")
    assert shape(again) == shape(first)
    assert shape(read_string(write_string(first, 0, False), "library")) == shape(first)


def test_round_trip_keeps_special_characters():
    node = leaf("a", attrs={"k": "\t<&>\"'\n\r"}, text="<&>\"'")
    assert shape(read_string(write_string(node), "a")) == shape(node)


@pytest.mark.million
def test_million_level_tree_is_written():
    depth = 1_000_000
    node = leaf("n", text="leaf")
    for _ in range(depth - 1):
        node = Node("n", children=[node])
    out = write_string(node, 0, False)
    assert out.startswith("<n>\n<n>") and out.endswith("</n>\n</n>")
    assert out.count("<n>") == depth


# Attribute order under PYTHONHASHSEED: each run of this program writes a node
# of twenty attributes from the main thread and from a second thread.
SEEDED_WRITE = """
import sys, threading
from brindxml import Node, write_string
out = []
def write():
    out.append(write_string(Node("r", attrs={f"k{i}": str(i) for i in range(20)}), default_xml_def=False))
write()
worker = threading.Thread(target=write)
worker.start()
worker.join()
sys.stdout.write("\\n".join(out))
"""


def written_under(seed):
    env = {**os.environ, "PYTHONHASHSEED": seed}
    done = subprocess.run([sys.executable, "-c", SEEDED_WRITE], capture_output=True, text=True, env=env,
                          timeout=120, check=True)
    return done.stdout


@pytest.mark.parametrize("seed", ["0", "123"])
def test_an_integer_hash_seed_makes_attribute_order_reproducible(seed):
    runs = {written_under(seed) for _ in range(3)}
    assert len(runs) == 1
    main_thread, other_thread = runs.pop().split("\n")
    assert main_thread == other_thread  # every thread starts from the seed's keys
    assert sorted(main_thread.removesuffix("/>").split()[1:]) == sorted(f'k{i}="{i}"' for i in range(20))


def test_different_hash_seeds_give_different_orders():
    assert written_under("0") != written_under("123")
