"""Shared helpers for the benchmarks: timing, peers, and corpus generation."""

from __future__ import annotations

import gc
import importlib
import random
import time
from collections.abc import Callable
from typing import Any


def best_of(fn: Callable[[], object], repeat: int = 3) -> float:
    """The fastest of `repeat` runs, in seconds (garbage collection paused)."""
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        gc.disable()
        try:
            start = time.perf_counter()
            fn()
            best = min(best, time.perf_counter() - start)
        finally:
            gc.enable()
    return best


def optional_module(name: str):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


def row(label: str, seconds: float, baseline: float | None = None, megabytes: float | None = None) -> str:
    parts = [f"{label:<46} {seconds * 1000:10.1f} ms"]
    if megabytes is not None:
        parts.append(f"{megabytes / seconds:9.1f} MB/s")
    if baseline is not None:
        parts.append(f"  brindxml is {baseline / seconds:5.2f}x faster" if seconds < baseline else
                     f"  ratio {baseline / seconds:5.2f}x")
    return "".join(parts)


def element_to_dict(element: Any) -> dict[str, Any]:
    """An ElementTree or lxml element in brindxml's dictionary form (text trimmed, None if empty)."""
    text = element.text.strip() if element.text else None
    return {
        "name": element.tag,
        "attrs": dict(element.attrib),
        "children": [element_to_dict(child) for child in element],
        "text": text or None,
    }


WORDS = ("alpha beta gamma delta epsilon zeta eta theta iota kappa lambda mu nu xi omicron pi rho "
         "sigma tau upsilon phi chi psi omega river stone cloud").split()


def record_corpus(target_bytes: int, seed: int = 7) -> str:
    """An attribute-heavy, quote-dense record set."""
    rng = random.Random(seed)
    parts = ['<?xml version="1.0" encoding="utf-8"?>\n<records>\n']
    size = len(parts[0])
    i = 0
    while size < target_bytes:
        w = rng.choice(WORDS)
        item = (f'  <record id="{i}" name="{w}-{i}" city="{rng.choice(WORDS)}" score="{rng.randint(0, 9999)}" '
                f'active="{"yes" if i % 3 else "no"}" code="c{i % 97}"/>\n')
        parts.append(item)
        size += len(item)
        i += 1
    parts.append("</records>\n")
    return "".join(parts)


def text_corpus(target_bytes: int, seed: int = 11) -> str:
    """A text-heavy document with entities, CDATA sections and comments."""
    rng = random.Random(seed)
    parts = ["<book>\n"]
    size = 7
    i = 0
    while size < target_bytes:
        sentence = " ".join(rng.choice(WORDS) for _ in range(40))
        item = (f"  <chapter n=\"{i}\">\n    <title>Chapter {i} &amp; more</title>\n"
                f"    <para>{sentence} &lt;em&gt; it&apos;s &#169; {sentence}</para>\n"
                f"    <!-- note {i} -->\n    <code><![CDATA[if (a < b && c > d) {{ x = \"{i}\"; }}]]></code>\n"
                f"  </chapter>\n")
        parts.append(item)
        size += len(item)
        i += 1
    parts.append("</book>\n")
    return "".join(parts)


def nested_corpus(depth: int) -> str:
    """A deeply nested document: `depth` levels of <n k="i">."""
    return "".join(f'<n k="{i}">' for i in range(depth)) + "leaf" + "</n>" * depth
