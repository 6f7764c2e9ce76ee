"""Shared helpers for the benchmarks: timing, peers, and corpus generation."""

from __future__ import annotations

import gc
import importlib
import random
import time
from collections.abc import Callable
from typing import Any


def best_of(fn: Callable[[], object], repeat: int = 3, clock: Callable[[], float] = time.perf_counter) -> float:
    """The fastest of `repeat` runs, in seconds of `clock` (garbage collection paused)."""
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        gc.disable()
        try:
            start = clock()
            fn()
            best = min(best, clock() - start)
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


# Words of several scripts: CJK, kana, Cyrillic, Greek, Arabic, Devanagari.
SCRIPT_WORDS = ("東京 大阪 言語 辞書 漢字 学校 ひらがな カタカナ ありがとう こんにちは "
                "словарь язык книга слово город река "
                "λέξη γλώσσα βιβλίο πόλη ποτάμι "
                "كلمة لغة كتاب مدينة نهر "
                "शब्द भाषा पुस्तक नगर नदी").split()
SCRIPT_NAMES = ("項目", "запись", "λήμμα", "مدخل", "प्रविष्टि")


def multilingual_corpus(target_bytes: int, seed: int = 13) -> str:
    """Dictionary entries whose element names, attribute values and texts are in several scripts."""
    rng = random.Random(seed)
    parts = ['<?xml version="1.0" encoding="utf-8"?>\n<lexicon>\n']
    size = len(parts[0].encode())
    i = 0
    while size < target_bytes:
        name = SCRIPT_NAMES[i % len(SCRIPT_NAMES)]
        head = rng.choice(SCRIPT_WORDS)
        gloss = " ".join(rng.choice(SCRIPT_WORDS) for _ in range(12))
        example = " ".join(rng.choice(SCRIPT_WORDS) for _ in range(20))
        item = (f'  <{name} id="{i}" 見出し="{head}" форма="{rng.choice(SCRIPT_WORDS)}">\n'
                f'    <gloss lang="{rng.choice(("ja", "ru", "el", "ar", "hi"))}">{gloss}</gloss>\n'
                f'    <例文 источник="{rng.choice(SCRIPT_WORDS)} {i}">{example}</例文>\n'
                f'  </{name}>\n')
        parts.append(item)
        size += len(item.encode())
        i += 1
    parts.append("</lexicon>\n")
    return "".join(parts)


# Source code and collation rules: a character to escape every few bytes.
DENSE_SNIPPETS = (
    'if (a < b && c > d) { x = "y"; }',
    "&[before 2]a<<ā<<<Ā<<á<<<Á<<ǎ<<<Ǎ<<à<<<À",
    "&c<č<<<Č&s<š<<<Š&z<ž<<<Ž",
    "for (i = 0; i < n && v[i] != '\\0'; ++i) s += \"<\" + v[i] + \">\";",
    "<p class='note'>&amp; &lt;tag&gt; \"quoted\"</p>",
)


def escape_dense_corpus(target_bytes: int, seed: int = 17) -> str:
    """Rules and code whose texts and attribute values need escaping every few bytes."""
    from xml.sax.saxutils import escape, quoteattr

    rng = random.Random(seed)
    parts = ["<rules>\n"]
    size = len(parts[0])
    i = 0
    while size < target_bytes:
        text = " ".join(rng.choice(DENSE_SNIPPETS) for _ in range(40))
        item = (f'  <rule id="{i}" match={quoteattr(rng.choice(DENSE_SNIPPETS))} '
                f'alt={quoteattr(rng.choice(DENSE_SNIPPETS))}>{escape(text)}</rule>\n')
        parts.append(item)
        size += len(item.encode())
        i += 1
    parts.append("</rules>\n")
    return "".join(parts)


# Interface strings of an application, with the placeholders and markup such strings carry.
UI_WORDS = ("open save close file folder project window settings account user message error warning "
            "download upload search replace print export import delete rename copy paste undo redo "
            "network server connection password name size date time page item list value").split()
PLACEHOLDERS = ("%s", "%d", "%1$s", "%2$d", "{0}", "{1}", "{name}", "{count}", "%(file)s")
MARKUP = ("&amp;", "&lt;b&gt;", "&lt;/b&gt;", "&quot;", "&apos;", "&#8230;")
PLURAL_FORMS = ("zero", "one", "two", "few", "many", "other")
FORMATS = ("printf", "brace", "named", "none")


def _ui_text(rng: random.Random, words: tuple[str, ...] | list[str], count: int) -> str:
    """A text of `count` words with a placeholder or an escaped character now and then."""
    out = []
    for _ in range(count):
        roll = rng.random()
        if roll < 0.12:
            out.append(rng.choice(PLACEHOLDERS))
        elif roll < 0.2:
            out.append(rng.choice(MARKUP))
        else:
            out.append(rng.choice(words))
    return " ".join(out)


def locale_corpus(target_bytes: int, seed: int = 19) -> str:
    """A translation catalogue: groups of messages, each a source text and its translation.

    The root <catalog> holds <group> elements (one per screen or module of an
    application), each holding a few dozen <message> elements with an id, the
    group's name, a format flag, a state and often a source location; comments
    mark some groups and messages. A message has a <source> and a <translation>
    (empty when not yet translated), sometimes a translator's <note>; a plural
    message has a second source and its translation holds one <form> per plural
    category. Sources are interface strings with placeholders and escaped
    characters; translations are in several scripts. Rooted at "catalog";
    `target_bytes` counts UTF-8 bytes.
    """
    rng = random.Random(seed)
    parts = ['<?xml version="1.0" encoding="utf-8"?>\n'
             '<catalog version="2.1" source-language="en" target-language="mul">\n']
    size = len(parts[0].encode())
    group = message = 0
    while size < target_bytes:
        name = f"{rng.choice(UI_WORDS)}-{rng.choice(UI_WORDS)}-{group}"
        chunk = [f'  <!-- group {group}: strings of the {name} screen -->\n' if group % 4 == 0 else "",
                 f'  <group name="{name}" domain="{rng.choice(("ui", "help", "errors", "menus"))}">\n']
        for _ in range(rng.randint(10, 60)):
            plural = rng.random() < 0.15
            state = rng.choice(("translated", "translated", "translated", "needs-review", "new"))
            attrs = (f'id="{name}.{rng.choice(UI_WORDS)}.{message}" context="{name}" '
                     f'format="{rng.choice(FORMATS)}" state="{state}"')
            if plural:
                attrs += ' plural="yes"'
            if rng.random() < 0.7:
                path = f"src/{rng.choice(UI_WORDS)}/{rng.choice(UI_WORDS)}_{group % 97}.c"
                attrs += f' location="{path}:{rng.randint(1, 4000)}"'
            lines = [f"    <!-- message {message} -->\n" if message % 9 == 0 else "",
                     f"    <message {attrs}>\n"]
            if rng.random() < 0.1:
                lines.append(f"      <note>{_ui_text(rng, UI_WORDS, rng.randint(4, 12))}</note>\n")
            lines.append(f"      <source>{_ui_text(rng, UI_WORDS, rng.randint(2, 14))}</source>\n")
            if plural:
                lines.append(f"      <source-plural>{_ui_text(rng, UI_WORDS, rng.randint(2, 14))}</source-plural>\n")
                forms = "".join(f'        <form category="{category}">'
                                f"{_ui_text(rng, SCRIPT_WORDS, rng.randint(2, 12))}</form>\n"
                                for category in sorted(rng.sample(PLURAL_FORMS, rng.randint(2, 4)),
                                                       key=PLURAL_FORMS.index))
                lines.append(f"      <translation>\n{forms}      </translation>\n")
            elif state == "new" and rng.random() < 0.5:
                lines.append("      <translation/>\n")
            else:
                lines.append(f"      <translation>{_ui_text(rng, SCRIPT_WORDS, rng.randint(2, 14))}</translation>\n")
            lines.append("    </message>\n")
            chunk += lines
            message += 1
        chunk.append("  </group>\n")
        item = "".join(chunk)
        parts.append(item)
        size += len(item.encode())
        group += 1
    parts.append("</catalog>\n")
    return "".join(parts)
