"""Range edits of the source buffer, as an editor sends them: seeded random
edits of real modules, each checked against a split of the whole new text
and against the whole-text path, with the analyzer's answers compared with
a fresh analysis now and then; the module analysis's edit, row and
re-analysis entry points the language server uses."""

import os
import random
import sysconfig

import logicalline as ll
import pytest

import pysource
from pysource.edits import line_positions
from pysource.lsp_documents import splice
from pysource.splitter import split_logical_lines
from test_edits import assert_same_as_fresh

STDLIB = sysconfig.get_paths()["stdlib"]

# What gets typed or pasted: characters that open and close brackets and
# strings, block openers, indentation, whole statements and definitions.
FRAGMENTS = ["x", " ", "\n", "(", ")", "[", "]", "'", '"""', ":", "#", "\\\n", "    ", ".", ",", "=",
             "self.attr = value\n", "\n    def extra(self):\n        self.extra = []\n",
             "\nclass Added(Base):\n    pass\n", "@staticmethod\n", "import os\n", "if x:\n    ",
             "é", "\U0001f600"]


def random_range(text, rng):
    """A random (start, end) range of rows (from 1) and columns, and the
    offsets it covers; now and then past the end of a row or of the text."""
    rows = text.split("\n")

    def position():
        r = rng.randrange(len(rows))
        c = rng.randrange(len(rows[r]) + 1)
        if rng.random() < 0.05:
            c += 7
        return r + 1, c

    start = position()
    end = start if rng.random() < 0.6 else position()
    if end < start:
        start, end = end, start
    if rng.random() < 0.02:
        end = (len(rows) + 3, 0)

    def offset(pos):
        r, c = pos
        if r > len(rows):
            return len(text)
        return sum(len(x) + 1 for x in rows[:r - 1]) + min(c, len(rows[r - 1]))
    return start, end, offset(start), offset(end)


def random_insert(rng):
    n = rng.choice([0, 1, 1, 1, 2])
    return "".join(rng.choice(FRAGMENTS) for _ in range(n))


def nameless_defs(mod):
    """Whether a class or def line has no name yet: the instance attribute
    queries fail on such a module, edited or not (a known fault of the
    analyzer, left to its owner), so it is not compared."""
    return any(ln.type in (ll.kClassDefIndex, ll.kFunctionDefIndex) and len(ln.tokens) < 2 for ln in mod.lines)


def shape(lines):
    return [(ln.tokens, ln.type, ln.first_line, ln.line_count, ln.indent, line_positions(ln)) for ln in lines]


@pytest.mark.parametrize("name, count", [("textwrap.py", 400), ("json/decoder.py", 300), ("shlex.py", 350),
                                         ("dataclasses.py", 500)])
def test_range_edits_split_and_answer_as_the_whole_text(name, count):
    text = "".join(pysource.read_source(os.path.join(STDLIB, name)).splitlines(keepends=True)[:count])
    rng = random.Random(name)
    project = pysource.Project(search_path=[])
    by_range = pysource.ModuleAnalysis(project, "m", source=text)
    whole = pysource.ModuleAnalysis(project, "m", source=text)
    by_range.impl.SearchForAttribs({})
    whole.impl.SearchForAttribs({})
    lines = by_range.lines
    for step in range(150):
        start, end, a, b = random_range(text, rng)
        new = random_insert(rng)
        # The server's fallback when the buffer fails works the new text
        # out from the whole old one.
        assert splice(text, start, end, new) == text[:a] + new + text[b:]
        text = text[:a] + new + text[b:]
        changes = by_range.edit(start, end, new)
        whole.set_source(text)
        whole.UpdateFromCache()
        assert by_range.source == text
        assert shape(by_range.lines) == shape(split_logical_lines(text)), "step %d" % step
        assert sorted(changes.body_scopes) == sorted(whole.last_changes.body_scopes)
        assert changes[1:] == whole.last_changes[1:]
        # Queries between edits keep the caches warm.
        by_range.impl.SearchForAttribs({})
        if step % 25 == 24 and not nameless_defs(by_range):
            assert_same_as_fresh(by_range, "after step %d" % step)
    assert by_range.lines is lines
    project.close()


def test_range_edit_rows_and_columns():
    project = pysource.Project(search_path=[])
    mod = pysource.ModuleAnalysis(project, "m", source="a = 1\r\nb = 2\nc = 3")
    mod.impl.SearchForAttribs({})
    cases = [
        # (start, end, new text, text after)
        ((1, 4), (1, 5), "10", "a = 10\r\nb = 2\nc = 3"),
        # A column past the end of a row stands for its end (before "\r\n").
        ((1, 99), (2, 0), "\n", "a = 10\nb = 2\nc = 3"),
        # A row past the end stands for the end of the text.
        ((9, 0), (9, 5), "\nd = 4\n", "a = 10\nb = 2\nc = 3\nd = 4\n"),
        ((2, 0), (4, 0), "", "a = 10\nd = 4\n"),
        ((1, 0), (1, 0), "", "a = 10\nd = 4\n"),
    ]
    for start, end, new, want in cases:
        mod.edit(start, end, new)
        assert mod.source == want
        assert shape(mod.lines) == shape(split_logical_lines(want))
    assert [r.fLocalName for r in mod.impl.SearchForAttribs({})] == ["a", "d"]
    for start, end, error in [((2, 0), (1, 0), ValueError), ((0, 0), (1, 0), ValueError),
                              ((1, 0), (1, 1.5), TypeError)]:
        with pytest.raises(error):
            mod.edit(start, end, "x")
        assert mod.source == "a = 10\nd = 4\n"
    with pytest.raises(TypeError):
        mod.edit((1, 0), (1, 0), b"x")
    project.close()


# -- the module analysis's public edit surface ------------------------------------

METHODS = "class A:\n    def f(self, v):\n        self.x = v\n\n    def g(self):\n        return 1\n"


@pytest.mark.parametrize("before", ["none", "analyzed", "pending"])
def test_module_edit_in_each_state(before):
    """An edit reaches the same text and answers as a fresh analysis
    whether the module has no analyzer yet, has one, or has a whole-text
    change pending (folded in first); a decorator it adds changes what the
    def line below records."""
    project = pysource.Project(search_path=[])
    mod = pysource.ModuleAnalysis(project, "m", source=METHODS)
    text = METHODS
    if before != "none":
        assert mod.impl.GetInstanceAttributes("A", None)[0][0] == "x"
    if before == "pending":
        text = METHODS.replace("return 1", "return 2")
        mod.set_source(text)
    else:
        assert (mod.analyzer is None) == (before == "none")
    changes = mod.edit((2, 0), (2, 0), "    @staticmethod\n")
    text = text.replace("    def f", "    @staticmethod\n    def f")
    assert mod.source == text and mod.last_changes is changes
    assert mod.analyzer is not None and mod.loaded_lines is mod.lines
    assert shape(mod.lines) == shape(split_logical_lines(text))
    assert not mod.impl.GetInstanceAttributes("A", None)
    assert_same_as_fresh(mod, before)
    changes = mod.edit((3, 10), (3, 14), "cls")
    assert changes.functions == ["A.f", "A.f"] and mod.row(3) == "    def f(cls, v):"
    assert_same_as_fresh(mod, before)
    project.close()


def test_module_rows_in_each_state():
    project = pysource.Project(search_path=[])
    mod = pysource.ModuleAnalysis(project, "m", source="a = 1\r\nb = 2\nc = 3")
    want = ["", "a = 1", "b = 2", "c = 3", "", ""]

    def rows():
        return [mod.row(r) for r in range(len(want))]
    assert mod.loaded_lines is None and rows() == want
    mod.edit((2, 4), (2, 5), "20")          # rows from the source buffer
    want[2] = "b = 20"
    assert rows() == want
    mod.set_source("a = 1\nb = 2\n")        # pending: rows from the new text
    assert rows() == ["", "a = 1", "b = 2", "", "", ""]
    project.close()


def test_reanalyzed_lines_see_the_imported_module_anew(tmp_path):
    (tmp_path / "b.py").write_text("x = 1\n")
    (tmp_path / "a.py").write_text("import os\nfrom b import *\n")
    project = pysource.Project(roots=[str(tmp_path)], search_path=[])
    a, b = project.FindAnalysisByName("a", None), project.FindAnalysisByName("b", None)
    assert a.names() == ["os", "x"]
    b.edit((2, 0), (2, 0), "y = 2\n")
    star = a.lines[1]
    assert a.names() == ["os", "x"]         # the star import keeps what it found
    a.reanalyze_lines([1])
    assert a.lines[1] is not star and a.lines[1].tokens == star.tokens and not a.lines[1].parsed
    assert a.names() == ["os", "x", "y"]
    project.close()
