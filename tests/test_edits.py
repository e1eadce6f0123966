"""Editing a module's source: the source buffer replaces only the logical
lines that changed, and after any sequence of edits the analyzer answers as
a fresh analysis of the final text does; and the attribute search on real
modules against what the ast module shows defined."""

import ast
import difflib
import os
import random
import sys

import logicalline as ll
import pytest

import pysource
from pysource import store
from pysource.edits import SourceBuffer, line_positions
from pysource.splitter import split_logical_lines

# The random edits, and the scopes found from indentation, are the random-edit
# differential's own.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools"))
from edit_differential import STDLIB, WHOLE_ROW_KINDS, _entry, _ref, placed, random_edit  # noqa: E402

SRC = '''"""Module doc."""
import os


class C(Base):
    """C doc."""

    def m(self, a):
        """m doc."""
        self.x = a
        return a

    def n(self):
        self.c = 3


def f():
    x = 1
    y = 2
'''


def module(source):
    """A module analysis of `source` with every line analysed."""
    mod = pysource.ModuleAnalysis(pysource.Project(search_path=[]), "m", source=source)
    mod.impl.SearchForAttribs({})
    return mod


def edit(mod, text):
    mod.set_source(text)
    mod.UpdateFromCache()
    changes = mod.last_changes
    return (sorted(changes.body_scopes),) + tuple(changes[1:])


# -- the buffer ---------------------------------------------------------------

def test_unchanged_lines_keep_their_objects():
    mod = module(SRC)
    lines = mod.lines
    before = list(lines)
    text = SRC.replace("self.x = a\n", "self.x = a\n        self.y = a\n")
    edit(mod, text)
    assert mod.lines is lines and len(lines) == len(before) + 1
    i = next(k for k, line in enumerate(lines) if line.tokens[:3] == ("self", ".", "y"))
    assert all(a is b for a, b in zip(lines[:i] + lines[i + 1:], before))
    assert not lines[i].parsed and all(line.parsed for line in lines[:i] + lines[i + 1:])
    # Moved lines get their new first_line (line_positions their absolute
    # positions; the comparisons with a fresh analysis check those).
    assert [ln.first_line for ln in lines] == [ln.first_line for ln in split_logical_lines(text)]
    assert mod.line_at(lines[-1].first_line) is lines[-1]
    # Same tokens at other columns, and moved up a row: a changed line.
    last = lines[-1]
    edit(mod, SRC.replace("y = 2", "y  = 2"))
    assert lines[-1] is not last and lines[-1].tokens == last.tokens


@pytest.mark.parametrize("old, new, warm, changes", [
    ("        return a\n", "        return a\n\n    def g(self):\n        pass\n", 0, (["C", "C.g"], [], ["C.g"], [])),
    ("    def n(self):\n        self.c = 3\n", "", 0, (["C", "C.n"], [], ["C.n"], [])),
    ("self.x = a", "self.x = a + 1", 0, (["C.m"], [], [], [])),
    ("m doc.", "m doc!", 1, (["C.m"], [], [], ["C.m"])),
    ('"""Module doc."""', '"""Module doc!"""', 0, ([""], [], [], [""])),
    ("class C(Base):", "class C(Other):", 0, ([""], ["C", "C"], [], [])),
    ("y = 2", "y = 2", 0, ([], [], [], [])),          # the same text again
    ("import os\n", "from __future__ import annotations\nimport os\n", 0, ([""], [], [], [])),
    # Lines below the edit whose surroundings changed, with the caches warm.
    ("    y = 2\n", "if flag:\n    y = 2\n", 1, (["", "f"], [], [], [])),
    ("class C(Base):", "class D(Base):", 1,     # the methods' instance type follows
     (["", "C", "C.m", "C.n", "D", "D.m", "D.n"], ["C", "D"], ["C.m", "C.n", "D.m", "D.n"], ["D", "D.m"])),
    ("    def n(self):\n", "    @staticmethod\n    def n(self):\n", 1, (["C"], [], ["C.n", "C.n"], [])),
    ("    def n(self):\n", "", 1, (["C", "C.m", "C.n"], [], ["C.n"], [])),       # n's body joins m's
    ("    x = 1\n", "    x = 1\n    def g(self):\n", 1, (["f"], [], ["f.g"], [])),   # y moves into g
    ("def f():\n", "class f:\n", 1, ([""], ["f"], ["f"], [])),
])
def test_what_edits_report(old, new, warm, changes):
    mod = module(SRC)
    impl = mod.impl
    for scope in ("", "C", "C.m", "C.n", "f") if warm else ():   # caches filled, names placed
        impl.GetBodyOfScope(scope)
        impl.FindTypeEquivs("self", scope)
    if warm:
        impl.SearchForAttribs({"local_name": "self.c"})
    assert edit(mod, SRC.replace(old, new)) == changes
    assert_same_as_fresh(mod)


def test_set_source_before_and_after_the_analyzer_is_made():
    mod = pysource.ModuleAnalysis(pysource.Project(search_path=[]), "m", source="x = 1\n")
    mod.set_source("y = 2\n")        # no analyzer yet: lines made anew
    assert [ln.tokens for ln in mod.lines] == [("y", "=", "2")]
    impl = mod.impl
    mod.set_source("y = 2\nz = 3\n")
    assert mod.source == "y = 2\nz = 3\n" and len(mod._lines) == 1   # pending
    assert [r.fLocalName for r in impl.SearchForAttribs({})] == ["y", "z"]   # the search applies it
    assert mod.impl is impl and mod.last_changes == ([""], [], [], [])
    mod.set_source("z = 3\n")
    assert [ln.tokens for ln in mod.lines] == [("z", "=", "3")]      # reading lines applies it too
    with pytest.raises(TypeError, match="source must be a str, not bytes"):
        mod.set_source(b"x = 1\n")
    mod.close()
    with pytest.raises(ValueError, match="not made from the buffer's text"):
        SourceBuffer(impl, [], "x = 1\n").update("")


def test_edits_after_loading_stored_lines(tmp_path):
    path = tmp_path / "m.py"
    path.write_text(SRC)
    store.save_module(pysource.Project(search_path=[]).module_for_path(str(path)).analyze(), str(tmp_path / "m.stored"))
    loaded = pysource.Project(search_path=[]).module_for_path(str(path))
    store.load_module(loaded, str(tmp_path / "m.stored"))
    kept = loaded.lines[-1]
    assert kept.parsed
    assert edit(loaded, SRC.replace("    def n(self):\n", "    @staticmethod\n    def n(self):\n")) == \
        (["C"], [], ["C.n", "C.n"], [])
    assert loaded.lines[-1] is kept
    assert_same_as_fresh(loaded)


# -- comparing with an analysis from scratch ----------------------------------------

def definitions(mod):
    """Full names of the class and def lines, in order."""
    return [defined for _, defined, _ in placed(mod.lines) if defined]


def bodies(mod):
    """The lines of each scope (tokens and indent), by scope name."""
    out = {}
    for scope, _, line in placed(mod.lines):
        out.setdefault(scope, []).append((line.tokens, line.indent))
    return out


def _resolves(impl, full_name):
    try:
        impl.GetScopeDefForFullName(full_name)
    except KeyError:
        return False
    return True


def answers(mod, scopes, names, vanished, any_duplicate):
    """What the queries answer, by value (lines as first line and tokens);
    `vanished` are full names no definition has any longer.  With
    `any_duplicate`, the module's def lines are not resolved by full name."""
    impl = mod.impl
    out = {
        "vanished": [n for n in vanished if _resolves(impl, n)],
        "search": [_ref(r) for r in impl.SearchForAttribs({})],
        # Exact names are looked up in the name cache, whose lists hold the
        # lines in the order they were analysed: after edits, not source
        # order.  Compared as sets.
        "names": {n: sorted(map(repr, map(_ref, impl.SearchForAttribs({"local_name": n})))) for n in names},
        "future": dict(impl.fFromFutureFlags),
    }
    assert mod.future_flags == out["future"]     # the host is told of changes
    for s in scopes:
        d = impl.GetScopeDefForFullName(s)
        out["def " + s] = None if d is None else (d.first_line, d.tokens)
        out["body " + s] = [(ln.first_line, ln.tokens) for ln in impl.GetBodyOfScope(s)]
        out["scoped " + s] = [_ref(r) for r in impl.SearchForAttribs({"scope_name": s})]
        out["equivs " + s] = [impl.FindTypeEquivs(n, s) for n in ("self", "x", "result")]
        attrs = impl.GetInstanceAttributes(s, None)
        out["attrs " + s] = attrs and [(a, ln.first_line) for a, ln in attrs]
        if s or not any_duplicate:
            out["attr equivs " + s] = impl.FindInstAttribTypeEquivs("x", s, None)
    impl.AnalyzeLogicalList(mod.lines)
    out["facts"] = [(ln.first_line, ln.tokens, tuple(map(_entry, ln.objs)), ln.type_equivs, line_positions(ln))
                    for ln in mod.lines]
    # fParsedCount is not compared: removing a line that is marked analysed
    # lowers it, also when the line's analysis never raised it (a clause
    # header such as "else:", a line that does not parse).
    return out


def assert_same_as_fresh(mod, where="", seen=()):
    """The answers of `mod` equal those of a fresh analysis of its text;
    `seen` are full names defined at some time before."""
    defs = definitions(mod)
    # Where two definitions share a full name, a fresh analysis resolves the
    # name to the first; after an edit, the analyzer resolves it to the one
    # added last.  Such names, and the scopes above them, are left out (and
    # the module's instance attribute query, which resolves every def of the
    # module by full name).
    dup = {d for d in defs if defs.count(d) > 1}
    scopes = [""] + sorted(d for d in set(defs) - dup if not any(x.startswith(d + ".") for x in dup))
    names = sorted({d.rsplit(".", 1)[-1] for d in defs})[:20] + ["self", "x", "os"]
    vanished = sorted(set(seen) - set(defs))
    fresh = pysource.ModuleAnalysis(mod.fAnalysisFactory, mod.fLocalName, source=mod.source)
    try:
        got = answers(mod, scopes, names, vanished, bool(dup))
        want = answers(fresh, scopes, names, vanished, bool(dup))
    finally:
        fresh.close()
    for key in want:
        assert got[key] == want[key], "%s differs %s" % (key, where)


# -- random edits of real modules ---------------------------------------------------

@pytest.mark.parametrize("name, count", [("textwrap.py", 500), ("json/decoder.py", 400), ("argparse.py", 700),
                                         ("dataclasses.py", 700), ("collections/__init__.py", 800),
                                         ("shlex.py", 400)])
def test_random_edits_answer_as_a_fresh_analysis(name, count):
    text = "".join(pysource.read_source(os.path.join(STDLIB, name)).splitlines(keepends=True)[:count])
    rng = random.Random(name)
    mod = pysource.ModuleAnalysis(pysource.Project(search_path=[]), "m", source=text)
    impl = mod.impl
    lines = mod.lines
    seen = set()
    for step in range(90):
        before, before_bodies = text, bodies(mod)
        text = random_edit(text, rng, WHOLE_ROW_KINDS)
        mod.set_source(text)
        # Queries between edits keep the caches warm; the search applies
        # the pending edit first.
        impl.SearchForAttribs({})
        after_bodies = bodies(mod)
        changed = {s for s in set(before_bodies) | set(after_bodies) if before_bodies.get(s) != after_bodies.get(s)}
        assert changed <= set(mod.last_changes.body_scopes)
        defs = definitions(mod)
        seen.update(defs)
        for scope in rng.sample([""] + defs, min(3, len(defs) + 1)):
            impl.GetBodyOfScope(scope)
            impl.FindTypeEquivs("self", scope)
        locals_ = sorted({d.rsplit(".", 1)[-1] for d in defs})
        for local in rng.sample(locals_, min(2, len(locals_))):
            impl.SearchForAttribs({"local_name": local})
        for scope in rng.sample(defs, min(2, len(defs))):
            impl.GetInstanceAttributes(scope, None)
        if step % 9 == 8:
            edit_diff = "".join(difflib.unified_diff(before.splitlines(True), text.splitlines(True), n=1))
            assert_same_as_fresh(mod, "after step %d:\n%s" % (step, edit_diff[:2000]), seen)
    assert mod.lines is lines
    mod.close()


# -- the attribute search against the ast module ------------------------------------------

def defined_names(tree, own_name):
    """(kind, full name, line) of every class, function and imported name
    the ast module shows defined, and the lines of star imports."""
    out, stars = [], set()

    def visit(node, scope):
        for child in ast.iter_child_nodes(node):
            full = lambda name: scope + "." + name if scope else name
            if isinstance(child, (ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
                kind = ll.kClassAttribKind if isinstance(child, ast.ClassDef) else ll.kFunctionAttribKind
                out.append((kind, full(child.name), child.lineno))   # the def line, below any decorators
                visit(child, full(child.name))
            elif isinstance(child, (ast.Import, ast.ImportFrom)):
                stars.update(child.lineno for alias in child.names if alias.name == "*")
                # A module importing itself records nothing; "import a.b" is
                # recorded under "a.b".
                out.extend((ll.kImportedAttribKind, full(alias.asname or alias.name), child.lineno)
                           for alias in child.names if alias.name != "*" and
                           (isinstance(child, ast.ImportFrom) or alias.name.split(".")[0] != own_name))
            else:
                visit(child, scope)

    visit(tree, "")
    return out, stars


@pytest.fixture(scope="module")
def stdlib_project():
    with pysource.Project() as project:
        yield project


@pytest.mark.parametrize("name", ["textwrap.py", "json/decoder.py", "argparse.py", "dataclasses.py",
                                  "collections/__init__.py", "typing.py", "enum.py", "inspect.py", "functools.py",
                                  "asyncio/base_events.py", "email/message.py", "difflib.py"])
def test_search_finds_what_ast_shows_defined(name, stdlib_project):
    path = os.path.join(STDLIB, name)
    text = pysource.read_source(path)
    mod = stdlib_project.module_for_path(path)
    want, stars = defined_names(ast.parse(text), mod.fLocalName)
    rows = text.split("\n")  # physical lines as the splitter counts them (not at form feeds)
    # An import that shares its line with another statement ahead of it
    # ("if not re: import re") stands on a line of that statement's kind, and
    # the search takes import entries from import lines only.
    want = [w for w in want if w[0] != ll.kImportedAttribKind or
            rows[w[2] - 1].lstrip().startswith(("import ", "from "))]
    kinds = (ll.kClassAttribKind, ll.kFunctionAttribKind, ll.kImportedAttribKind)
    got = [(r.fKind, r.fFullName, r.fLogical.first_line) for r in mod.impl.SearchForAttribs({})
           if r.fKind in kinds and r.fLogical.first_line not in stars]
    assert sorted(got) == sorted(want)
