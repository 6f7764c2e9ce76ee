"""Eight threads at once on the same trees and on trees of their own: reading,
writing (to strings and files), searching, converting to and from dicts and
formatting, in loops. Every result must equal the one computed on a single
thread beforehand, and strings that were released while their thread had no
thread state (the deferred release queue) must all be freed in the end."""

import threading
import time
import weakref

from brindxml import Node, read_file, read_string, write_file, write_string

THREADS = 8
ROUNDS = 40


class Document(str):
    """A str that can be watched with a weak reference."""


def make_document(tag, records):
    rows = "".join(
        f'\n  <book id="{tag}{i}" lang="en" note="a&amp;b\tc">'
        f"<title>Title {i} &lt;{tag}&gt;</title>"
        f'<price cur="EUR">{i}.99</price>'
        f"<blurb><![CDATA[<raw> {i}]]> tail</blurb><empty/></book>"
        for i in range(records)
    )
    return f'<?xml version="1.0"?>\n<catalog owner="{tag}">{rows}\n</catalog>\n'


SHARED_DOCUMENT = make_document("s", 150)
SHARED_PARSED = read_string(SHARED_DOCUMENT, "catalog")
SHARED_BUILT = Node(
    "library",
    attrs={"k": "v", "quote": "\"'<&>", "tab": "\t"},
    children=[Node("shelf", attrs={"n": str(i)}, text=f" shelf {i} ", children=[Node("slot")]) for i in range(100)],
    text="built",
)
BAD_DOCUMENTS = [
    ("<a><b></a>", "a"),
    ("<a>&bogus;</a>", "a"),
    ("<a x='1' x='2'/>", "a"),
    ("<a>x</a", "a"),
    ("<r/>", "missing"),
]


def error_of(call):
    try:
        call()
    except Exception as exc:  # the error is the result
        return type(exc), str(exc)
    return None


def results_for(tree, path):
    """Everything the threads compute from one shared tree."""
    write_file(tree, path, 2)
    with open(path, "rb") as f:
        written = f.read()
    as_dict = tree.to_dict()
    return {
        "write": write_string(tree),
        "write_2_no_decl": write_string(tree, 2, False),
        "file": written,
        "reread": read_file(path, tree.name).to_dict(),
        "dict": as_dict,
        "from_dict": Node.from_dict(as_dict).to_dict(),
        "str": str(tree),
        "repr": repr(tree),
        "by_name": [id(n) for n in tree.search_by_name("title")],
        "by_attr": [id(n) for n in tree.search_by_attr("cur")],
        "by_text": [id(n) for n in tree.search_by_text("Title 7 <s>")],
        "shallow": [id(n) for n in tree.search_by_name("slot", 1)],
    }


def own_results(tag, path):
    """What a thread computes from a document of its own."""
    document = make_document(tag, 40)
    tree = read_string(document, "catalog")
    write_file(tree, path)
    return {
        "dict": tree.to_dict(),
        "reread_string": read_string(write_string(tree), "catalog").to_dict(),
        "reread_file": read_file(path, "catalog").to_dict(),
        "from_dict": Node.from_dict(tree.to_dict()).to_dict(),
        "book": tree.search_by_attr("id")[3].attrs,
        "titles": [n.text for n in tree.search_by_name("title")],
        "errors": [error_of(lambda d=d, r=r: read_string(d, r)) for d, r in BAD_DOCUMENTS],
    }


def test_threads_share_trees_and_agree_with_one_thread(tmp_path):
    shared = {"parsed": SHARED_PARSED, "built": SHARED_BUILT}
    expected = {name: results_for(tree, str(tmp_path / f"single-{name}.xml")) for name, tree in shared.items()}
    expected_own = [own_results(f"t{t}", str(tmp_path / f"single-own-{t}.xml")) for t in range(THREADS)]
    expected_parse = read_string(SHARED_DOCUMENT, "catalog").to_dict()

    barrier = threading.Barrier(THREADS)
    failures = []
    completed = [0] * THREADS
    released = [[] for _ in range(THREADS)]

    def work(t):
        try:
            barrier.wait()
            for round_ in range(ROUNDS):
                for name, tree in shared.items():
                    path = str(tmp_path / f"thread-{t}-{name}.xml")
                    got = results_for(tree, path)
                    for key, value in expected[name].items():
                        if got[key] != value:
                            failures.append((t, round_, name, key))
                if read_string(SHARED_DOCUMENT, "catalog").to_dict() != expected_parse:
                    failures.append((t, round_, "parse of the shared document"))
                if own_results(f"t{t}", str(tmp_path / f"thread-own-{t}.xml")) != expected_own[t]:
                    failures.append((t, round_, "own document"))
                # A document whose parse fails is released by the reader while
                # the thread is detached: it goes to the deferred release queue.
                doomed = Document(f"<a>{t}-{round_}</a")
                released[t].append(weakref.ref(doomed))
                message = f"malformed XML: Unclosed tag at byte {len(doomed) - 3}"
                if error_of(lambda doc=doomed: read_string(doc, "a")) != (ValueError, message):
                    failures.append((t, round_, "failing parse"))
                del doomed
                completed[t] += 1
        except Exception as exc:  # reported by the main thread
            failures.append((t, "raised", repr(exc)))

    threads = [threading.Thread(target=work, args=(t,)) for t in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads)
    assert failures == []
    assert completed == [ROUNDS] * THREADS

    # The next call into the module empties the queue.
    read_string("<a/>", "a")
    assert [ref() for refs in released for ref in refs] == [None] * (THREADS * ROUNDS)


class Yielding(list):
    """A list whose iteration lets other threads run between its items."""

    def __iter__(self):
        for item in list.__iter__(self):
            time.sleep(0)
            yield item


CHANGED = {"dictionary changed size during iteration", "dictionary keys changed during iteration"}


def test_converting_dicts_and_lists_while_other_threads_change_them():
    # Half the threads change shared dicts and lists while the others convert
    # them: every conversion either gives a consistent snapshot (each value
    # belongs to its key, each child is a leaf) or fails with the error of a
    # dict that changed during iteration. Runs for a fixed time.
    attrs = {f"k{i}": f"v{i}" for i in range(8)}
    leaves = Yielding(Node("c") for _ in range(4))
    form = {
        "name": "p",
        "attrs": attrs,
        "children": Yielding({"name": "c", "attrs": attrs, "children": []} for _ in range(3)),
    }
    conversions = [
        lambda: Node("p", attrs=attrs, children=leaves),
        lambda: Node.from_dict(form),
        lambda: Node("p", **{"attrs": attrs, "children": leaves}),
    ]
    deadline = time.monotonic() + 2
    failures, outcomes = [], {"converted": 0, "changed": 0}

    def check(node):
        for n in [node, *node.children]:
            assert all(value == "v" + key[1:] for key, value in n.attrs.items()), n.attrs
        assert all(child.name == "c" for child in node.children)

    def convert():
        i = 0
        while time.monotonic() < deadline:
            i += 1
            try:
                check(conversions[i % len(conversions)]())
                outcomes["converted"] += 1
            except BaseException as exc:  # noqa: BLE001 - PanicException is a BaseException
                if type(exc).__name__ == "PanicException" and str(exc) in CHANGED:
                    outcomes["changed"] += 1
                else:
                    failures.append(repr(exc))
                    return

    def mutate(t):
        i = 0
        while time.monotonic() < deadline:
            i += 1
            key = f"k{(i + t) % 12}"
            if i % 3 == 0:
                attrs.pop(key, None)
            else:
                attrs[key] = "v" + key[1:]  # a new str object each time
            if i % 5 == 0:
                form["extra"] = "x"
            elif i % 5 == 1:
                form.pop("extra", None)
            if i % 2:
                leaves.append(Node("c"))
            elif len(leaves) > 1:
                leaves.pop()
            time.sleep(0)

    threads = [threading.Thread(target=convert) for _ in range(3)]
    threads += [threading.Thread(target=mutate, args=(t,)) for t in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert not any(thread.is_alive() for thread in threads)
    assert failures == []
    assert outcomes["converted"] > 0, outcomes
