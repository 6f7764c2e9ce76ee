"""Differential reading: brindxml against a reference tree built with expat, file by file.

    python tools/differential.py [DIR ...]                 real XML files (defaults: system folders)
    python tools/differential.py --roundtrip [DIR ...]     write_string of brindxml's tree, read back
    python tools/differential.py --make-encoded-corpus DIR makes non-UTF-8 files in DIR, then compares them

Every file under the folders that looks like XML is read by expat (the parser inside
ElementTree, used directly and without namespace processing, so prefixed names stay as
written, as brindxml keeps them) and by brindxml's read_file with the document element's name
as root_tag. Both trees are compared under brindxml's model: name, attributes as a dict, text,
children in order. The reference text of an element is all the character data directly inside
it (CDATA included), joined in document order across children, comments and processing
instructions, stripped of leading and trailing SPACE, TAB, CR and LF, None when empty. Attributes
that only a DTD supplies (defaults) are left out of the reference: brindxml reads no DTD.

Each file ends in one class: same, differs (with the first difference and its category),
brindxml error, ElementTree error (expat refuses what brindxml reads), or both error. Known,
documented differences of the model get categories of their own. Counts and the first examples of
each category are printed. Not part of `make test`: it reads whatever the machine has installed.
"""

from __future__ import annotations

import argparse
import codecs
import os
import random
import re
import sys
import tempfile
import xml.parsers.expat
from collections import Counter, defaultdict
from dataclasses import dataclass, field
from pathlib import Path

import brindxml

DEFAULT_DIRS = [
    "/usr/share/xml",
    "/usr/share/mime",
    "/usr/share/glib-2.0/schemas",
    "/usr/share/iso-codes",
    "/etc/fonts",
    "/usr/share/fontconfig",
    "/usr/share/X11/xkb",
]
MAX_BYTES = 64 << 20
XML_SPACE = " \t\r\n"
BOMS = (codecs.BOM_UTF8, codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE, codecs.BOM_UTF32_LE, codecs.BOM_UTF32_BE)
DECLARED_ENCODING = re.compile(rb"""^<\?xml[^>]*?encoding\s*=\s*["']([A-Za-z0-9._-]+)["']""")


# --- the reference tree -------------------------------------------------------------------------


@dataclass
class Element:
    name: str
    attrs: dict[str, str]
    pieces: list[str] = field(default_factory=list)
    children: list[Element] = field(default_factory=list)

    @property
    def text(self) -> str | None:
        return "".join(self.pieces).strip(XML_SPACE) or None


def expat_tree(data: bytes | str) -> Element:
    """The document element, built by expat without namespace processing or DTD defaults.
    A str is parsed as UTF-8 whatever its declaration says."""
    parser = xml.parsers.expat.ParserCreate()
    parser.specified_attributes = True
    parser.buffer_text = True
    stack: list[Element] = []
    roots: list[Element] = []

    def start(name: str, attrs: dict[str, str]) -> None:
        element = Element(name, attrs)
        (stack[-1].children if stack else roots).append(element)
        stack.append(element)

    def end(_name: str) -> None:
        stack.pop()

    def characters(data: str) -> None:
        if stack:
            stack[-1].pieces.append(data)

    parser.StartElementHandler = start
    parser.EndElementHandler = end
    parser.CharacterDataHandler = characters
    parser.Parse(data, True)
    return roots[0]


def declared_encoding(data: bytes) -> str | None:
    match = DECLARED_ENCODING.match(data.removeprefix(codecs.BOM_UTF8))
    return match.group(1).decode("ascii") if match else None


def reference_tree(data: bytes) -> tuple[Element, str]:
    """expat's tree of the file's bytes; where expat does not know the encoding (it knows UTF-8,
    UTF-16, ISO-8859-1, US-ASCII and, through Python, single-byte code pages), the bytes are
    decoded by Python's codecs as the declaration says and the text is parsed instead."""
    try:
        return expat_tree(data), "expat"
    except (xml.parsers.expat.ExpatError, ValueError) as error:
        unknown = xml.parsers.expat.errors.codes[xml.parsers.expat.errors.XML_ERROR_UNKNOWN_ENCODING]
        # pyexpat refuses multi-byte code pages (Shift_JIS) with a ValueError of its own.
        if getattr(error, "code", None) != unknown and "multi-byte encodings" not in str(error):
            raise
        encoding = declared_encoding(data)
        if encoding is None:
            raise
        return expat_tree(data.decode(encoding)), "Python codecs + expat"


# --- comparing ----------------------------------------------------------------------------------


def line_ends(text: str | None) -> str | None:
    return None if text is None else text.replace("\r\n", "\n").replace("\r", "\n")


def compare(node: brindxml.Node, reference: Element) -> tuple[str, str] | None:
    """The first difference in document order, as (category, detail), or None."""
    stack = [(node, reference, "/" + reference.name)]
    while stack:
        node, element, path = stack.pop()
        if node.name != element.name:
            return "name", f"{path}: brindxml {node.name!r}, reference {element.name!r}"
        attrs = node.attrs
        if attrs != element.attrs:
            if attrs.keys() != element.attrs.keys():
                return "attribute keys", f"{path}: brindxml {sorted(attrs)}, reference {sorted(element.attrs)}"
            key = next(k for k in attrs if attrs[k] != element.attrs[k])
            category = "attribute value"
            if [token for token in attrs[key].split(" ") if token] == element.attrs[key].split(" "):
                # A tokenized type (NMTOKENS, ID, ...) declared in the DTD: expat collapses its spaces.
                category += ": spaces collapsed for a type the DTD declares (documented: no DTD processing)"
            return category, f"{path}/@{key}: brindxml {attrs[key]!r}, reference {element.attrs[key]!r}"
        text, expected = node.text, element.text
        if text != expected:
            category = "text"
            if line_ends(text) == line_ends(expected):
                category = "text: line ends kept as written (documented)"
            return category, f"{path}: brindxml {shorten(text)}, reference {shorten(expected)}"
        children = node.children
        if len(children) != len(element.children):
            names = [child.name for child in element.children]
            return "children", f"{path}: brindxml {[c.name for c in children]}, reference {names}"
        counts: Counter[str] = Counter()
        items = []
        for child, expected_child in zip(children, element.children, strict=True):
            counts[expected_child.name] += 1
            items.append((child, expected_child, f"{path}/{expected_child.name}[{counts[expected_child.name]}]"))
        stack.extend(reversed(items))
    return None


def shorten(text: str | None, limit: int = 70) -> str:
    return repr(text) if text is None or len(text) <= limit else repr(text[:limit]) + "..."


# --- classifying --------------------------------------------------------------------------------

INTERNAL_SUBSET = re.compile(rb"<!DOCTYPE[^>\[]*\[", re.IGNORECASE)


def error_kind(error: BaseException) -> str:
    """The message without offsets and names, so equal faults count together."""
    message = str(error).splitlines()[0] if str(error) else ""
    message = re.sub(r"\d+", "N", message)
    message = re.sub(r"'[^']*'|<[^>]*>|\"[^\"]*\"", "X", message)
    return f"{type(error).__name__}: {message}"


def document_traits(data: bytes) -> list[str]:
    traits = []
    if INTERNAL_SUBSET.search(data[:1 << 16]):
        traits.append("DOCTYPE internal subset")
    if data.startswith(BOMS[1:]):
        traits.append("UTF-16/32 BOM")
    encoding = declared_encoding(data)
    if encoding and (not is_known(encoding) or codecs.lookup(encoding).name != "utf-8"):
        traits.append(f"declares {encoding}")
    return traits


def is_known(encoding: str) -> bool:
    try:
        codecs.lookup(encoding)
    except LookupError:
        return False
    return True


def brindxml_error_category(error: BaseException, data: bytes) -> str:
    kind = error_kind(error)
    traits = document_traits(data)
    if isinstance(error, OSError) and "valid UTF-8" in str(error) and any(t.startswith(("declares", "UTF-16"))
                                                                          for t in traits):
        return f"{kind} [non-UTF-8 encoding: issue 18 item 2]"
    entity = re.search(r"unknown entity reference '&([^;']+);'", str(error))
    if entity:
        if re.search(rb"<!ENTITY\s+" + re.escape(entity.group(1).encode()) + rb"\s", data):
            return f"{kind} [entity declared in the internal subset: documented, no DTD processing]"
        return f"{kind} [entity not declared in the document (external DTD): documented, no DTD processing]"
    if "DOCTYPE internal subset" in traits:
        return f"{kind} [markup inside the DOCTYPE internal subset: issue 18 item 1]"
    return kind


@dataclass
class Tally:
    counts: Counter[str] = field(default_factory=Counter)
    categories: dict[str, Counter[str]] = field(default_factory=lambda: defaultdict(Counter))
    examples: dict[tuple[str, str], list[str]] = field(default_factory=lambda: defaultdict(list))

    def add(self, outcome: str, category: str = "", example: str = "") -> None:
        self.counts[outcome] += 1
        if category:
            self.categories[outcome][category] += 1
            if example and len(self.examples[outcome, category]) < EXAMPLES:
                self.examples[outcome, category].append(example)

    def report(self, title: str) -> None:
        total = sum(self.counts.values())
        print(f"== {title}: {total} files")
        for outcome, count in self.counts.most_common():
            print(f"  {outcome:<22} {count:6d}")
        for outcome, categories in self.categories.items():
            print(f"-- {outcome}, by category")
            for category, count in categories.most_common():
                print(f"  {count:6d}  {category}")
                for example in self.examples[outcome, category]:
                    print(f"            {example}")


EXAMPLES = 3


def read_reference(data: bytes) -> tuple[Element | None, str, BaseException | None]:
    try:
        tree, how = reference_tree(data)
        return tree, how, None
    except (xml.parsers.expat.ExpatError, ValueError, LookupError, UnicodeError, IndexError) as error:
        return None, "", error


def check_file(path: str, tally: Tally, roundtrip: Tally | None) -> str:
    """Compares one file, adds it to the tallies and returns its outcome."""
    data = Path(path).read_bytes()
    reference, how, reference_error = read_reference(data)
    if reference is None:
        # Without a reference there is no root tag to ask for: the document element's name is
        # taken from the text, so brindxml still gets its say.
        match = re.search(rb"<([^\s/>!?]+)", data.removeprefix(codecs.BOM_UTF8))
        root = match.group(1).decode("utf-8", "replace") if match else "?"
    else:
        root = reference.name
    try:
        node = brindxml.read_file(path, root)
    except (ValueError, OSError, LookupError, UnicodeError) as error:
        if reference is None:
            tally.add("both error", f"{error_kind(reference_error)} | {error_kind(error)}", path)
            return "both error"
        tally.add("brindxml error", brindxml_error_category(error, data), f"{path}: {error}")
        return "brindxml error"
    if reference is None:
        tally.add("ElementTree error", error_kind(reference_error) + traits_note(data), f"{path}: {reference_error}")
        return "ElementTree error"
    difference = compare(node, reference)
    suffix = "" if how == "expat" else f" (reference: {how})"
    if difference is None:
        tally.add("same", f"same{suffix}" if suffix else "")
    else:
        category, detail = difference
        tally.add("differs", category + traits_note(data), f"{path}: {detail}")
    if roundtrip is not None:
        check_roundtrip(path, node, roundtrip)
    return "same" if difference is None else "differs"


def traits_note(data: bytes) -> str:
    traits = document_traits(data)
    return f" [{', '.join(traits)}]" if traits else ""


def check_roundtrip(path: str, node: brindxml.Node, tally: Tally) -> None:
    """brindxml's tree written by write_string, then read by expat and by brindxml: both must
    give the tree back."""
    try:
        written = brindxml.write_string(node)
    except (ValueError, OSError) as error:
        tally.add("write error", error_kind(error), f"{path}: {error}")
        return
    try:
        reread = brindxml.read_string(written, node.name)
    except ValueError as error:
        tally.add("brindxml re-read error", error_kind(error), f"{path}: {error}")
        return
    try:
        reference = expat_tree(written.encode("utf-8"))
    except xml.parsers.expat.ExpatError as error:
        tally.add("ElementTree re-read error", error_kind(error), f"{path}: {error}")
        return
    own = compare_nodes(node, reread)
    if own is not None:
        tally.add("brindxml reads back otherwise", own[0], f"{path}: {own[1]}")
        return
    difference = compare(node, reference)
    if difference is not None:
        category, detail = difference
        if category.startswith("text: line ends"):
            category = "text: CR written raw, read back as LF (issue 18 item 3)"
        tally.add("ElementTree reads back otherwise", category, f"{path}: {detail}")
        return
    tally.add("same")


def compare_nodes(a: brindxml.Node, b: brindxml.Node) -> tuple[str, str] | None:
    stack = [(a, b, "/" + a.name)]
    while stack:
        x, y, path = stack.pop()
        if (x.name, x.attrs, x.text) != (y.name, y.attrs, y.text):
            return "node", f"{path}: {x.name!r} {x.attrs} {shorten(x.text)} / {y.name!r} {y.attrs} {shorten(y.text)}"
        xc, yc = x.children, y.children
        if len(xc) != len(yc):
            return "children", f"{path}: {len(xc)} / {len(yc)} children"
        stack.extend((p, q, f"{path}/{p.name}") for p, q in zip(reversed(xc), reversed(yc), strict=True))
    return None


# --- finding files ------------------------------------------------------------------------------


# Names that XML formats use; any other file counts only if it starts with an XML declaration.
XML_SUFFIXES = (".xml", ".xsl", ".xslt", ".xsd", ".svg", ".rss", ".atom", ".kml", ".gpx", ".xhtml", ".plist",
                ".ui", ".glade", ".xbel", ".xlf", ".xliff", ".rdf", ".wsdl", ".xul", ".policy", ".metainfo", ".nuspec",
                ".pom", ".docbook", ".fo", ".mathml", ".mml", ".tmx", ".resx", ".csproj", ".vcxproj", ".jnlp")


def looks_like_xml(path: str) -> bool:
    """An XML name, or an XML declaration at the start (after a byte order mark)."""
    try:
        with open(path, "rb") as file:
            head = file.read(512)
    except OSError:
        return False
    for bom, encoding in ((codecs.BOM_UTF8, "utf-8"), (codecs.BOM_UTF16_LE, "utf-16-le"),
                          (codecs.BOM_UTF16_BE, "utf-16-be")):
        if head.startswith(bom):
            head = head[len(bom):].decode(encoding, "ignore").encode("utf-8")
            break
    if head.startswith(b"<?xml"):
        return True
    return path.lower().endswith(XML_SUFFIXES) and head.lstrip()[:1] == b"<"


def xml_files(dirs: list[str]) -> list[str]:
    seen: set[str] = set()
    found = []
    for top in dirs:
        for folder, _dirs, files in os.walk(top, followlinks=True):
            for name in sorted(files):
                path = os.path.join(folder, name)
                real = os.path.realpath(path)
                if real in seen or not os.path.isfile(real) or os.path.getsize(real) > MAX_BYTES:
                    continue
                seen.add(real)
                if name.endswith((".gz", ".png", ".svgz", ".compiled", ".dtd", ".ent", ".mod")):
                    continue
                if looks_like_xml(real):
                    found.append(real)
    return found


# --- the non-UTF-8 corpus -----------------------------------------------------------------------

# Per encoding: the characters text, attribute values and some names are made of, and the
# spellings of its name in declarations.
LATIN_1 = "abcdefghijklmnopqrstuvwxyz ABCXYZ 0123456789 àáâãäåæçèéêëìíîïñòóôõöøùúûüýÿ ß ÀÉÎÕÜ ¡¿«»°±²³µ¶·¼½¾×÷ ©®¤£¥§"
CP1252_EXTRA = "€‚ƒ„…†‡ˆ‰Š‹ŒŽ‘’“”•–—˜™š›œžŸ"
JAPANESE = "日本語の文書です。東京都港区、カタカナ、ひらがな、漢字。ＡＢＣ１２３「」・ー" + "abc 123"
WIDE = LATIN_1 + CP1252_EXTRA + JAPANESE + "Ελληνικά Кириллица עברית العربية 한국어 😀🎉𝄞"
ENCODINGS = [
    # (file stem, Python codec, declared names (None: no declaration), BOM, alphabet)
    ("iso-8859-1", "iso-8859-1", ["ISO-8859-1", "iso-8859-1", "latin1", "ISO_8859-1"], b"", LATIN_1),
    ("windows-1252", "cp1252", ["windows-1252", "Windows-1252", "cp1252"], b"", LATIN_1 + CP1252_EXTRA),
    ("utf-16-le", "utf-16-le", ["UTF-16", "utf-16", None], codecs.BOM_UTF16_LE, WIDE),
    ("utf-16-be", "utf-16-be", ["UTF-16", None], codecs.BOM_UTF16_BE, WIDE),
    ("shift_jis", "shift_jis", ["Shift_JIS", "shift_jis", "SJIS"], b"", JAPANESE),
    ("utf-8-bom", "utf-8", ["UTF-8", None], codecs.BOM_UTF8, WIDE),
]
# Characters outside ASCII that every document of the encoding holds, in an attribute and in text.
SAMPLES = {
    "iso-8859-1": "Ça déjà été ½ × ÿ",
    "windows-1252": "€ “quoted” – Œuvre š",
    "shift_jis": "日本語テキスト「ｶﾅ」",
    "utf-16-le": "Ωmega 日本 😀",
    "utf-16-be": "Ωmega 日本 😀",
    "utf-8-bom": "Ωmega 日本 😀",
}
NAME_LETTERS = {"iso-8859-1": "éü", "windows-1252": "éü", "shift_jis": "日本", "utf-16-le": "éΩ日",
                "utf-16-be": "éΩ日", "utf-8-bom": "éΩ日"}


def random_text(rng: random.Random, alphabet: str, length: int) -> str:
    text = "".join(rng.choice(alphabet) for _ in range(length))
    # A few escapes and references, which every reader decodes alike.
    if rng.random() < 0.3:
        text += rng.choice(["&amp;", "&lt;", "&gt;", "&quot;", "&apos;", "&#233;", "&#x41;"])
    return text


def random_element(rng: random.Random, alphabet: str, letters: str, depth: int) -> str:
    name = rng.choice(["item", "entry", "title", "p", "node", "x:name"]) + (rng.choice(letters) if rng.random() < 0.3
                                                                             else "")
    attrs = "".join(f' a{i}="{random_text(rng, alphabet, rng.randint(0, 12)).replace(chr(34), "")}"'
                    for i in range(rng.randint(0, 3)))
    parts = []
    for _ in range(rng.randint(0, 4) if depth < 4 else 0):
        roll = rng.random()
        if roll < 0.55:
            parts.append(random_element(rng, alphabet, letters, depth + 1))
        elif roll < 0.85:
            parts.append(random_text(rng, alphabet, rng.randint(1, 30)).replace("<", "").replace(">", ""))
        elif roll < 0.93:
            parts.append(f"<![CDATA[{random_text(rng, alphabet, 10).replace(']]>', '')} <raw> ]]>")
        else:
            parts.append(f"<!-- {random_text(rng, alphabet, 8).replace('--', '')} -->")
    body = "".join(parts)
    return f"<{name}{attrs}/>" if not body else f"<{name}{attrs}>{body}</{name}>"


def make_encoded_corpus(folder: Path, per_encoding: int, seed: int = 18) -> int:
    """Writes per_encoding documents in each encoding of ENCODINGS into folder."""
    rng = random.Random(seed)
    folder.mkdir(parents=True, exist_ok=True)
    made = 0
    for stem, codec, declared_names, bom, alphabet in ENCODINGS:
        for i in range(per_encoding):
            declared = declared_names[i % len(declared_names)]
            quote = '"' if i % 3 else "'"
            declaration = ""
            if declared is not None:
                declaration = f"<?xml version={quote}1.0{quote} encoding={quote}{declared}{quote}?>\n"
            # The root gets a name of its own, so the first element of its name is the root.
            sample = SAMPLES[stem]
            inner = random_element(rng, alphabet, NAME_LETTERS[stem], 0)
            root = f'<doc n="{i}" sample="{sample}">{sample}{inner}</doc>'
            document = declaration + "<!-- " + stem + " -->\n" + root + "\n"
            (folder / f"{stem}-{i:03d}.xml").write_bytes(bom + document.encode(codec))
            made += 1
    # Declared ISO-8859-1, and its bytes happen to be valid UTF-8 too ("Ã©" is C3 A9, UTF-8 for "é").
    for i in range(per_encoding // 4):
        document = f'<?xml version="1.0" encoding="ISO-8859-1"?>\n<doc n="{i}">cafÃ© {i} Ã¼ber</doc>\n'
        (folder / f"latin1-looks-utf8-{i:03d}.xml").write_bytes(document.encode("iso-8859-1"))
        made += 1
    return made


# --- main ---------------------------------------------------------------------------------------


def main() -> int:
    global EXAMPLES
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("dirs", nargs="*", help="folders to search for XML files (default: system folders)")
    parser.add_argument("--roundtrip", action="store_true",
                        help="also write each tree with write_string and read it back with expat and brindxml")
    parser.add_argument("--make-encoded-corpus", metavar="DIR",
                        help="make non-UTF-8 documents in DIR (a temporary folder if DIR is '-') and compare them")
    parser.add_argument("--per-encoding", type=int, default=60, help="documents per encoding (default 60)")
    parser.add_argument("--examples", type=int, default=3, help="examples shown per category (default 3)")
    args = parser.parse_args()
    EXAMPLES = args.examples

    dirs = args.dirs
    if args.make_encoded_corpus:
        folder = Path(tempfile.mkdtemp(prefix="brindxml-encoded-") if args.make_encoded_corpus == "-"
                      else args.make_encoded_corpus)
        made = make_encoded_corpus(folder, args.per_encoding)
        print(f"made {made} documents in {folder}")
        dirs = [str(folder), *dirs]
    elif not dirs:
        dirs = [d for d in DEFAULT_DIRS if os.path.isdir(d)]
    files = xml_files(dirs)
    print(f"brindxml against expat (Python {sys.version.split()[0]}, expat {xml.parsers.expat.EXPAT_VERSION}): "
          f"{len(files)} XML files under {', '.join(dirs)}")
    tally = Tally()
    roundtrip = Tally() if args.roundtrip else None
    by_kind: dict[str, Counter[str]] = defaultdict(Counter)
    for path in files:
        outcome = check_file(path, tally, roundtrip)
        if args.make_encoded_corpus and Path(path).parent == folder:
            by_kind[Path(path).stem.rsplit("-", 1)[0]][outcome] += 1
    tally.report("read")
    if by_kind:
        print("-- the encoded corpus, by kind of file")
        for kind, outcomes in by_kind.items():
            print(f"  {kind:<20} " + ", ".join(f"{outcome} {count}" for outcome, count in outcomes.most_common()))
    if roundtrip is not None:
        roundtrip.report("write_string, then read back")
    return 0


if __name__ == "__main__":
    sys.exit(main())
