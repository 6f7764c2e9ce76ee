"""Shared helpers for the Python tests of brindxml.

Errors are checked exactly: the exception's own type (not a subclass), its
message and the notes the binding layer attaches naming the argument.
"""

import sys

import pytest


def pytest_configure(config):
    # Deselected with -m "not million" where the CPU is emulated (minutes each there).
    config.addinivalue_line("markers", "million: a tree a million levels deep")


def notes_of(exc):
    return list(getattr(exc, "__notes__", []))


def _raise_exactly(exc_type, message, notes, call):
    with pytest.raises(BaseException) as info:
        call()
    exc = info.value
    assert type(exc) is exc_type, f"{type(exc).__name__}: {exc}"
    if message is not None:
        assert str(exc) == message
    assert notes_of(exc) == list(notes)
    return exc


def _outcome(call):
    """What a call did, in a comparable form: its result, or its error."""
    try:
        result = call()
    except Exception as exc:  # the error is the outcome
        return ("raised", type(exc), str(exc), tuple(notes_of(exc)))
    return ("returned", result)


@pytest.fixture
def raises_exactly():
    """raises_exactly(exc_type, message, notes, call) -> the exception.

    `message=None` leaves the text unchecked (the interpreter's own wording).
    """
    return _raise_exactly


@pytest.fixture
def outcome():
    return _outcome


def processing(argument):
    return [f"while processing '{argument}'"]


@pytest.fixture
def note():
    """note('name') -> the list of notes a conversion failure of `name` carries."""
    return processing


def _run_on_threads(check, rounds, threads=6):
    """Runs `check` `rounds` times on each of `threads` threads at once; any failure fails the test."""
    import threading

    failures = []

    def work():
        try:
            for _ in range(rounds):
                check()
        except BaseException as exc:  # reported below
            failures.append(exc)

    workers = [threading.Thread(target=work) for _ in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert failures == []


@pytest.fixture
def on_threads():
    return _run_on_threads


def _build_probe():
    """Builds tests/probe/brindxml_probe.cpp with brindxml's own sources into a
    test-only extension module (cached under build/probe by content), imports
    and returns it; None where it cannot be built for this interpreter."""
    import hashlib
    import importlib.machinery
    import importlib.util
    import os
    import platform
    import shlex
    import shutil
    import subprocess
    import sysconfig
    from pathlib import Path

    root = Path(__file__).resolve().parent.parent
    compiler = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")
    if not compiler:
        return None
    # The probe is built the Linux way (a version script, dlsym); an
    # interpreter of another CPU (run under emulation) cannot load what the
    # host's compiler makes.
    target_machine = subprocess.run([compiler, "-dumpmachine"], capture_output=True, text=True).stdout
    if sys.platform != "linux" or target_machine.split("-")[0] != platform.machine():
        return None
    sources = [root / "tests/probe/brindxml_probe.cpp"] + sorted(
        p for p in (root / "src").rglob("*.cpp") if p.name != "module.cpp"
    )
    headers = sorted((root / "src").rglob("*.hpp")) + [root / "tests/probe/exports.map"]
    flags = ["-std=c++20", "-O1", "-g", "-fPIC", "-shared", "-w", f"-I{root / 'src'}",
             f"-I{sysconfig.get_paths()['include']}"]
    # The module's own compiler and C++ library (CXX, CXXFLAGS), so that one
    # C++ runtime serves both.
    flags += shlex.split(os.environ.get("CXXFLAGS", ""))
    if os.environ.get("BRINDXML_SANITIZED"):
        flags += ["-fsanitize=address,undefined", "-fno-omit-frame-pointer"]
    digest = hashlib.sha256(" ".join([compiler, *flags]).encode())
    for path in sources + headers:
        digest.update(path.read_bytes())
    out_dir = root / "build" / "probe" / f"{sys.implementation.cache_tag}-{digest.hexdigest()[:16]}"
    target = out_dir / f"brindxml_probe{sysconfig.get_config_var('EXT_SUFFIX')}"
    if not target.exists():
        out_dir.mkdir(parents=True, exist_ok=True)
        partial = target.with_suffix(".partial")
        # The compiler runs without the sanitizer runtime the suite may be
        # running under (its leak report would fail the build).
        environment = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
        subprocess.run(
            [compiler, *flags, *map(str, sources), f"-Wl,--version-script={root / 'tests/probe/exports.map'}",
             "-ldl", "-o", str(partial)],
            check=True, env=environment,
        )
        partial.replace(target)
    loader = importlib.machinery.ExtensionFileLoader("brindxml_probe", str(target))
    spec = importlib.util.spec_from_file_location("brindxml_probe", str(target), loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


@pytest.fixture(scope="session")
def probe():
    """The test-only extension of tests/probe (built on first use)."""
    module = _build_probe()
    if module is None:
        pytest.skip("the test probe needs Linux and a C++ compiler for this interpreter's CPU")
    return module
