"""Runs each operation of brindxml under a soft address-space limit a little
above the process's size, at many limits: each must succeed or raise
MemoryError (an abort ends this process). Then, with the limit lifted, the
document must still read and write back exactly.

Usage: memory_sweep.py MEGABYTES OPERATION LIMIT_MIB...
(the limits above the process's size at each step). Prints the operation's
name and, per limit, "ok" or "MemoryError".
"""

import os
import pickle
import resource
import sys
import tempfile

from brindxml import Node, read_file, read_string, write_string


def document(megabytes):
    record = (
        '<item id="{0}" kind="k{1}" flag="yes"><name>Item {0} &amp; co</name>'
        '<price currency="EUR">{0}.50</price><tags><tag>t{1}</tag><tag>u</tag></tags></item>'
    )
    parts = ["<catalog>"]
    size = 0
    i = 0
    while size < megabytes * 1_000_000:
        part = record.format(i, i % 7)
        parts.append(part)
        size += len(part)
        i += 1
    parts.append("</catalog>")
    return "".join(parts)


def address_space():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[0]) * resource.getpagesize()


def main():
    megabytes = float(sys.argv[1])
    name = sys.argv[2]
    limits = [int(mib) for mib in sys.argv[3:]]
    text = document(megabytes)
    fd, path = tempfile.mkstemp(suffix=".xml")
    with os.fdopen(fd, "w", encoding="utf-8") as out:
        out.write(text)
    # Only what the operation needs is made beforehand: the less memory the
    # process holds free, the closer the limits come to its true needs.
    tree = None if name in ("read_string", "read_file") else read_string(text, "catalog")
    as_dict = tree.to_dict() if name == "from_dict" else None
    operation = {
        "read_string": lambda: read_string(text, "catalog"),
        "read_file": lambda: read_file(path, "catalog"),
        "write_string": lambda: write_string(tree),
        "to_dict": lambda: tree.to_dict(),
        "from_dict": lambda: Node.from_dict(as_dict),
        "search": lambda: tree.search_by_name("tag"),
        "pickle": lambda: pickle.loads(pickle.dumps(tree)),
    }[name]
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    outcomes = []
    for mib in limits:
        resource.setrlimit(resource.RLIMIT_AS, (address_space() + mib * 2**20, hard))
        try:
            operation()
            outcomes.append("ok")
        except MemoryError:
            outcomes.append("MemoryError")
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    # The process goes on working: the document reads, writes and reads back.
    again = read_string(write_string(read_file(path, "catalog")), "catalog")
    assert again.to_dict() == read_string(text, "catalog").to_dict()
    assert len(again.search_by_name("item")) == len(tree.children if tree else again.children)
    os.unlink(path)
    print(name, *outcomes, flush=True)


if __name__ == "__main__":
    main()
