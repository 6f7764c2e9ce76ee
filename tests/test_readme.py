"""The README's examples are run: every ```python block is a doctest session.

The blocks form one session, in order (later blocks use names from earlier
ones), run in a temporary directory because they write files. Each block is
its own test, run after the blocks before it. The make targets the README
names must exist.
"""

import doctest
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
MAKEFILE = README.with_name("Makefile")

BLOCKS = re.findall(r"^```python\n(.*?)^```$", README.read_text(encoding="utf-8"), re.S | re.M)
PARSER = doctest.DocTestParser()


def run_block(index, globs, check):
    """Runs block `index` in `globs`; returns (failures, report) of its examples."""
    test = PARSER.get_doctest(BLOCKS[index], globs, f"README block {index + 1}", str(README), 0)
    runner = doctest.DocTestRunner(verbose=False, optionflags=doctest.ELLIPSIS)
    report = []
    runner.run(test, out=report.append, clear_globs=False)
    globs.update(test.globs)  # the test ran on a copy
    results = runner.summarize(verbose=False)
    if check:
        assert results.attempted == len(test.examples) > 0, "a python block without examples"
    return results.failed, "".join(report)


def test_readme_has_the_tour():
    assert len(BLOCKS) >= 6


@pytest.mark.parametrize("index", range(len(BLOCKS)), ids=[f"block{i + 1}" for i in range(len(BLOCKS))])
def test_readme_block(index, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    globs = {"__name__": "readme"}
    for earlier in range(index):
        run_block(earlier, globs, check=False)
    failed, report = run_block(index, globs, check=True)
    assert failed == 0, report


def test_make_targets_named_in_readme_exist():
    targets = set(re.findall(r"^([a-z][a-z0-9_-]*):", MAKEFILE.read_text(), re.M))
    named = set(re.findall(r"`make ([a-z][a-z0-9_-]*)", README.read_text(encoding="utf-8")))
    named |= set(re.findall(r"^make ([a-z][a-z0-9_-]*)", README.read_text(encoding="utf-8"), re.M))
    assert named and named <= targets, sorted(named - targets)
