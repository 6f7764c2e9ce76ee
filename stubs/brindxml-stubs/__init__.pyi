"""Fast, thread-safe XML reading, searching, dict conversion and writing."""

from typing import Final, Mapping, Sequence, SupportsIndex, TypedDict, final

__all__ = ["SearchType", "Node", "read_file", "read_string", "write_file", "write_string"]

class NodeDict(TypedDict):
    """The dictionary form of a node, as returned by Node.to_dict."""

    name: str
    attrs: dict[str, str]
    children: list[NodeDict]
    text: str | None

@final
class SearchType:
    """The criterion of Node.search."""

    Tag: Final[SearchType]
    Attr: Final[SearchType]
    Text: Final[SearchType]
    def __int__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    __hash__: None  # type: ignore[assignment]

@final
class Node:
    """One XML element: a name, optional text, children and attributes. Immutable."""

    def __new__(
        cls,
        name: str,
        attrs: Mapping[str, str] | None = None,
        children: Sequence[Node] | None = None,
        text: str | None = None,
    ) -> Node: ...
    @property
    def name(self) -> str: ...
    @property
    def text(self) -> str | None: ...
    @property
    def attrs(self) -> dict[str, str]: ...
    @property
    def children(self) -> list[Node]:
        """Children are shared references to the same nodes, not copies."""
    def search_by_name(self, name: str, depth: int | None = None) -> list[Node]: ...
    def search_by_attr(self, key: str, depth: int | None = None) -> list[Node]: ...
    def search_by_text(self, text: str, depth: int | None = None) -> list[Node]: ...
    def search(self, by: SearchType, value: str, depth: int | None = None) -> list[Node]: ...
    @classmethod
    def from_dict(cls, dict_: Mapping[str, object]) -> Node: ...
    def to_dict(self) -> NodeDict: ...

def read_file(file_path: str, root_tag: str) -> Node: ...
def read_string(xml_string: str, root_tag: str) -> Node: ...
def write_file(
    node: Node, file_path: str, indent: SupportsIndex | None = None, default_xml_def: bool | None = None
) -> None: ...
def write_string(node: Node, indent: SupportsIndex | None = None, default_xml_def: bool | None = None) -> str: ...
