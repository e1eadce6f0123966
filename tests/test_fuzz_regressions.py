"""Faults the fuzz harnesses (fuzz/) found, replayed through the harnesses'
own checks, and a short fixed run of each harness so that they keep working
as the code they drive changes."""

import itertools
import os
import random
import struct
import sys

import pytest

import pysource
from pysource import store

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "fuzz"))
import fuzz_analysis  # noqa: E402
import fuzz_splitter  # noqa: E402
import fuzz_store  # noqa: E402
import fuzz_writer  # noqa: E402


@pytest.mark.parametrize("harness", [fuzz_splitter, fuzz_analysis, fuzz_store], ids=lambda h: h.__name__)
def test_harness_holds_on_real_modules(harness):
    for seed in itertools.islice(harness.seeds(), 6):
        harness.check(seed)
        harness.check(seed[: len(seed) // 2])  # cut short mid-module


def test_writer_texts_follow_the_rules_on_random_trees():
    rng = random.Random(8)
    for _ in range(400):
        fuzz_writer.check(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 160))))


@pytest.mark.parametrize("tree,refused", [
    (("Add", (("Name", "a"), ("Name", "b"))), None),
    (("Getattr", ("Name", "a"), 5), ValueError),
    (("Tuple", None), SystemError),
    (("Lambda", ("x", 1), (), 0, ("Name", "x")), TypeError),
])
def test_writer_check_tells_a_wrong_answer_from_a_right_one(tree, refused, monkeypatch):
    # The harness finds a fault only if its own rules are right: a base the
    # rules get wrong must fail the check.
    monkeypatch.setattr(fuzz_writer, "tree", lambda pick, depth=0: tree)
    fuzz_writer.check(b"\0")
    wrong = (lambda node: "?") if refused is None else (lambda node: "?" if node is tree else fuzz_writer.expected(node))
    monkeypatch.setattr(fuzz_writer, "expected", wrong)
    with pytest.raises(AssertionError):
        fuzz_writer.check(b"\0")


def test_writer_base_without_text_is_refused_or_skipped(monkeypatch):
    # Found by fuzz_writer: a lambda parameter holding a lone surrogate has
    # no UTF-8 form; the analyzer may refuse the line or skip that base.
    bases = iter([("Lambda", ("x", "\ud800"), (), 0, ("Name", "x")), ("Getattr", ("Name", "a"), "b")])
    monkeypatch.setattr(fuzz_writer, "tree", lambda pick, depth=0: next(bases))
    fuzz_writer.check(b"\x01")  # two bases


def test_splitter_check_notices_a_row_lost(monkeypatch):
    text = b"x = 1\ny = (2,\n     3)\nz = 4\n"
    fuzz_splitter.check(text)
    split = fuzz_splitter.pysource.split_logical_lines
    monkeypatch.setattr(fuzz_splitter.pysource, "split_logical_lines", lambda t: split(t)[::2])
    with pytest.raises(AssertionError):
        fuzz_splitter.check(text)


def test_store_framing_round_trips_and_bounds_what_it_reads():
    for seed in itertools.islice(fuzz_store.seeds(), 3):
        assert fuzz_store.encode(*fuzz_store.decode(seed)) == seed
    rng = random.Random(5)
    for _ in range(200):
        names, slots, data = fuzz_store.decode(bytes(rng.randrange(256) for _ in range(rng.randrange(64))))
        assert all(k < len(names) for k in slots)
        assert all(len(d) <= 0xFFFF for d in data) and len(data) <= 0xFFFF


SOURCE = "class A:\n    def f(self):\n        self.x = {}\n\n\ndef g():\n    return A()\n"


def stored_input(patch):
    """The store harness's input for SOURCE's stored lines, after
    `patch(names, data)` has changed them."""
    with pysource.Project(search_path=[]) as project:
        mod = project.analyze_source(SOURCE)
        names, data = store.codec().SerializeLogicalList(mod.lines)
        mod.close()
    data = [bytearray(d) for d in data]
    patch(names, data)
    return fuzz_store.encode(names, (), [bytes(d) for d in data])


def negative_indent(names, data):
    struct.pack_into("<h", data[1], 4, -5)  # the def line


def name_not_a_string(names, data):
    (ref,) = struct.unpack_from("<i", data[0], 24)  # the class line's name token
    names[ref] = None


def class_kind_without_a_name(names, data):
    line = data[2]  # "self.x = {}" made a class line of its first token alone
    (count,) = struct.unpack_from("<i", line, 16)
    positions = 24 + 4 * count
    line[:] = (line[:8] + struct.pack("<Hhhh", 1, 0, 0, 0) + struct.pack("<i", 1) + line[20:24]
               + struct.pack("<i", 1) + line[positions:positions + 4] + line[positions + 4 * count:])


def test_store_check_passes_unchanged_lines():
    fuzz_store.check(stored_input(lambda names, data: None))


# Found by fuzz_store: lines the loader let through, on which the attribute
# search then failed with SystemError.  The analyzer's reader refuses them
# now, as damaged data.
@pytest.mark.parametrize("patch", [negative_indent, name_not_a_string, class_kind_without_a_name])
def test_store_refuses_lines_the_analyzer_cannot_use(patch):
    fuzz_store.check(stored_input(patch))


# Found by fuzz_analysis at its first input (an empty module given a bare
# "def"): a class or def line without a name made the scope queries fail;
# the splitter makes no such line now.  And a name defined twice, as a def
# and then as a class: the harness wanted the class line for the name, where
# the name stands for its first definition (or the one an edit added last).
@pytest.mark.parametrize("text", ["def\n", "class A:\n    def\n", "class A: ...\ndef\nclass B:\n    def g(self): self.y = {}\n",
                                  "class 'x.y':\n    pass\n", "def f():\n    pass\nclass f:\n    pass\n"])
def test_queries_hold_on_half_typed_definitions(text):
    with pysource.Project(search_path=[]) as project:
        mod = project.analyze_source(text)
        try:
            fuzz_analysis.exercise(mod)
        finally:
            mod.close()
