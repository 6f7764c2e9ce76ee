"""The edges of the process: memory limits, interpreter exit with daemon
threads inside the module, fork while other threads are detached,
subinterpreters, re-entrant teardown, and errors that must keep their kind
(MemoryError) or survive pickling (PanicException). Whatever could take the
process down runs in a child process, with a deadline."""

import os
import pickle
import subprocess
import sys
import textwrap
from concurrent.futures import ProcessPoolExecutor
from multiprocessing import get_context
from pathlib import Path

import pytest

import brindxml
from brindxml import Node, read_string

EDGES = Path(__file__).parent / "edges"
LINUX = sys.platform.startswith("linux")
SANITIZED = os.environ.get("BRINDXML_SANITIZED") == "1"


def run_child(args, timeout):
    """Runs a Python child process; returns (exit status, stdout, stderr)."""
    done = subprocess.run(
        [sys.executable, *args], capture_output=True, text=True, timeout=timeout, check=False
    )
    return done.returncode, done.stdout, done.stderr


# Megabytes of document and the limits (MiB above the process's size at each
# step): the default run is short; BRINDXML_MEMORY_SWEEP=1 runs the long one.
if os.environ.get("BRINDXML_MEMORY_SWEEP"):
    SWEEP = (50, [2**k for k in range(1, 4)] + list(range(8, 1025, 8)))
else:
    SWEEP = (3, [2, 4, 8, 12, 16, 24, 32, 48, 64, 128, 256, 512, 1024])


@pytest.mark.skipif(not LINUX, reason="the address-space limit and /proc are Linux's")
@pytest.mark.skipif(SANITIZED, reason="the sanitizers' shadow memory does not fit an address-space limit")
@pytest.mark.parametrize(
    "operation", ["read_string", "read_file", "write_string", "to_dict", "from_dict", "search", "pickle"]
)
def test_every_memory_limit_gives_memory_error_or_success(operation):
    megabytes, limits = SWEEP
    status, out, err = run_child(
        [str(EDGES / "memory_sweep.py"), str(megabytes), operation, *map(str, limits)], timeout=1200
    )
    assert status == 0, err[-2000:]
    assert "terminate called" not in err
    name, *outcomes = out.split()
    assert name == operation and len(outcomes) == len(limits)
    assert set(outcomes) <= {"ok", "MemoryError"}
    # The largest limit leaves room for everything.
    assert outcomes[-1] == "ok"


DENSE_START = """
import resource
from brindxml import read_string
xml = "<r>" + "<a/>" * 5000 + "<t>" + "x" * 40_000_000 + "</t></r>"
with open("/proc/self/statm") as statm:
    size = int(statm.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (size + (256 << 20), resource.RLIM_INFINITY))
root = read_string(xml, "r")
print(len(root.children), len(root.children[-1].text))
"""


@pytest.mark.skipif(not LINUX, reason="the address-space limit and /proc are Linux's")
@pytest.mark.skipif(SANITIZED, reason="the sanitizers' shadow memory does not fit an address-space limit")
def test_a_dense_start_does_not_make_a_small_tree_fail_under_a_memory_limit():
    # 5,000 elements in the first 20 KB project to some 10 million for the
    # 40 MB after them: more address space than the limit leaves, though the
    # tree itself needs little.
    status, out, err = run_child(["-c", DENSE_START], timeout=300)
    assert status == 0, err[-2000:]
    assert out.split() == ["5001", "40000000"]


@pytest.mark.parametrize("run", range(6))
def test_daemon_threads_inside_the_module_do_not_stop_the_exit(run, tmp_path):
    # Threads reading, writing and dropping trees (detached for most of it)
    # while the main thread exits: whether a thread is re-attaching, waiting
    # to, or detached at that moment varies from run to run.
    status, out, err = run_child([str(EDGES / "exit_daemons.py"), str(0.2 + 0.1 * run), str(tmp_path)], timeout=300)
    assert (status, out.strip()) == (0, "main thread exits"), err[-2000:]
    assert "terminate" not in err


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork on this platform")
@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator lock is copied held into a child of fork")
def test_fork_while_other_threads_are_detached_leaves_the_child_working():
    status, out, err = run_child([str(EDGES / "fork_detached.py"), "100"], timeout=1200)
    assert status == 0, out + err[-2000:]


@pytest.mark.parametrize("config", ["legacy", "isolated"])
def test_subinterpreters_cannot_import_the_module(config):
    pytest.importorskip("_interpreters")
    script = textwrap.dedent(
        f"""
        import _interpreters
        interp = _interpreters.create({config!r})
        try:
            failure = _interpreters.run_string(interp, "import brindxml")
        finally:
            _interpreters.destroy(interp)
        print(failure.type.__name__ if failure else "imported")
        print(failure.msg if failure else "")
        import brindxml
        print(brindxml.read_string("<r/>", "r").name)
        """
    )
    status, out, err = run_child(["-c", script], timeout=300)
    assert status == 0, err[-2000:]
    kind, message, name = out.splitlines()
    assert kind == "ImportError" and name == "r"
    if config == "legacy":
        assert message == "brindxml can only be imported in the main interpreter, not in a subinterpreter"


def test_panic_exception_is_a_module_attribute_outside_all_and_pickles():
    panic = brindxml.PanicException
    assert "PanicException" not in brindxml.__all__
    assert (panic.__module__, panic.__qualname__) == ("brindxml", "PanicException")
    copy = pickle.loads(pickle.dumps(panic("invariant broken", 7)))
    assert type(copy) is panic and copy.args == ("invariant broken", 7)


def raise_panic(message):
    raise brindxml.PanicException(message)


def test_a_process_pool_reports_a_panic_of_its_worker():
    with ProcessPoolExecutor(1, mp_context=get_context("spawn")) as pool:
        future = pool.submit(raise_panic, "in the worker")
        error = future.exception(timeout=300)
    assert type(error) is brindxml.PanicException and error.args == ("in the worker",)


# The n-th allocation of the interpreter fails: a result that cannot
# be built is a MemoryError, never turned into an internal error.
NO_MEMORY = """
import sys
import _testcapi
from brindxml import read_string
tree = read_string("<r>" + "<x a='1'><y>t</y></x>" * 50 + "</r>", "r")
calls = {"to_dict": tree.to_dict, "search": lambda: tree.search_by_name("y")}
call = calls[sys.argv[1]]
outcomes = set()
kinds = {MemoryError: "MemoryError"}
for n in range(1, 400):
    outcome = "ok"
    try:
        _testcapi.set_nomemory(n - 1, n)
        call()
    except BaseException as exc:
        _testcapi.remove_mem_hooks()
        outcome = kinds.get(type(exc), repr(exc))
    _testcapi.remove_mem_hooks()
    outcomes.add(outcome)
    if outcome == "ok":
        break
print(*sorted(outcomes))
"""


@pytest.mark.parametrize("call", ["to_dict", "search"])
def test_memory_error_of_the_interpreter_stays_memory_error(call):
    pytest.importorskip("_testcapi")
    status, out, err = run_child(["-c", NO_MEMORY, call], timeout=300)
    assert status == 0, err[-2000:]
    assert out.split() == ["MemoryError", "ok"]


def test_a_tree_dropped_by_the_teardown_of_another_is_freed():
    # Dropping `top` returns the view references of document A, whose str
    # then goes; its finaliser drops the last tree of document B within that
    # same teardown. B and its str must be freed all the same.
    events = []

    class DocumentA(str):
        def __del__(self):
            events.append("A freed")
            trees_of_b.clear()

    class DocumentB(str):
        def __del__(self):
            events.append("B freed")

    trees_of_b = [read_string(DocumentB("<b>" + "<y k='v'>t</y>" * 50 + "</b>"), "b")]
    a = read_string(DocumentA("<a>" + "<x>t</x>" * 50 + "</a>"), "a")
    c = read_string("<c>" + "<z>t</z>" * 50 + "</c>", "c")
    # A's nodes are freed first, then C's: the change of document returns A's references.
    top = Node("top", children=list(c.children) + list(a.children))
    del a, c
    del top
    assert events == ["A freed", "B freed"]


# Every allocation of the probe's copy of brindxml fails from the n-th on:
# the teardown of what was built must need none (it ran out of memory and
# aborted before), free everything, and recurse no deeper for a deep tree.
NO_MEMORY_AT_ALL = """
import importlib.machinery
import importlib.util
import sys

path = sys.argv[1]
loader = importlib.machinery.ExtensionFileLoader("brindxml_probe", path)
spec = importlib.util.spec_from_file_location("brindxml_probe", path, loader=loader)
probe = importlib.util.module_from_spec(spec)
loader.exec_module(probe)
depth = 100_000
documents = [
    "<r>" + "<x a='1'><y b='2'>t</y><z/></x>" * 2000 + "</r>",
    "<r>" + "<n a='1'>t" * depth + "</n>" * depth + "</r>",
]
before = [sys.getrefcount(d) for d in documents]
outcomes = set()
for document in documents:
    tree = probe.read_string(document, "r")
    for n in (1, 2, 3, 5, 10, 100, 1000, 10_000, 100_000, 300_000):
        probe.fail_allocation(n, True)
        try:
            tree.to_dict()
            outcome = "ok"
        except MemoryError:
            outcome = "MemoryError"
        finally:
            probe.fail_allocation(0)
        outcomes.add(outcome)
    probe.fail_allocation(1, True)
    del tree
    probe.fail_allocation(0)
del document
print(*sorted(outcomes), [sys.getrefcount(d) for d in documents] == before)
"""


def test_teardown_needs_no_memory(probe):
    status, out, err = run_child(["-c", NO_MEMORY_AT_ALL, probe.__file__], timeout=600)
    assert status == 0, err[-2000:]
    assert out.split() == ["MemoryError", "ok", "True"]
