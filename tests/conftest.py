"""Shared helpers for the Python tests of brindxml.

Errors are checked exactly: the exception's own type (not a subclass), its
message and the notes the binding layer attaches naming the argument.
"""

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
