"""The brindxml demo: build a tree by hand and look at it through its properties."""

import brindxml
from brindxml import Node


def main() -> None:
    title = Node("title", text="Fahrenheit 451")
    author = Node("author", text="Ray Bradbury")
    book = Node("book", attrs={"id": "b1", "lang": "en"}, children=[title, author])
    shelf = Node("shelf", attrs={"id": "fiction"}, children=[book])

    print(f"brindxml exports: {', '.join(brindxml.__all__)}")
    print(f"built {shelf!r} with {len(shelf.children)} child")
    for node in [shelf, book, title, author]:
        print(f"  {node.name:<8} attrs={node.attrs} text={node.text!r} children={node.children}")
    print("children are shared, not copied:", shelf.children[0] is book)


if __name__ == "__main__":
    main()
