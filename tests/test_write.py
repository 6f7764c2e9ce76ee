"""write_string and write_file: layout byte by byte, escaping, options, file errors."""

from __future__ import annotations

import errno
import os
import stat
import subprocess
import sys
import textwrap
import xml.etree.ElementTree as ET

import pytest

from brindxml import Node, read_file, read_string, write_file, write_string

try:
    from lxml import etree as lxml_etree
except ImportError:
    lxml_etree = None

SANITIZED = os.environ.get("BRINDXML_SANITIZED") == "1"

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
        ("x\ty\rz\nw", "x\ty&#13;z\nw", "x&#9;y&#13;z&#10;w"),
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
TEXT_ESCAPES = {"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&apos;", "\r": "&#13;"}
ATTR_ESCAPES = {**TEXT_ESCAPES, "\t": "&#9;", "\n": "&#10;"}


def escaped(value, table):
    return "".join(table.get(c, c) for c in value)


def writable_name(value):
    """`value` with what a name cannot hold (white space, markup, controls) replaced by "_"."""
    return "n" + "".join("_" if c.isspace() or c in "<>/=\"'&" or ord(c) < 0x20 or 0x7F <= ord(c) <= 0x9F
                         else c for c in value)


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
        name = writable_name(value)
        tree = Node("r", attrs={"k": value}, text=value,
                    children=[Node("é", text=value), Node(name, children=[leaf("c")])])
        expected = (f'<r k="{escaped(value, ATTR_ESCAPES)}">{escaped(value, TEXT_ESCAPES)}<é>'
                    f"{escaped(value, TEXT_ESCAPES)}</é>\n  <{name}>\n    <c/>\n  </{name}>\n</r>")
        assert write_string(tree, 2, False) == expected, length
        write_file(tree, str(path), 2, False)
        assert path.read_bytes() == expected.encode(), length


def test_names_and_keys_are_not_escaped():
    node = leaf("a;b?c", attrs={"k#!%": "v"})
    assert write_string(node, default_xml_def=False) == '<a;b?c k#!%="v"/>'


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


# CR in text is written as a reference: every reader turns a raw CR or CR LF
# into LF, so the text would come back changed.
@pytest.mark.parametrize("text", ["a\r\nb", "a\rb", "a\r\r\nb\rc", "a\n\rb", "x\r\ny\r\nz", "\u00e9\r\U0001F600"])
def test_cr_reads_back_unchanged_everywhere(text):
    tree = Node("r", attrs={"k": text}, children=[Node("c", text=text)], text=text)
    written = write_string(tree)
    assert "\r" not in written
    back = read_string(written, "r")
    assert (back.text, back.attrs["k"], back.children[0].text) == (text, text, text)
    for parser in (ET, lxml_etree):
        if parser is None:
            continue
        element = parser.fromstring(written.encode())
        assert (element.text, element.get("k"), element[0].text) == (text, text, text), parser


# Names the writer cannot write are refused before anything is written, with
# the name and its place; merely unusual names are written.
BAD_NAMES = ["", "a b", "a\tb", "a\nb", "a\rb", "<a", "a>", "a/b", "a=b", 'a"b', "a'b", "a&b", "a\x00b", "a\x01",
             "a\x1f", "a\x7f", "a\x85", "a\u00a0b", "a\u2028", "a\u3000b"]
WHY = "a name must not be empty or contain white space, <, >, /, =, quotes, & or control characters"


def bad_name_trees(bad):
    return [
        (Node(bad), f"cannot write element name {bad!r} of the root element: {WHY}"),
        (Node("r", children=[Node("a"), Node("a", children=[Node("x"), Node(bad, children=[Node("y")])])]),
         f"cannot write element name {bad!r} at /r/a[2]/*[2]: {WHY}"),
        (Node("r", children=[Node("a", children=[Node("b", attrs={"ok": "1", bad: "v"})])]),
         f"cannot write attribute key {bad!r} of the element at /r/a/b: {WHY}"),
        # In the slot where the sibling before had a writable key.
        (Node("r", children=[Node("a", attrs={"k": "1"}), Node("a", attrs={bad: "v"})]),
         f"cannot write attribute key {bad!r} of the element at /r/a[2]: {WHY}"),
    ]


@pytest.mark.parametrize("bad", BAD_NAMES)
def test_unwritable_names_are_refused_before_writing(tmp_path, bad):
    existing = tmp_path / "existing.xml"
    existing.write_text("keep")
    for tree, message in bad_name_trees(bad):
        with pytest.raises(ValueError) as info:
            write_string(tree)
        assert str(info.value) == message
        for path in (tmp_path / "new.xml", existing):
            with pytest.raises(ValueError) as info:
                write_file(tree, str(path))
            assert str(info.value) == message
    assert sorted(p.name for p in tmp_path.iterdir()) == ["existing.xml"]
    assert existing.read_text() == "keep"


def test_long_unwritable_name_is_shown_by_its_start():
    with pytest.raises(ValueError, match=r"^cannot write element name '(x){60}'\.\.\. of the root element: "):
        write_string(Node("x" * 10_000 + " "))


UNUSUAL_NAMES = ["1abc", "-x", "\u00e9", "\u65e5\u672c\u8a9e", "a:b", "_x.y-z", "\U0001F600", "a\u200bb", "a;b?c!#%"]


@pytest.mark.parametrize("name", UNUSUAL_NAMES)
def test_unusual_names_are_written(tmp_path, name):
    tree = Node(name, attrs={name: "v"}, children=[Node(name, text="t")])
    written = write_string(tree, 2, False)
    assert written == f'<{name} {name}="v">\n  <{name}>t</{name}>\n</{name}>'
    assert shape(read_string(written, name)) == shape(tree)
    write_file(tree, str(tmp_path / "out.xml"), 2, False)
    assert (tmp_path / "out.xml").read_text(encoding="utf-8") == written


# write_file measures the document before it touches the file (run apart,
# under a file-size limit, so that a writer without the check cannot fill the
# disk).


DISK_FULL = textwrap.dedent(
    """
    import os, resource, signal, sys
    from brindxml import Node, write_file
    # A writer that wrote regardless would stop at this limit, not fill the disk.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (64 << 20, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
    tree = Node("a", children=[Node("b", children=[Node("c")])])
    for path in sys.argv[1:]:
        try:
            write_file(tree, path, indent=2**44)  # tebibytes of indentation: more than any disk
            print("written")
        except OSError as error:
            print(type(error).__name__, error.errno, error.args[0])
    # A device is not a file system to fill, nor bound by the file-size limit.
    write_file(Node("a", text="x" * (65 << 20)), os.devnull)
    print("device written")
    """
)


def refused_in_child(script, tmp_path, error_number, last_line):
    """Runs `script` on an existing and a new file: both writes fail with
    `error_number`, then `last_line` is printed, and neither file was touched."""
    existing, new = tmp_path / "existing.xml", tmp_path / "new.xml"
    existing.write_text("keep")
    done = subprocess.run([sys.executable, "-c", script, str(existing), str(new)], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    refused = f"OSError {error_number} {os.strerror(error_number)} (os error {error_number})"
    assert done.stdout.splitlines() == [refused, refused, last_line]
    assert existing.read_text() == "keep"
    assert not new.exists()


@pytest.mark.skipif(sys.platform == "win32", reason="free space is not checked on Windows")
def test_document_larger_than_the_disk_is_refused_before_the_file_is_touched(tmp_path):
    refused_in_child(DISK_FULL, tmp_path, errno.ENOSPC, "device written")


FILE_SIZE_LIMIT = textwrap.dedent(
    """
    import resource, signal, sys
    from brindxml import Node, write_file
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    hard = resource.getrlimit(resource.RLIMIT_FSIZE)[1]
    resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, hard))
    existing, new = sys.argv[1], sys.argv[2]
    big = Node("r", children=[Node("i", text="x<" * 50) for _ in range(1000)])  # 300,000 bytes written
    for path in (existing, new):
        try:
            write_file(big, path)
            print("written")
        except OSError as error:
            print(type(error).__name__, error.errno, error.args[0])
    # Escapes: above the limit by the quick bound, below it exactly.
    write_file(Node("r", text="&" * 19_000), new + ".small", 0, False)
    print("small written")
    """
)


@pytest.mark.skipif(sys.platform == "win32", reason="no file-size limit on Windows")
def test_document_beyond_the_file_size_limit_is_refused_before_the_file_is_touched(tmp_path):
    refused_in_child(FILE_SIZE_LIMIT, tmp_path, errno.EFBIG, "small written")
    assert (tmp_path / "new.xml.small").stat().st_size == 95_007


# A pool of threads that write keeps no memory per thread: what the writer
# keeps between calls is bounded for the whole process.
THREAD_POOL_MEMORY = textwrap.dedent(
    """
    import gc, os, threading
    from concurrent.futures import ThreadPoolExecutor
    from brindxml import Node, write_file, write_string

    def rss():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmRSS:"))

    doc = Node("r", children=[Node("i") for _ in range(100_000)])
    def work(i):
        if i < 1000:
            write_file(doc, os.devnull, 0)
        else:
            write_string(doc, 0)
    work(0)
    work(1000)
    gc.collect()
    baseline = rss()
    pool = ThreadPoolExecutor(64)
    together = threading.Barrier(64)
    list(pool.map(lambda i: (together.wait(), work(i)), range(64)))
    list(pool.map(work, range(1000, 1064)))
    gc.collect()
    alive = rss()
    pool.shutdown(wait=True)
    gc.collect()
    print(alive - baseline, rss() - baseline)
    """
)


@pytest.mark.skipif(not os.path.exists("/proc/self/status") or SANITIZED, reason="RSS from /proc; not under ASan")
def test_thread_pool_keeps_bounded_memory():
    done = subprocess.run([sys.executable, "-c", THREAD_POOL_MEMORY], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-3000:]
    alive, after = (int(n) for n in done.stdout.split())
    mib = 2**20
    figures = f"idle pool +{alive / mib:.1f} MiB, after shutdown +{after / mib:.1f} MiB"
    assert alive <= 32 * mib and after <= 32 * mib, figures
