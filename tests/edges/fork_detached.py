"""Forks again and again while other threads are inside brindxml, some of
them detached (reading, writing, dropping trees): each child uses the module
and exits. A lock copied locked into a child would hang it; the parent
gives each child a deadline and reports one that misses it.

Usage: fork_detached.py FORKS
"""

import os
import signal
import sys
import threading
import time
import warnings

from brindxml import Node, read_string, write_string

DOCUMENT = "<r>" + "".join(f'<x a="{i}" b="v"><y c="{i}">t{i}</y></x>' for i in range(3000)) + "</r>"
SMALL = "<r><x/></r>"
CHILD_DEADLINE = 60.0


def busy(stop, work):
    while not stop.is_set():
        work()


def failing_read():
    # Fails while detached: the document's last view goes there, and its
    # release waits in the deferred release queue (taking its lock).
    try:
        read_string(SMALL, "missing")
    except ValueError:
        pass


def in_child():
    # Everything that takes the module's locks: a read and a drop (the
    # deferred release queue), a write, a new node and its dict form.
    failing_read()
    tree = read_string(DOCUMENT, "r")
    written = write_string(tree)
    del tree
    node = Node.from_dict(Node("a", {"k": "v"}, [Node("b")], "t").to_dict())
    ok = written.startswith("<?xml") and node.children[0].name == "b"
    os._exit(0 if ok else 1)


def main():
    forks = int(sys.argv[1])
    tree = read_string(DOCUMENT, "r")
    stop = threading.Event()
    works = [
        lambda: read_string(DOCUMENT, "r"),
        lambda: write_string(tree),
        failing_read,
        failing_read,
    ]
    threads = [threading.Thread(target=busy, args=(stop, work)) for work in works]
    for thread in threads:
        thread.start()
    failed = 0
    try:
        with warnings.catch_warnings():
            # Forking a process with threads: what this script is about.
            warnings.simplefilter("ignore", DeprecationWarning)
            for _ in range(forks):
                pid = os.fork()
                if pid == 0:
                    in_child()
                deadline = time.monotonic() + CHILD_DEADLINE
                while True:
                    done, status = os.waitpid(pid, os.WNOHANG)
                    if done:
                        failed += status != 0
                        break
                    if time.monotonic() > deadline:
                        os.kill(pid, signal.SIGKILL)
                        os.waitpid(pid, 0)
                        failed += 1
                        print("a child hung", flush=True)
                        break
                    time.sleep(0.01)
    finally:
        stop.set()
        for thread in threads:
            thread.join()
    print(f"{forks - failed} of {forks} children used the module and exited", flush=True)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
