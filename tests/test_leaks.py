"""Memory must not grow over 20,000 mixed calls, successful and failing: parse
errors, argument errors, from_dict errors, write errors, pickling. Python objects are
counted with tracemalloc; native memory (document buffers, record trees,
attribute maps) shows in the resident set size. Each call kind runs 20,000 /
len(CALLS) times, so a leak of a single object per call of any one kind
stands out far above the thresholds."""

import gc
import os
import sys
import tracemalloc

import pytest

import brindxml
from brindxml import Node, SearchType, read_file, read_string, write_file, write_string

SANITIZED = os.environ.get("BRINDXML_SANITIZED") == "1"
TOTAL_CALLS = 20_000

# Large enough that keeping one document, tree or output per call is megabytes.
BIG = "<r>" + "".join(f'<i n="{i}" v="x&amp;y">text {i} &lt;</i>' for i in range(300)) + "</r>"
TREE = read_string(BIG, "r")
# Reading its names fills the document's name table (several hundred names,
# so the table grows), which goes with the document.
NAMED = "<r>" + "".join(f'<e{i} k{i}="v"/>' for i in range(300)) + "</r>"
BUILT = Node("a", attrs={"k": "v", "q": "\"'"}, children=[Node("b", text="t" * 2000)] * 20, text=" x ")
DICT = BUILT.to_dict()


class Text(str):
    pass


def _expect(exc_type, call):
    def run():
        try:
            call()
        except exc_type:
            return
        raise AssertionError(f"expected {exc_type.__name__}")
    return run


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    root = tmp_path_factory.mktemp("leaks")
    good = root / "good.xml"
    good.write_text(BIG, encoding="utf-8")
    bad_utf8 = root / "bad.xml"
    bad_utf8.write_bytes(b"<r>" + b"\xff" * 5000 + b"</r>")
    malformed = root / "malformed.xml"
    malformed.write_text(BIG[:-2], encoding="utf-8")
    return {"root": root, "good": str(good), "bad": str(bad_utf8), "malformed": str(malformed),
            "out": str(root / "out.xml"), "missing_dir": str(root / "no" / "out.xml")}


def call_table(f):
    """(label, call) pairs; a failing call must raise exactly what it names."""
    full = "/dev/full" if os.path.exists("/dev/full") else None
    return [
        # Reading.
        ("read_string", lambda: read_string(BIG, "r")),
        ("read_string of a str subclass", lambda: read_string(Text(BIG), "i")),
        ("read_string, root not found", _expect(ValueError, lambda: read_string(BIG, "zz"))),
        ("read_string, mismatched tag", _expect(ValueError, lambda: read_string(BIG[:-4] + "x>", "r"))),
        ("read_string, unknown entity", _expect(ValueError, lambda: read_string(BIG.replace("&lt;", "&no;"), "r"))),
        ("read_string, unclosed tag", _expect(ValueError, lambda: read_string(BIG + "<b", "r"))),
        ("read_string, bytes", _expect(TypeError, lambda: read_string(BIG.encode(), "r"))),
        ("read_string, lone surrogate", _expect(UnicodeEncodeError, lambda: read_string("<a>\ud800</a>", "a"))),
        ("read_string, missing argument", _expect(TypeError, lambda: read_string(BIG))),
        ("read_string, names read", lambda: [(c.name, c.attrs) for c in read_string(NAMED, "r").children]),
        ("read_file", lambda: read_file(f["good"], "r")),
        ("read_file, missing", _expect(FileNotFoundError, lambda: read_file(f["good"] + ".no", "r"))),
        ("read_file, not UTF-8", _expect(OSError, lambda: read_file(f["bad"], "r"))),
        ("read_file, malformed", _expect(ValueError, lambda: read_file(f["malformed"], "r"))),
        ("read_file, NUL in path", _expect(OSError, lambda: read_file("a\0b", "r"))),
        # Writing.
        ("write_string", lambda: write_string(TREE)),
        ("write_string of a built tree", lambda: write_string(BUILT, 0, False)),
        ("write_string, negative indent", _expect(OverflowError, lambda: write_string(TREE, -1))),
        ("write_string, indent too large", _expect(MemoryError, lambda: write_string(BUILT, 2**63))),
        ("write_string, not a node", _expect(TypeError, lambda: write_string("node"))),
        ("write_file", lambda: write_file(TREE, f["out"])),
        ("write_file, missing directory", _expect(FileNotFoundError, lambda: write_file(TREE, f["missing_dir"]))),
        ("write_file, a directory", _expect(PermissionError if sys.platform == "win32" else IsADirectoryError,
                                             lambda: write_file(TREE, str(f["root"])))),
        ("write_file, disk full", _expect(OSError, lambda: write_file(TREE, full)) if full else lambda: None),
        # Nodes, search, dicts, text forms.
        ("Node", lambda: Node("n", attrs={"a": "1"}, children=[BUILT], text="t")),
        ("Node, bad attrs", _expect(TypeError, lambda: Node("n", attrs={"a": 1}))),
        ("Node, bad child", _expect(TypeError, lambda: Node("n", children=[BUILT, "x"]))),
        ("search", lambda: TREE.search(SearchType.Attr, "n")),
        ("search_by_text", lambda: TREE.search_by_text("text 7 <", 1)),
        ("search, bad criterion", _expect(TypeError, lambda: TREE.search(0, "x"))),
        ("search, bad depth", _expect(TypeError, lambda: TREE.search_by_name("i", "1"))),
        ("to_dict", lambda: TREE.to_dict()),
        ("from_dict", lambda: Node.from_dict(DICT)),
        ("from_dict, missing name", _expect(ValueError, lambda: Node.from_dict({"attrs": {}, "children": []}))),
        ("from_dict, bad child", _expect(ValueError, lambda: Node.from_dict({**DICT, "children": [DICT, {}]}))),
        ("from_dict, bad value", _expect(TypeError, lambda: Node.from_dict({**DICT, "text": 5}))),
        # The pickled form, dumped and loaded without the pickle module and its own caches.
        ("pickle", lambda: [brindxml._node_from_table(*node.__reduce__()[1]) for node in (TREE, BUILT)]),
        ("pickle, bad table", _expect(ValueError, lambda: brindxml._node_from_table(("a",), b"\0\0\0\0\0\0\x01\x09"))),
        ("str", lambda: str(TREE)),
        ("repr", lambda: repr(BUILT)),
    ]


def run_calls(calls, count):
    for i in range(count):
        calls[i % len(calls)][1]()


def resident_bytes():
    """The resident set size, or 0 where /proc is missing (macOS, Windows):
    there only the Python objects are counted."""
    if not os.path.exists("/proc/self/statm"):
        return 0
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure(calls):
    """Growth over TOTAL_CALLS calls after a warm-up: (tracemalloc statistics
    that grew, resident bytes gained). The resident size is taken on a run of
    its own, without tracemalloc's bookkeeping."""
    # Warm-up: caches, interned names, the first exception of each kind.
    run_calls(calls, 3 * len(calls))
    gc.collect()
    rss_before = resident_bytes()
    run_calls(calls, TOTAL_CALLS)
    gc.collect()
    rss_growth = resident_bytes() - rss_before

    tracemalloc.start(1)
    try:
        run_calls(calls, len(calls))
        gc.collect()
        before = tracemalloc.take_snapshot()
        run_calls(calls, TOTAL_CALLS)
        gc.collect()
        after = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    filters = [tracemalloc.Filter(False, tracemalloc.__file__)]
    growth = [s for s in after.filter_traces(filters).compare_to(before.filter_traces(filters), "lineno")
              if s.size_diff > 0 or s.count_diff > 0]
    return growth, rss_growth


def test_mixed_calls_do_not_grow_memory(files):
    calls = call_table(files)
    assert len(calls) <= 40  # so that each kind runs at least 500 times
    growth, rss_growth = measure(calls)
    blocks = sum(s.count_diff for s in growth)
    size = sum(s.size_diff for s in growth)
    report = "\n".join(str(s) for s in growth[:10])
    # One leaked object per call of one kind would be 500 blocks or more.
    assert blocks < 100, report
    assert size < 64 * 1024, report
    if not SANITIZED:
        # ASan keeps freed memory in quarantine, so the resident size grows
        # there by design; its leak checker covers native memory instead.
        # One leaked document, tree or output per call of one kind would be
        # several megabytes.
        assert rss_growth < 4 * 1024 * 1024, f"resident set grew by {rss_growth} bytes"
