"""Fast, thread-safe XML reading, searching, dict conversion and writing."""

from typing import Any, Callable, ClassVar, Final, Sequence, SupportsIndex, TypedDict, final, type_check_only

__all__ = ["SearchType", "Node", "read_file", "read_string", "write_file", "write_string"]

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
    Attr: Final[SearchType]
    Text: Final[SearchType]
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Node:
    """One XML element: a name, optional text, children and attributes. Immutable; compares by identity."""

    def __new__(
        cls,
        name: str,
        attrs: dict[str, str] | None = None,
        children: Sequence[Node] | None = None,
        text: str | None = None,
    ) -> Node: ...
    @property
    def name(self) -> str: ...
    @property
    def text(self) -> str | None:
        """None when the element has no text; "" is present, empty text."""
    @property
    def attrs(self) -> dict[str, str]:
        """A new dict on each access; its order is neither document order nor stable across runs."""
    @property
    def children(self) -> list[Node]:
        """Children are shared references to the same nodes, not copies."""
    # The outline method `__to_string(spacing=None)` cannot be declared here: a class-private
    # name would be mangled. str(node) gives the same outline.
    def search_by_name(self, name: str, depth: SupportsIndex | None = None) -> list[Node]: ...
    def search_by_attr(self, key: str, depth: SupportsIndex | None = None) -> list[Node]: ...
    def search_by_text(self, text: str, depth: SupportsIndex | None = None) -> list[Node]: ...
    def search(self, by: SearchType, value: str, depth: SupportsIndex | None = None) -> list[Node]: ...
    @classmethod
    def from_dict(cls, dict_: NodeDict | dict[str, Any]) -> Node:
        """Builds a new tree from the dictionary form; "text" may be missing, "children" may be any
        sequence of such dicts (a dict, not another mapping, at every level)."""
    def to_dict(self) -> NodeDict: ...
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

def read_file(file_path: str, root_tag: str) -> Node: ...
def read_string(xml_string: str, root_tag: str) -> Node: ...
def write_file(
    node: Node, file_path: str, indent: SupportsIndex | None = None, default_xml_def: bool | None = None
) -> None:
    """indent defaults to 4 spaces per level; default_xml_def (the XML declaration) to True.
    A numpy bool is accepted for default_xml_def as well; an int is not."""

def write_string(node: Node, indent: SupportsIndex | None = None, default_xml_def: bool | None = None) -> str:
    """indent defaults to 4 spaces per level; default_xml_def (the XML declaration) to True."""
