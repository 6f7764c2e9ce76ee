"""Fast, thread-safe XML reading, searching, dict conversion and writing.

read_string and read_file return the first element named root_tag as a tree of immutable Node
objects; Node searches its subtree and converts to and from plain dicts; write_string and
write_file write a tree back as indented UTF-8 XML.
"""

from typing import Any, Callable, ClassVar, Final, Sequence, SupportsIndex, TypedDict, final, type_check_only

__all__ = ["SearchType", "Node", "read_file", "read_string", "write_file", "write_string"]

__version__: Final[str]

@type_check_only
class NodeDict(TypedDict):
    """The dictionary form of a node, as Node.to_dict returns it and Node.from_dict takes it.

    Exists for type checkers only: import it under `if TYPE_CHECKING:`.
    """

    name: str
    attrs: dict[str, str]
    children: list[NodeDict]
    text: str | None

@final
class SearchType:
    """The criterion of Node.search. Members compare equal to their int values (Tag 0, Attr 1, Text 2)
    and are not hashable; the class cannot be instantiated."""

    Tag: Final[SearchType]
    """Matches a node whose name equals the value (search_by_name)."""
    Attr: Final[SearchType]
    """Matches a node that has an attribute with the value as its key, whatever its value (search_by_attr)."""
    Text: Final[SearchType]
    """Matches a node whose text is present and equals the value (search_by_text)."""
    def __int__(self) -> int:
        """The member's value: 0 for Tag, 1 for Attr, 2 for Text."""
    def __eq__(self, value: object, /) -> bool:
        """Compares member values; another object is compared as an int (SearchType.Attr == 1 is True)."""
    def __ne__(self, value: object, /) -> bool:
        """The opposite of ==."""
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Node:
    """One XML element: a name, optional text, children and attributes. Immutable; compares by identity.

    Node(name, attrs=None, children=None, text=None) builds one; read_string and read_file return
    parsed trees. Nodes are shared, never copied: one node can be a child in several trees. Cannot
    be subclassed.
    """

    def __new__(
        cls,
        name: str,
        attrs: dict[str, str] | None = None,
        children: Sequence[Node] | None = None,
        text: str | None = None,
    ) -> Node:
        """A new node. attrs is a dict of str to str (None: no attributes); children a sequence of Node
        objects (not a str; None: no children), kept as references in their order; text None means no
        text and "" present, empty text. Names are not checked here (the writer checks them).

        Raises TypeError, with a note naming the argument, for a value of the wrong type.
        """
    @property
    def name(self) -> str:
        """The element's tag name, with its namespace prefix if it has one ("ns:item")."""
    @property
    def text(self) -> str | None:
        """None when the element has no text; "" is present, empty text.

        For a parsed element: all the character data directly inside it (CDATA included, entities
        decoded), joined in document order, also across its children, comments and processing
        instructions, then stripped of leading and trailing space, tab, CR and LF.
        """
    @property
    def attrs(self) -> dict[str, str]:
        """A new dict on each access; its order is neither document order nor stable across runs
        (see PYTHONHASHSEED). Changing the dict does not change the node."""
    @property
    def children(self) -> list[Node]:
        """Children are shared references to the same nodes, not copies.

        A new list on each access, in document order for a parsed tree; changing the list does not
        change the node.
        """
    def __repr__(self) -> str:
        """Node(name): the name only."""
    def __str__(self) -> str:
        """A readable outline of the subtree (name, attributes, text, children indented by two
        spaces per level); not XML, nothing escaped."""
    # The outline method `__to_string(spacing=None)` cannot be declared here: a class-private
    # name would be mangled. str(node) gives the same outline.
    def search_by_name(self, name: str, depth: SupportsIndex | None = None) -> list[Node]:
        """The nodes of this subtree named exactly `name` (prefix included, no case folding), in
        document order, starting with this node itself.

        depth None searches the whole subtree, 0 only this node, n the nodes up to n levels below
        it. The results are the tree's own nodes. Raises OverflowError for a depth outside 32 bits.
        """
    def search_by_attr(self, key: str, depth: SupportsIndex | None = None) -> list[Node]:
        """The nodes of this subtree that have an attribute named `key`, whatever its value, in
        document order, starting with this node itself.

        depth None searches the whole subtree, 0 only this node, n the nodes up to n levels below
        it. The results are the tree's own nodes. Raises OverflowError for a depth outside 32 bits.
        """
    def search_by_text(self, text: str, depth: SupportsIndex | None = None) -> list[Node]:
        """The nodes of this subtree whose text equals `text` exactly (a node without text never
        matches, not even ""), in document order, starting with this node itself.

        depth None searches the whole subtree, 0 only this node, n the nodes up to n levels below
        it. The results are the tree's own nodes. Raises OverflowError for a depth outside 32 bits.
        """
    def search(self, by: SearchType, value: str, depth: SupportsIndex | None = None) -> list[Node]:
        """search_by_name, search_by_attr or search_by_text, as `by` (SearchType.Tag, Attr or Text)
        says, with `value` as the name, key or text. Raises TypeError if `by` is not a SearchType."""
    @classmethod
    def from_dict(cls, dict_: NodeDict | dict[str, Any]) -> Node:
        """Builds a new tree from the dictionary form; "text" may be missing, "children" may be any
        sequence of such dicts (a dict, not another mapping, at every level).

        Raises ValueError "Invalid name", "Invalid attrs" or "Invalid children" for a missing key or
        a value of the wrong shape, and TypeError for a value no node field can hold (an int, a
        dict with non-str values).
        """
    def to_dict(self) -> NodeDict:
        """The subtree as plain dicts: {"name": str, "attrs": {str: str}, "children": [dict, ...],
        "text": str or None}.

        A deep copy holding no Node; the order of the dicts' keys is not fixed. Node.from_dict
        builds the tree back.
        """
    def __copy__(self) -> Node:
        """The node itself: a node never changes."""
    def __deepcopy__(self, memo: object, /) -> Node:
        """The node itself: a node never changes."""
    def __reduce__(self) -> tuple[Callable[[tuple[str, ...], bytes], Node], tuple[tuple[str, ...], bytes]]:
        """The flat pickled form: the distinct strings of the tree and a table of its distinct nodes.
        A node that occurs several times in the tree loads as one object; nodes pickled as separate
        objects (two items of a list) share nothing after loading, unless they are the same object."""

class PanicException(BaseException):
    """Raised when an internal invariant of brindxml fails; this is a bug in brindxml.
    Not part of __all__: reachable so that it pickles."""

def _node_from_table(strings: tuple[str, ...], table: bytes) -> Node:
    """Rebuilds a node from the form Node.__reduce__ gives; not part of the public API."""

def read_file(file_path: str, root_tag: str) -> Node:
    """Reads the file and returns its first element named `root_tag`, at any depth, as a tree.

    The file is UTF-8, unless a UTF-16 or UTF-32 byte order mark or the XML declaration names
    another encoding: it is then decoded with Python's codecs (LookupError for an unknown name,
    the codec's UnicodeDecodeError for bytes it cannot decode) and read as read_string reads a str;
    error offsets then count bytes of the UTF-8 form. What is checked is as for read_string.
    Raises ValueError for malformed XML; OSError (FileNotFoundError, PermissionError, ...), with
    errno, strerror and filename, when the file cannot be read or a UTF-8 file holds bytes that
    are not UTF-8 (errno EILSEQ, "stream did not contain valid UTF-8"; byte_offset then says
    where the first invalid sequence starts).
    """

def read_string(xml_string: str, root_tag: str) -> Node:
    """Reads the document and returns its first element named `root_tag`, at any depth, as a tree.

    The whole text is scanned for a start or end tag that is never closed; then it is read up to
    the end tag of that element (outside the element, only the nesting of tags is checked), and
    nothing after it is read.
    Comments, processing instructions and the DOCTYPE are dropped; names keep their prefixes.
    Raises ValueError, naming the byte offset of the fault (in the UTF-8 form), for malformed XML,
    an unknown entity, or a document without such an element.
    """

def write_file(
    node: Node, file_path: str, indent: SupportsIndex | None = None, default_xml_def: bool | None = None
) -> None:
    """Writes the tree to the file as write_string does, UTF-8 without a byte order mark, replacing
    the file's content.

    indent defaults to 4 spaces per level; default_xml_def (the XML declaration) to True.
    A numpy bool is accepted for default_xml_def as well; an int is not.
    Raises ValueError, before the file is created, for a name the writer cannot write, and OSError
    (FileNotFoundError, PermissionError, ...) when the file cannot be written.
    """

def write_string(node: Node, indent: SupportsIndex | None = None, default_xml_def: bool | None = None) -> str:
    """The tree as indented XML text: text right after its start tag, each child on a line of its
    own, elements without text or children self-closed, text and attribute values escaped.

    indent defaults to 4 spaces per level; default_xml_def (the XML declaration) to True.
    Raises ValueError for an element name or attribute key that cannot be written (empty, or
    holding white space, a control character or one of < > / = " ' &).
    """
