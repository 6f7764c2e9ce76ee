"""read_file and the document's encoding: byte order marks, the XML declaration, errors."""

from __future__ import annotations

import codecs
from xml.etree import ElementTree

import pytest

from brindxml import read_file

TEXT = "Größe: 5 € – ½"
SHIFT_JIS_TEXT = "日本語のテキスト"


def declared(encoding, text=TEXT, declaration=None):
    declaration = declaration or f'<?xml version="1.0" encoding="{encoding}"?>'
    return f'{declaration}\n<doc><r a="{text}">{text}</r></doc>'


def saved(tmp_path, data):
    path = tmp_path / "doc.xml"
    path.write_bytes(data)
    return str(path)


# (bytes of the file, the text of <r> and of its attribute a)
ENCODED = [
    (declared("ISO-8859-1", "Größe: 5 ½").encode("iso-8859-1"), "Größe: 5 ½"),
    (declared("iso8859_15", "Größe: 5 €").encode("iso8859_15"), "Größe: 5 €"),
    (declared("windows-1252").encode("cp1252"), TEXT),
    (declared("cp1252").encode("cp1252"), TEXT),
    (declared("Shift_JIS", SHIFT_JIS_TEXT).encode("shift_jis"), SHIFT_JIS_TEXT),
    # Byte order marks (the codec drops them), with or without a declaration.
    (codecs.BOM_UTF16_LE + declared("UTF-16").encode("utf-16-le"), TEXT),
    (codecs.BOM_UTF16_BE + declared("UTF-16").encode("utf-16-be"), TEXT),
    (codecs.BOM_UTF16_LE + "<doc><r a='y'>y</r></doc>".encode("utf-16-le"), "y"),
    (codecs.BOM_UTF32_LE + declared("UTF-32").encode("utf-32-le"), TEXT),
    (codecs.BOM_UTF32_BE + declared("UTF-32").encode("utf-32-be"), TEXT),
    # UTF-16 without a mark: known by `<?` in its first four bytes.
    (declared("UTF-16").encode("utf-16-le"), TEXT),
    (declared("UTF-16").encode("utf-16-be"), TEXT),
    # UTF-8 in any spelling Python's codecs know, and a UTF-8 mark.
    (declared("utf8").encode("utf-8"), TEXT),
    (declared("UTF_8").encode("utf-8"), TEXT),
    (codecs.BOM_UTF8 + declared("utf-8").encode("utf-8"), TEXT),
    (codecs.BOM_UTF8 + b"<doc><r a='y'>y</r></doc>", "y"),
    # A declared ISO-8859-1 file whose bytes happen to be valid UTF-8 is ISO-8859-1.
    (declared("ISO-8859-1").encode("utf-8"), TEXT.encode("utf-8").decode("iso-8859-1")),
]


@pytest.mark.parametrize(("data", "text"), ENCODED)
def test_read_file_decodes_what_the_document_declares(tmp_path, data, text):
    path = saved(tmp_path, data)
    node = read_file(path, "r")
    assert (node.text, node.attrs["a"]) == (text, text)
    try:
        expected = ElementTree.parse(path).getroot().find("r")
    except (ElementTree.ParseError, ValueError):  # no 32-bit or multi-byte codecs there, nor aliases like utf8
        return
    assert (node.text, node.attrs) == (expected.text, expected.attrib)


# A decoded document is read as read_string reads the str: offsets count its UTF-8 form.
def test_offsets_of_a_decoded_document_count_its_utf8_form(tmp_path):
    document = declared("ISO-8859-1", "é").replace("</r>", "&bad;</r>")
    path = saved(tmp_path, document.encode("iso-8859-1"))
    with pytest.raises(ValueError) as info:
        read_file(path, "r")
    at = document.encode("utf-8").index(b"&bad;")
    assert str(info.value) == f"unknown entity reference '&bad;' at byte {at}"


@pytest.mark.parametrize(
    ("data", "exc", "message"),
    [
        (declared("no-such-codec").encode(), LookupError, "unknown encoding: no-such-codec"),
        # A codec that does not decode bytes to text.
        (declared("zlib").encode(), LookupError,
         "'zlib' is not a text encoding; use codecs.decode() to handle arbitrary codecs"),
        # Bytes the codec cannot decode: its own error, which names it and the position.
        (declared("ascii", "é").encode("latin-1"), UnicodeDecodeError,
         "'ascii' codec can't decode byte 0xe9 in position 50: ordinal not in range(128)"),
        (declared("Shift_JIS", "x").encode() + b"<x>\x81</x>", UnicodeDecodeError, None),
        # A declaration readable as ASCII cannot name UTF-16.
        (declared("UTF-16").encode(), ValueError, "the document declares encoding 'utf-16' but is not written in it"),
    ],
)
def test_read_file_encoding_errors(tmp_path, data, exc, message):
    with pytest.raises(exc) as info:
        read_file(saved(tmp_path, data), "r")
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
