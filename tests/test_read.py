"""read_string and read_file: results, every message family with exact offsets, threads."""

from __future__ import annotations

import errno
import gc
import os
import subprocess
import sys
import threading
from xml.etree import ElementTree

import pytest

import brindxml
from brindxml import read_file, read_string, write_string


def shape(node):
    """A comparable, fully expanded form of a tree."""
    return (node.name, node.text, sorted(node.attrs.items()), [shape(c) for c in node.children])


@pytest.mark.parametrize(
    ("xml", "root", "expected"),
    [
        ("<a>1</a>", "a", ("a", "1", [], [])),
        ("<r><a>1</a></r>", "a", ("a", "1", [], [])),
        ('<a x="1"/>', "a", ("a", None, [("x", "1")], [])),
        ("<a> x <b/> y </a>", "a", ("a", "x  y", [], [("b", None, [], [])])),
        ("<a>   \n\t </a>", "a", ("a", None, [], [])),
        # Only SPACE, TAB, CR and LF are trimmed; other white space is data.
        ("<a> \t\r\nx\n</a>", "a", ("a", "x", [], [])),
        ("<a>\u00a0x\u3000</a>", "a", ("a", "\u00a0x\u3000", [], [])),
        ("<group>&#xA0;</group>", "group", ("group", "\u00a0", [], [])),
        ("<a> 1\u202f000 </a>", "a", ("a", "1\u202f000", [], [])),
        ("<a>\x0b\x0cx</a>", "a", ("a", "\x0b\x0cx", [], [])),
        ("<a>x\r\ny</a>", "a", ("a", "x\r\ny", [], [])),
        ("<a><![CDATA[<b>&amp;</b>]]></a>", "a", ("a", "<b>&amp;</b>", [], [])),
        ("<a>x<!-- c -->y</a>", "a", ("a", "xy", [], [])),
        ("<a>&lt;&gt;&amp;&quot;&apos;&#65;&#x42;</a>", "a", ("a", "<>&\"'AB", [], [])),
        ('<a k="l1\r\nl2\tl3\nl4"/>', "a", ("a", None, [("k", "l1 l2 l3 l4")], [])),
        ("<a k='&#10;'/>", "a", ("a", None, [("k", "\n")], [])),
        ('<1-x y.z:w="v"/>', "1-x", ("1-x", None, [("y.z:w", "v")], [])),
        ("<?xml version='1.0'?><!DOCTYPE a><a>t</a>", "a", ("a", "t", [], [])),
        ("<a>1</a><b>", "a", ("a", "1", [], [])),
        ("<a>1</a>trailing </junk>", "a", ("a", "1", [], [])),
        ("<a></a >", "a", ("a", None, [], [])),
        ('<a b="x>y">t</a>', "a", ("a", "t", [("b", "x>y")], [])),
        ("<p>it's <b>bold</b>, isn't it</p>", "p", ("p", "it's , isn't it", [], [("b", "bold", [], [])])),
        ("<é a='ü'>ö</é>", "é", ("é", "ö", [("a", "ü")], [])),
        ("\ufeff<a>1</a>", "a", ("a", "1", [], [])),  # a byte order mark
    ],
)
def test_read_string_results(xml, root, expected):
    assert shape(read_string(xml, root)) == expected


# Each malformed document with the exact ValueError message.
MALFORMED = [
    ("<a>", "a", "unexpected end of document: <a> is never closed"),
    ("", "a", "root tag <a> not found in document"),
    ("<r><a>1</a></r>", "x", "root tag <x> not found in document"),
    ("<a>x</a", "a", "malformed XML: Unclosed tag at byte 4"),
    ("<a><", "a", "malformed XML: Unclosed tag at byte 3"),
    ("<a>1</a><b", "a", "malformed XML: Unclosed tag at byte 8"),
    ("<a>&bogus;</a>", "a", "unknown entity reference '&bogus;' at byte 3"),
    ("<a>&;</a>", "a", "unknown entity reference '&;' at byte 3"),
    ("<a>AT&T</a>", "a", "malformed XML at byte 5: unterminated entity reference"),
    ("<a>&#X41;</a>", "a", "malformed XML at byte 3: invalid character reference '&#X41;'"),
    ("<a>&#xD800;</a>", "a", "malformed XML at byte 3: invalid character reference '&#xD800;'"),
    ("<a>&#1114112;</a>", "a", "malformed XML at byte 3: invalid character reference '&#1114112;'"),
    ("<r><a>1</b></r>", "r", "malformed XML at byte 7: expected </a>, found </b>"),
    ("</x>", "a", "malformed XML at byte 0: unexpected end tag </x>"),
    ("<a></a b>", "a", "malformed XML at byte 3: malformed end tag </a>"),
    ("<a x='1'y='2'/>", "a", "malformed XML at byte 8: expected whitespace before attribute"),
    ("<a x/>", "a", "malformed XML at byte 3: attribute 'x' has no value"),
    ("<a x=1/>", "a", "malformed XML at byte 5: value of attribute 'x' is not quoted"),
    ('<a x="1" x="2"/>', "a", "malformed XML at byte 9: duplicate attribute 'x'"),
    # Names of up to 8 bytes compare as words, longer ones byte by byte; the
    # last names here end too near the tag's end for a whole word to be read.
    ('<a abcdefghi="1" abcdefghj="2" abcdefgh="3" abcdefghi="4"/>', "a",
     "malformed XML at byte 44: duplicate attribute 'abcdefghi'"),
    ('<a ab="1" abc="2" ab="3"/>', "a", "malformed XML at byte 18: duplicate attribute 'ab'"),
    ('<a x="<"/>', "a", "malformed XML at byte 6: '<' is not allowed in attribute values"),
    ("<a>x < y</a>", "a", "malformed XML at byte 5: expected element name after '<'"),
    ("<>", "a", "malformed XML at byte 0: expected element name after '<'"),
    ("<a><!-- x", "a", "malformed XML at byte 3: unterminated markup"),
    ("<a><!--></a>", "a", "malformed XML at byte 3: unterminated markup"),
    ("<a><!---></a>", "a", "malformed XML at byte 3: unterminated markup"),
    ("<a><![CDATA[x</a>", "a", "malformed XML at byte 3: unterminated CDATA section"),
    ("<a><?pi x></a>", "a", "malformed XML at byte 3: unterminated processing instruction"),
    # Offsets count UTF-8 bytes: "é" is two bytes, "€" three.
    ("<a>é&bad;</a>", "a", "unknown entity reference '&bad;' at byte 5"),
    ("<a>€€<b></c></a>", "a", "malformed XML at byte 12: expected </b>, found </c>"),
]


@pytest.mark.parametrize(("xml", "root", "message"), MALFORMED)
def test_read_string_errors(xml, root, message):
    with pytest.raises(ValueError) as info:
        read_string(xml, root)
    assert str(info.value) == message


# The prolog of three real stylesheets (htmlhelp-common.xsl and two more).
DOCBOOK_PROLOG = """<?xml version="1.0"?>
<!DOCTYPE xsl:stylesheet [
<!ENTITY lf '<xsl:text xmlns:xsl="http://www.w3.org/1999/XSL/Transform">&#xA;</xsl:text>'>
<!ENTITY lowercase "'abcdefghijklmnopqrstuvwxyz'">
<!ENTITY test 'count(key("k", .)) > 1'>
]>
"""

# A document type declaration is skipped as a whole: markup in its comments,
# processing instructions, quoted literals and entity values is never read as
# elements. (document, root, the root's text as ElementTree reads it, or the error)
DOCTYPES = [
    ("<!DOCTYPE r [<!-- <b></b> -->]><r/>", "r", None),
    ("<!DOCTYPE x [<!-- <q><r>fake</r></q> -->]><x><r>real</r></x>", "r", "real"),
    ('<!DOCTYPE x [<!ENTITY b "<q><r>fake</r></q>">]><x><r>real</r></x>', "r", "real"),
    ('<!DOCTYPE x [<!ENTITY b "a > <r>fake</r>">]><x><r>real</r></x>', "r", "real"),
    ('<!DOCTYPE x [<!ENTITY b "]><r>fake</r>">]><x><r>real</r></x>', "r", "real"),
    ("<!DOCTYPE x [<!-- ]> --><!ENTITY b '<r>fake</r>'>]><x><r>real</r></x>", "r", "real"),
    ("<!DOCTYPE x [<?pi ]> <r>fake</r> ?>]><x><r>real</r></x>", "r", "real"),
    ('<!DOCTYPE x SYSTEM "x.dtd" [<!ENTITY e SYSTEM "]><r>fake</r>">]>\n<x><r>real</r></x>', "r", "real"),
    (DOCBOOK_PROLOG + '<xsl:stylesheet version="1.0"><xsl:text>ok</xsl:text></xsl:stylesheet>', "xsl:text", "ok"),
    # A declared entity that is then used is still unknown.
    ('<!DOCTYPE x [<!ENTITY b "<r>fake</r>">]><x><r>&b;</r></x>', "r",
     ValueError("unknown entity reference '&b;' at byte 46")),
    (DOCBOOK_PROLOG + '<xsl:stylesheet><xsl:if test="&test;"/></xsl:stylesheet>', "xsl:stylesheet",
     ValueError("unknown entity reference '&test;' at byte 264")),
    # Unterminated: a malformed document, at the declaration's `<`.
    ('<!DOCTYPE r [<!ENTITY b "x">\n<r/>', "r",
     ValueError("malformed XML at byte 0: unterminated DOCTYPE declaration")),
    ("<?xml version='1.0'?><!DOCTYPE r [<!-- ]><r/>", "r",
     ValueError("malformed XML at byte 21: unterminated DOCTYPE declaration")),
    ("<!DOCTYPE r SYSTEM 'r.dtd><r/>", "r", ValueError("malformed XML at byte 0: unterminated DOCTYPE declaration")),
]


@pytest.mark.parametrize(("xml", "root", "expected"), DOCTYPES)
def test_doctype_is_skipped_as_a_whole(xml, root, expected):
    if isinstance(expected, Exception):
        with pytest.raises(type(expected)) as info:
            read_string(xml, root)
        assert str(info.value) == str(expected)
        return
    assert read_string(xml, root).text == expected
    if ":" not in root:  # ElementTree (which reads the DTD) finds the same element and text
        assert next(ElementTree.fromstring(xml).iter(root)).text == expected


def test_outer_self_closing_tags_are_parsed_in_full():
    with pytest.raises(ValueError, match="attribute 'x' has no value"):
        read_string("<r><s x/><a/></r>", "a")
    # An outer open tag's attributes are not parsed at all.
    assert read_string("<r x><a/></r>", "a").name == "a"


def test_str_subclass_document_and_root():
    class S(str):
        pass

    node = read_string(S("<a k='v'>t</a>"), S("a"))
    assert shape(node) == ("a", "t", [("k", "v")], [])


@pytest.mark.parametrize(
    ("args", "exc", "message", "note"),
    [
        ((b"<a/>", "a"), TypeError, "'bytes' object is not an instance of 'str'", "xml_string"),
        (("<a/>", None), TypeError, "'None' is not an instance of 'str'", "root_tag"),
        (("<a/>\ud800", "a"), UnicodeEncodeError, None, "xml_string"),
    ],
)
def test_read_string_argument_errors(args, exc, message, note):
    with pytest.raises(exc) as info:
        read_string(*args)
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{note}'"]


def test_views_keep_the_document_alive():
    doc = "".join(["<root>", "<item k='value'>text</item>" * 100, "</root>"])
    items = read_string(doc, "root").children
    del doc
    gc.collect()
    assert {(i.name, i.attrs["k"], i.text) for i in items} == {("item", "value", "text")}


def test_the_tree_does_not_pin_the_caller_string_after_it_is_dropped():
    doc = "<a k='v'>" + "x" * 1000 + "</a>"
    base = sys.getrefcount(doc)
    node = read_string(doc, "a")
    assert sys.getrefcount(doc) == base + 1  # the views share one reference
    del node
    gc.collect()
    assert sys.getrefcount(doc) == base


def test_long_names_are_not_truncated():
    name = "n" * 70_000
    node = read_string(f"<{name} {name}='v'>t</{name}>", name)
    assert node.name == name and node.attrs == {name: "v"} and node.text == "t"
    with pytest.raises(ValueError, match="expected </"):
        read_string(f"<{name}>t</{name[:-1]}m>", name)


# A byte the attribute scanner must look at twice, at each place in names and
# values of 1 to 18 bytes (across the eight-byte words it reads at a time),
# with what the value becomes (None: the document is refused there).
ATTRIBUTE_BYTES = {"'": "'", "é": "é", "&amp;": "&", "\t": " ", "\x0b": "\x0b", "<": None}


@pytest.mark.parametrize(("odd", "becomes"), ATTRIBUTE_BYTES.items())
def test_attribute_bytes_at_every_place(odd, becomes):
    for n in range(1, 19):
        for at in sorted({0, n // 2, n - 1}):
            name = "n" * at + ("\x01" if odd == "\x0b" else "") + "m" * (n - at)
            raw = "v" * at + odd + "w" * (n - at)
            doc = f"<r {name}=\"{raw}\" k{'k' * at}='{raw.replace(chr(39), '&apos;')}'/>"
            if becomes is None:
                offset = len(doc[: doc.index("<", 1)].encode())
                with pytest.raises(ValueError, match=f"at byte {offset}: '<' is not allowed"):
                    read_string(doc, "r")
            else:
                value = "v" * at + becomes + "w" * (n - at)
                assert read_string(doc, "r").attrs == {name: value, "k" + "k" * at: value}, doc


def test_texts_and_values_of_16_mib_and_more_read_and_write_back():
    big = "a" * (1 << 24) + "é" + "b" * 7
    node = read_string(f"<r v='{big}'><c>{big}</c>{big[1:]}</r>", "r")
    child = node.children[0]
    assert node.attrs == {"v": big} and child.text == big and node.text == big[1:]
    assert read_string(write_string(node), "r").children[0].text == big


@pytest.mark.million
def test_million_level_document(tmp_path):
    depth = 1_000_000
    doc = "<n>" * depth + "leaf" + "</n>" * depth
    node = read_string(doc, "n")
    levels = 0
    while node.children:
        node = node.children[0]
        levels += 1
    assert levels == depth - 1 and node.text == "leaf"


# read_file ----------------------------------------------------------------------


def test_read_file_returns_the_tree(tmp_path):
    path = tmp_path / "doc.xml"
    path.write_text("<r><a k='v'>é</a></r>", encoding="utf-8")
    assert shape(read_file(str(path), "a")) == ("a", "é", [("k", "v")], [])


def os_error_fields(error):
    return type(error), error.args, error.errno, error.strerror, error.filename, str(error)


def expected_os_error(exc, errno_value, path, message=None):
    message = message or f"{os.strerror(errno_value)} (os error {errno_value})"
    # The message stays the only argument; str() adds errno and file name as OSError's own does.
    return exc, (message,), errno_value, message, path, f"[Errno {errno_value}] {message}: {path!r}"


def make_unreadable(d):
    (d / "secret.xml").write_text("<a/>")
    (d / "secret.xml").chmod(0)
    return str(d / "secret.xml")


@pytest.mark.parametrize(
    ("make_path", "exc", "errno_value"),
    [
        (lambda d: str(d / "missing.xml"), FileNotFoundError, 2),
        (lambda d: str(d / "no" / "such" / "dir.xml"), FileNotFoundError, 2),
        (lambda d: "", FileNotFoundError, 2),
        # Windows' C runtime reports a directory as access denied.
        (lambda d: str(d), *((PermissionError, 13) if sys.platform == "win32" else (IsADirectoryError, 21))),
        pytest.param(make_unreadable, PermissionError, 13, marks=pytest.mark.skipif(
            getattr(os, "geteuid", lambda: 0)() == 0, reason="root reads any file; no file modes on Windows")),
    ],
)
def test_read_file_os_errors(tmp_path, make_path, exc, errno_value):
    path = make_path(tmp_path)
    with pytest.raises(exc) as info:
        read_file(path, "a")
    assert os_error_fields(info.value) == expected_os_error(exc, errno_value, path)


# Bytes that are not UTF-8 (in a file that names no other encoding): EILSEQ, the
# file name, and the offset of the first byte of the first bad sequence.
@pytest.mark.parametrize(
    ("content", "offset"),
    [
        (b"<a>\xff</a>", 3),
        (b"<a>\xc3\xa9\xe2\x82</a>", 5),
        (b"<?xml version='1.0' encoding='UTF-8'?><a>\xed\xa0\x80</a>", 41),
        (b"\xef\xbb\xbf<a>\xc0\xaf</a>", 6),
        (b"<a/>" + b"x" * 100 + b"\xe2\x82", 104),
    ],
)
def test_read_file_not_utf8(tmp_path, content, offset):
    path = str(tmp_path / "bad.xml")
    with open(path, "wb") as f:
        f.write(content)
    with pytest.raises(OSError) as info:
        read_file(path, "a")
    assert os_error_fields(info.value) == expected_os_error(
        OSError, errno.EILSEQ, path, "stream did not contain valid UTF-8")
    assert info.value.byte_offset == offset
    with pytest.raises(UnicodeDecodeError) as python_says:
        content.decode("utf-8")
    assert python_says.value.start == offset


@pytest.mark.parametrize(
    ("setup", "exc", "errno_value"),
    [
        # A path that goes through a regular file.
        (lambda d: (d / "f").write_text("x") and str(d / "f" / "x.xml"), NotADirectoryError, 20),
        # A symbolic link that points at itself: no dedicated subclass, plain OSError.
        (lambda d: os.symlink(d / "loop", d / "loop") or str(d / "loop"), OSError, 40),
        # A file name longer than the file system allows.
        (lambda d: str(d / ("n" * 300)), OSError, 36),
    ],
)
def test_read_file_error_number_mapping(tmp_path, setup, exc, errno_value):
    path = setup(tmp_path)
    with pytest.raises(OSError) as info:
        read_file(path, "a")
    assert type(info.value) is exc
    assert info.value.args == (f"{os.strerror(errno_value)} (os error {errno_value})",)


def test_read_file_nul_in_path():
    with pytest.raises(OSError) as info:
        read_file("a\0b.xml", "a")
    assert os_error_fields(info.value) == expected_os_error(
        OSError, errno.EINVAL, "a\0b.xml", "file name contained an unexpected NUL byte")


def test_read_file_and_read_string_agree_on_errors(tmp_path):
    for xml, root, message in MALFORMED:
        path = tmp_path / "m.xml"
        path.write_text(xml, encoding="utf-8")
        with pytest.raises(ValueError) as info:
            read_file(str(path), root)
        assert str(info.value) == message


def test_many_threads_reading_at_once():
    docs = [f"<r>{''.join(f'<i n=\"{t}-{k}\">{k}</i>' for k in range(200))}</r>" for t in range(8)]
    expected = [shape(read_string(d, "r")) for d in docs]
    results: list = [None] * len(docs)
    errors: list = []

    def work(t: int) -> None:
        try:
            for _ in range(20):
                got = shape(read_string(docs[t], "r"))
                assert got == expected[t]
            results[t] = got
        except BaseException as exc:  # reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(len(docs))]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert not errors
    assert results == expected


def test_module_reads_its_bundled_sample():
    sample = os.path.join(os.path.dirname(__file__), "..", "examples", "catalog.xml")
    library = read_file(sample, "library")
    assert library.attrs == {"name": "Riverside Branch", "city": "Lyon"}
    titles = [b.children[0].text for s in library.children for b in s.children]
    assert titles[1] == "L'Étranger" and titles[3] == "Cats & Quantum Things \u2014 an Introduction"
    assert isinstance(brindxml.Node, type)


def _attributed_doc(items: int, tag: str = "root") -> str:
    return "".join([f"<{tag}>", *(f"<i n='{i}' k='v{i}'>t{i}</i>" for i in range(items)), f"</{tag}>"])


def test_dropping_a_large_tree_releases_the_document_at_once():
    # Large trees free their attribute tables with the thread state released;
    # the document's str must still go back as soon as the tree is dropped,
    # not at some later call into the module.
    doc = _attributed_doc(20_000)
    base = sys.getrefcount(doc)
    node = read_string(doc, "root")
    assert sys.getrefcount(doc) == base + 1
    del node
    assert sys.getrefcount(doc) == base


def test_dropping_a_tree_built_from_many_documents_releases_each_of_them():
    docs = [_attributed_doc(300, f"r{d}") for d in range(24)]
    bases = [sys.getrefcount(d) for d in docs]
    children = [child for d, doc in enumerate(docs) for child in read_string(doc, f"r{d}").children]
    kept = children[4321]
    tree = brindxml.Node("all", {"a": "b"}, children)
    del children
    assert [sys.getrefcount(d) for d in docs] != bases
    del tree
    # Counted before any other call into the module, which would also
    # release what was left for later: only the kept child's document is
    # still referenced, and the child is whole.
    counts = [sys.getrefcount(d) for d in docs]
    assert counts == [b + (1 if i == 14 else 0) for i, b in enumerate(bases)]
    assert kept.attrs == {"n": "121", "k": "v121"} and kept.text == "t121"
    del kept
    assert [sys.getrefcount(d) for d in docs] == bases


def test_large_trees_are_dropped_while_other_threads_read(on_threads):
    doc = _attributed_doc(6_000)
    shared = read_string(doc, "root")

    def check():
        tree = read_string(doc, "root")
        assert len(tree.children) == 6_000
        assert shared.children[5_999].attrs == {"n": "5999", "k": "v5999"}
        del tree

    on_threads(check, rounds=5, threads=4)


LEFT_FOR_SHUTDOWN = """
import threading, brindxml
doc = "<r>" + "<i a='1' b='2'>t</i>" * 20000 + "</r>"
kept = brindxml.read_string(doc, "r")            # freed while the interpreter shuts down
local = threading.local()
def work():
    local.tree = brindxml.read_string(doc, "r")  # freed when the thread's state is cleared
    ended = brindxml.read_string(doc, "r")       # freed on the thread itself
t = threading.Thread(target=work); t.start(); t.join()
daemon_ready = threading.Event()
def daemon():
    tree = brindxml.read_string(doc, "r")
    daemon_ready.set()
    threading.Event().wait()                     # still holding its tree at exit
threading.Thread(target=daemon, daemon=True).start()
daemon_ready.wait()
print("ok")
"""


def test_large_trees_left_to_threads_and_shutdown_are_freed_cleanly():
    done = subprocess.run([sys.executable, "-c", LEFT_FOR_SHUTDOWN], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout.strip(), done.stderr) == (0, "ok", "")
