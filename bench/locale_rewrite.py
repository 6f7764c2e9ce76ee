"""The locale rewrite of bench_reader.py: a translation catalogue read, edited and written again.

brindxml goes file -> Node -> dicts -> edit -> Node -> file; ElementTree goes
file -> elements -> edit -> file. Each side returns the process CPU time of its
steps, so the figure can say where the time goes. The catalogue is
common.locale_corpus.
"""

from __future__ import annotations

import time
import xml.etree.ElementTree as ET
from pathlib import Path

import brindxml

from common import element_to_dict

REVISED = "✓ "  # put before one translation in ten


def edit_dicts(root: dict) -> int:
    """Marks every message of a catalogue in dictionary form reviewed and revises every tenth
    translation (its first plural form, if it has forms); returns the number of messages."""
    count = 0
    for group in root["children"]:
        for message in group["children"]:
            message["attrs"]["state"] = "reviewed"
            if count % 10 == 0:
                translation = next(child for child in message["children"] if child["name"] == "translation")
                target = translation["children"][0] if translation["children"] else translation
                target["text"] = REVISED + (target["text"] or "")
            count += 1
    return count


def edit_elements(root: ET.Element) -> int:
    """The same edit as edit_dicts on an ElementTree catalogue."""
    count = 0
    for group in root:
        for message in group:
            message.set("state", "reviewed")
            if count % 10 == 0:
                translation = message.find("translation")
                target = translation[0] if len(translation) else translation
                target.text = REVISED + (target.text or "")
            count += 1
    return count


class Phases:
    """Process CPU time of consecutive steps, by name."""

    def __init__(self) -> None:
        self.seconds: dict[str, float] = {}
        self.last = time.process_time()

    def done(self, step: str) -> None:
        now = time.process_time()
        self.seconds[step] = now - self.last
        self.last = now


def rewrite_brindxml(source: Path, target: Path) -> dict[str, float]:
    phases = Phases()
    tree = brindxml.read_file(str(source), "catalog")
    phases.done("read_file")
    as_dict = tree.to_dict()
    phases.done("to_dict")
    edit_dicts(as_dict)
    phases.done("edit")
    edited = brindxml.Node.from_dict(as_dict)
    phases.done("from_dict")
    brindxml.write_file(edited, str(target))
    phases.done("write_file")
    del tree, as_dict, edited
    phases.done("release")
    return phases.seconds


def rewrite_etree(source: Path, target: Path) -> dict[str, float]:
    # brindxml's writer indents (4 spaces a level) and writes a UTF-8 declaration,
    # so ElementTree indents the same way and writes one too: the two files then
    # hold the same elements, attributes and texts, laid out the same way.
    phases = Phases()
    tree = ET.parse(source)
    phases.done("parse")
    edit_elements(tree.getroot())
    phases.done("edit")
    ET.indent(tree, space="    ")
    phases.done("indent")
    tree.write(target, encoding="utf-8", xml_declaration=True)
    phases.done("write")
    del tree
    phases.done("release")
    return phases.seconds


def check_rewrites(source: Path, ours: Path, theirs: Path) -> int:
    """Both rewritten files hold the same tree, with the edit made; returns the number of messages."""
    messages = source.read_text(encoding="utf-8").count("<message ")
    written = brindxml.read_file(str(ours), "catalog").to_dict()
    if written != element_to_dict(ET.parse(theirs).getroot()):
        raise AssertionError("brindxml's and ElementTree's rewrites differ")
    states = [message["attrs"]["state"] for group in written["children"] for message in group["children"]]
    # The reader trims texts: an empty translation revised reads back as the mark alone.
    revised = sum(1 for group in written["children"] for message in group["children"]
                  for child in message["children"] if child["name"] == "translation"
                  and ((child["children"][0] if child["children"] else child)["text"] or "").startswith(REVISED[0]))
    if not messages or states != ["reviewed"] * messages or revised != (messages + 9) // 10:
        raise AssertionError(f"the rewrite lacks the edit: {messages} messages, {states.count('reviewed')} "
                             f"marked reviewed, {revised} translations revised")
    return messages
