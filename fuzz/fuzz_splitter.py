"""Fuzzes the splitter: mutated real source goes through
`pysource.split_logical_lines`, which must never fail on any text, must give
logical lines that cover the physical rows one after the other, and must
agree with the incremental rescan after an edit.  Where the package offers
more than one splitter (`pysource.hosts`), every one of them must give the
same records, whole and after the edit.

    python fuzz/fuzz_splitter.py -max_total_time=60
"""

from __future__ import annotations

import importlib
import re
from collections.abc import Iterator
from typing import Any

import fuzzing
import logicalline
import pysource
from pysource import splitter

# Edits an editor makes while typing: half a bracket, a quote, a colon, a
# new indented row, a continuation.
SNIPPETS = ["(", ")", "[", "]", "{", "}", "'", '"', '"""', "'''", "\\\n", "\n", "\n    ", ":",
            "#", " ", "\t", "def ", "class ", "if x:\n", "f'{", "\r\n", "\x0c", ";", "@d\n"]

ROWS = re.compile(r"\r\n|\r|\n")


def seeds() -> Iterator[bytes]:
    for text in fuzzing.stdlib_sources():
        yield text.encode("utf-8")


def _hosts() -> list[Any]:
    """Every host this build offers, each with its own splitter."""
    try:
        hosts = importlib.import_module("pysource.hosts")
    except ImportError:
        return []
    found = []
    for name in getattr(hosts, "HOST_NAMES", ()):
        try:
            found.append(hosts.get_host(name))
        except (ImportError, ValueError, LookupError):
            continue
    return found


HOSTS = _hosts()


def _edit(text: str, pick: fuzzing.Choices) -> str:
    if not text:
        return pick.pick(SNIPPETS)
    at = pick.below(min(len(text), 65536))
    cut = pick.below(8)
    return text[:at] + pick.pick(SNIPPETS) + text[at + cut:]


def check(data: bytes) -> None:
    text = data.decode("utf-8", "replace")
    lines = pysource.split_logical_lines(text)
    rows = ROWS.split(text)
    row = 1
    for line in lines:
        assert type(line) is logicalline.LogicalLine, type(line)
        # A line starts at its first token, so rows holding only a "\\"
        # continuation before it belong to no line; no other row is skipped.
        assert line.first_line >= row, (line.first_line, row, line.tokens[:4])
        for skipped in range(row, line.first_line):
            assert rows[skipped - 1].strip(" \t\x0c") == "\\", (skipped, rows[skipped - 1][:80])
        assert line.line_count >= 1, line.line_count
        assert all(type(t) is str for t in line.tokens), line.tokens
        assert len(line.positions) == len(line.tokens), (line.positions, line.tokens)
        row = line.first_line + line.line_count
    assert row - 1 <= text.count("\n") + text.count("\r") + 1, (row, len(text))

    new = _edit(text, fuzzing.Choices(data[-4:]))
    old_records = splitter.scan_logical_lines(text)
    new_records = splitter.scan_logical_lines(new)
    assert splitter.rescan_logical_lines(text, old_records, new) == new_records, repr(new[:200])
    for host in HOSTS:
        if host.scan_logical_lines is splitter.scan_logical_lines:
            continue  # the reference itself
        assert host.scan_logical_lines(text, None) == old_records, (host.name, text[:200])
        assert host.rescan_logical_lines(text, old_records, new, None) == new_records, (host.name, new[:200])


def main() -> None:
    fuzzing.run("splitter", check, seeds)


if __name__ == "__main__":
    main()
