#!/usr/bin/env python3
"""Random edits of real modules, each answered as a fresh analysis answers.

Takes the first rows of several standard-library modules, applies seeded
random edits of the kinds an editor makes (statements and blocks deleted,
inserted, replaced and moved, definitions renamed, doc strings, decorators
and future imports added and removed, and half-typed lines: a bare `def`,
an unclosed bracket, a `class` with no name, `def  # to do`, a line cut off
anywhere) through `ModuleAnalysis.set_source`, or with --range as the range
edit an editor sends (`ModuleAnalysis.edit`, the part of the text between
the common head and tail replaced), with queries between the edits so that
the caches are warm.  After every edit (or every few) it asks
the edited module and a fresh analysis of the same text the same questions
and compares the answers: the scope of every line, the full name of every
definition line and the line of every full name, scope bodies, the
attribute search (whole and by name, whole and by scope), type
equivalences, instance attributes and their equivalences, the future flags
and the facts of every line.

The answers are compared apart from the differences the README lists under
"Editing a module" (the order of exact name searches; full names defined
twice; fParsedCount).  Every other difference, and any query that fails
with an error the fresh analysis does not give, is counted by kind.

    PYTHONPATH=build/dev:python python3 tools/edit_differential.py            # 10,000 edits
    PYTHONPATH=build/dev:python python3 tools/edit_differential.py --edits 500 --seed 7 -v
    PYTHONPATH=build/dev:python python3 tools/edit_differential.py --range    # as range edits

Exit status 1 when any difference was found.
"""

from __future__ import annotations

import argparse
import collections
import difflib
import os
import random
import sys
import sysconfig
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Iterable

import logicalline as ll

import pysource
from pysource.edits import line_positions
from pysource.splitter import split_logical_lines

STDLIB = sysconfig.get_paths()["stdlib"]
DEFS = (ll.kClassDefIndex, ll.kFunctionDefIndex)
NOT_STATEMENTS = (ll.kCommentIndex, ll.kBlankLineIndex)

# (file under the standard library, rows taken from its start)
FILES = [("textwrap.py", 480), ("json/decoder.py", 356), ("argparse.py", 700), ("dataclasses.py", 600),
         ("collections/__init__.py", 700), ("shlex.py", 345), ("string.py", 300), ("fractions.py", 500)]

SNIPPETS = ["x = 1", "self.attr = Foo()", "self.x = {}", "import os.path as osp", "from collections import deque",
            "result = isinstance(v, int)", "'''A doc string.'''", "result = helper(a, b)", "self = other",
            "count += 1", "del x", "pass", "return None", "for item in items(): pass", "total: int = len(data)",
            "# a comment", ""]
BLOCKS = [["def new_func(self, a):", "    '''New.'''", "    self.fresh = a", "    return a"],
          ["class NewClass(Base):", "    def method(self):", "        self.x = []"],
          ["@staticmethod", "def static_one(a, b):", "    return a"],
          ["if flag:", "    y = 2"],
          ["try:", "    import json", "except ImportError:", "    json = None"]]
HEADERS = ["def %s_r(self, z):", "class %s2(Base):", "def captured():", "if cond:", "class Holder:"]
# What an editor holds while a line is being typed.
HALF_TYPED = ["def", "def  # to do", "class", "class 'x.y':", "async def", "def f(", "def g(self, a",
              "class A(", "x = (", "self.items = [", "return {", "class", "def ():", "if x", "@", "from . import (",
              "import", "from", "class 1:", "def if():", "x = '''"]


def _rows(stmts: list[ll.LogicalLine], i: int, j: int) -> tuple[int, int]:
    """Rows (0-based, end excluded) of statements i to j - 1."""
    return stmts[i].first_line - 1, stmts[j - 1].first_line - 1 + stmts[j - 1].line_count


# Kinds of edit random_edit makes: the first eleven keep to whole rows, the
# last two leave half-typed lines behind.
EDIT_KINDS = 13
WHOLE_ROW_KINDS = 11


def random_edit(text: str, rng: random.Random, kinds: int = EDIT_KINDS) -> str:
    """`text` with one random edit of the first `kinds` kinds."""
    rows = text.splitlines(keepends=True)
    stmts = [ln for ln in split_logical_lines(text) if ln.type not in NOT_STATEMENTS]
    if not stmts or not rows:
        return text + "x = 1\n"
    i = rng.randrange(len(stmts))
    at, pad = stmts[i].first_line - 1, " " * stmts[i].indent
    kind = rng.randrange(kinds)
    if kind == 0:       # a statement deleted or replaced
        a, b = _rows(stmts, i, i + 1)
        rows[a:b] = [pad + rng.choice(SNIPPETS[:-2]) + "\n"] if rng.random() < 0.5 else []
    elif kind == 1:     # a block deleted or moved
        j = i + 1
        while j < len(stmts) and stmts[j].indent > stmts[i].indent:
            j += 1
        a, b = _rows(stmts, i, j)
        block = rows[a:b]
        del rows[a:b]
        if rng.random() < 0.5:
            k = rng.randrange(len(rows) + 1)
            rows[k:k] = block
    elif kind in (2, 3, 4):
        lines = rng.choice(BLOCKS) if kind == 4 else [rng.choice(SNIPPETS)]
        rows[at:at] = [(pad + ln if ln else "") + "\n" for ln in lines]
    elif kind == 5:     # a block opener renamed or turned into another
        heads = [s for s in stmts if s.tokens[-1] == ":" and s.line_count == 1 and len(s.tokens) > 1]
        if heads:
            s = rng.choice(heads)
            header = rng.choice(HEADERS)
            rows[s.first_line - 1] = " " * s.indent + (header % s.tokens[1] if "%" in header else header) + "\n"
    elif kind == 6:     # a doc string added or removed
        defs = [k for k, s in enumerate(stmts[:-1]) if s.type in DEFS]
        if defs:
            k = rng.choice(defs)
            if stmts[k + 1].type == ll.kStringExpressionIndex:
                a, b = _rows(stmts, k + 1, k + 2)
                del rows[a:b]
            else:
                rows.insert(stmts[k].first_line - 1 + stmts[k].line_count,
                            " " * max(stmts[k + 1].indent, stmts[k].indent + 4) + "'''Doc.'''\n")
    elif kind == 7:     # a decorator added or removed
        decorators = [s for s in stmts if s.tokens[0] == "@"]
        funcs = [s for s in stmts if s.type == ll.kFunctionDefIndex]
        if decorators and rng.random() < 0.4:
            del rows[decorators[0].first_line - 1]
        elif funcs:
            s = rng.choice(funcs)
            rows.insert(s.first_line - 1, " " * s.indent + rng.choice(["@staticmethod", "@classmethod",
                                                                        "@property"]) + "\n")
    elif kind == 8:     # a block opened at a lower indent
        if stmts[i].indent:
            opener = rng.choice(["if flag:", "def captured(self):", "class Captured:"])
            rows.insert(at, " " * rng.choice(range(0, stmts[i].indent, 4)) + opener + "\n")
    elif kind == 9:     # a future import added at the top, or one removed
        future = [s for s in stmts if s.tokens[:2] == ("from", "__future__")]
        if future and rng.random() < 0.5:
            del rows[future[0].first_line - 1]
        else:
            top = stmts[0].line_count if stmts[0].type == ll.kStringExpressionIndex else 0
            rows.insert(top, "from __future__ import %s\n" % rng.choice(["annotations", "division"]))
    elif kind == 10:    # a row deleted or doubled, or a string opened
        k = rng.randrange(len(rows))
        rows[k:k + 1] = rng.choice([[], [rows[k], rows[k]], ['"""\n', rows[k]]])
    elif kind == 11:    # a half-typed line inserted, or a statement's row replaced by one
        half = pad + rng.choice(HALF_TYPED) + "\n"
        if rng.random() < 0.5:
            rows.insert(at, half)
        else:
            rows[at] = half
    else:               # a row cut off anywhere, as if typing had stopped there
        k = rng.randrange(len(rows))
        row = rows[k].rstrip("\n")
        rows[k] = row[:rng.randrange(len(row) + 1)] + "\n"
    return "".join(rows)


# -- the questions ------------------------------------------------------------------

def _entry(o: Any) -> Any:
    return (o[0], getattr(o[1], "fLocalName", o[1]), o[2]) if type(o) is tuple else o


def _line(line: ll.LogicalLine | None) -> Any:
    return None if line is None else (line.first_line, line.tokens)


def _ref(r: Any) -> Any:
    return (r.fKind, r.fLocalName, r.fFullName, _line(r.fLogical),
            None if r.fImportRef is None else _entry(r.fImportRef))


def _ask(question: Callable[[], Any]) -> Any:
    """The answer, or the error raised, as a value to compare."""
    try:
        return question()
    except Exception as e:   # compared: both sides must fail alike
        return ("error", type(e).__name__, str(e))


@dataclass
class Plan:
    """What to ask, worked out from the text's lines (the same for both)."""
    scopes: list[str]
    classes: list[str]
    def_names: list[str]
    names: list[str]
    vanished: list[str]
    any_duplicate: bool


def placed(lines: Iterable[ll.LogicalLine]) -> list[tuple[str, str | None, ll.LogicalLine]]:
    """(scope, full name defined or None, line) of each statement line, the
    scopes found from indentation."""
    out: list[tuple[str, str | None, ll.LogicalLine]] = []
    stack: list[tuple[int, str]] = []
    for line in lines:
        if line.type in NOT_STATEMENTS:
            continue
        while stack and stack[-1][0] >= line.indent:
            stack.pop()
        scope = stack[-1][1] if stack else ""
        defined = None
        if line.type in DEFS and len(line.tokens) > 1:
            defined = scope + "." + line.tokens[1] if scope else line.tokens[1]
        out.append((scope, defined, line))
        stack.append((line.indent, defined or scope))
    return out


def make_plan(lines: list[ll.LogicalLine], seen: set[str]) -> Plan:
    rows = placed(lines)
    defs = [d for _, d, _ in rows if d]
    dup = {d for d in defs if defs.count(d) > 1}
    # Where two definitions share a full name, a fresh analysis resolves the
    # name to the first and an edited module to the one added last: such
    # names, and the scopes above them, are not asked about by name.
    clear = sorted(d for d in set(defs) - dup if not any(x.startswith(d + ".") for x in dup))
    classes = sorted({d for _, d, ln in rows if d in clear and ln.type == ll.kClassDefIndex})
    locals_ = sorted({d.rsplit(".", 1)[-1] for d in defs})
    return Plan(scopes=[""] + clear, classes=classes, def_names=clear,
                names=locals_[:25] + ["self", "x", "os", "result", "self.x", "json"],
                vanished=sorted(seen - set(defs)), any_duplicate=bool(dup))


def answers(mod: pysource.ModuleAnalysis, plan: Plan) -> dict[str, Any]:
    """Every question of the plan with its answer."""
    impl = mod.impl
    lines = mod.lines
    out: dict[str, Any] = {}
    out["search"] = _ask(lambda: [_ref(r) for r in impl.SearchForAttribs({})])
    for i, line in enumerate(lines):
        out["scope-of-line %d" % i] = _ask(lambda: (lambda s: (_line(s), impl.GetFullNameForScopeDef(s)))(
            impl.FindScopeForLine(line)))
        if line.type in DEFS:
            out["full-name %d" % i] = _ask(lambda: impl.GetFullNameForScopeDef(line))
    for name in plan.def_names:
        out["def %s" % name] = _ask(lambda: _line(impl.GetScopeDefForFullName(name)))
    for name in plan.vanished:
        out["vanished %s" % name] = _ask(lambda: _line(impl.GetScopeDefForFullName(name)))
    for name in plan.names:
        # Exact names come from the name cache, in the order lines were
        # analysed: compared as sets.
        out["names %s" % name] = _ask(lambda: sorted(map(repr, map(_ref, impl.SearchForAttribs(
            {"local_name": name, "scope_name": "*"})))))
    for s in plan.scopes:
        out["body %s" % s] = _ask(lambda: [_line(ln) for ln in impl.GetBodyOfScope(s)])
        out["scoped %s" % s] = _ask(lambda: [_ref(r) for r in impl.SearchForAttribs({"scope_name": s})])
        for name in ("self", "x", "result", "cls", "key"):
            out["equivs %s %s" % (s, name)] = _ask(lambda: impl.FindTypeEquivs(name, s))
    for c in plan.classes + ([""] if not plan.any_duplicate else []):
        attrs = _ask(lambda: impl.GetInstanceAttributes(c, None))
        if isinstance(attrs, list):
            out["attrs %s" % c] = [(a, _line(ln)) for a, ln in attrs]
            for a in sorted({a for a, _ in attrs} | {"x"}):
                out["attr-equivs %s %s" % (c, a)] = _ask(lambda: impl.FindInstAttribTypeEquivs(a, c, None))
        else:
            out["attrs %s" % c] = attrs
    out["future"] = dict(impl.fFromFutureFlags)
    out["future-host"] = dict(mod.future_flags)
    impl.AnalyzeLogicalList(lines)
    out["facts"] = [(ln.first_line, ln.tokens, tuple(map(_entry, ln.objs)), ln.type_equivs, line_positions(ln))
                    for ln in lines]
    return out


def warm_queries(mod: pysource.ModuleAnalysis, rng: random.Random) -> None:
    """A few queries an editor makes between keystrokes."""
    impl = mod.impl
    defs = [d for _, d, _ in placed(mod.lines) if d]
    for scope in rng.sample([""] + defs, min(3, len(defs) + 1)):
        _ask(lambda: impl.GetBodyOfScope(scope))
        _ask(lambda: impl.FindTypeEquivs("self", scope))
    locals_ = sorted({d.rsplit(".", 1)[-1] for d in defs})
    for local in rng.sample(locals_, min(2, len(locals_))):
        impl.SearchForAttribs({"local_name": local})
    for scope in rng.sample(defs, min(2, len(defs))):
        _ask(lambda: impl.GetInstanceAttributes(scope, None))
    if mod.lines:
        line = rng.choice(mod.lines)
        _ask(lambda: mod.scope_of(line))


# -- the run ------------------------------------------------------------------------

@dataclass
class Counts:
    edits: int = 0
    comparisons: int = 0
    queries: int = 0
    differences: collections.Counter[str] = field(default_factory=collections.Counter)
    examples: list[str] = field(default_factory=list)
    seconds: float = 0.0

    def report(self) -> str:
        kinds = ", ".join("%s %d" % kv for kv in sorted(self.differences.items())) or "none"
        return ("%d edits, %d comparisons with a fresh analysis, %d query answers compared, "
                "differences: %s (%.0f s)" % (self.edits, self.comparisons, self.queries, kinds, self.seconds))


def _kind(key: str) -> str:
    return key.split(" ", 1)[0]


def compare(mod: pysource.ModuleAnalysis, seen: set[str], counts: Counts, where: str) -> None:
    plan = make_plan(mod.lines, seen)
    fresh = pysource.ModuleAnalysis(mod.fAnalysisFactory, mod.fLocalName, source=mod.source)
    try:
        want = answers(fresh, plan)
        got = answers(mod, plan)
    finally:
        fresh.close()
    counts.comparisons += 1
    counts.queries += len(want)
    for key in want:
        if got.get(key) != want[key]:
            kind = _kind(key)
            counts.differences[kind] += 1
            if len(counts.examples) < 20:
                counts.examples.append("%s: %s\n  edited: %.300r\n  fresh:  %.300r" % (where, key, got.get(key),
                                                                                    want[key]))
    for value in list(got.values()) + list(want.values()):
        if isinstance(value, tuple) and value[:2] == ("error", "SystemError"):
            counts.differences["crash"] += 1


def range_edit(old: str, new: str) -> tuple[tuple[int, int], tuple[int, int], str]:
    """The range edit that turns `old` into `new`: the (row, column) start
    and end in `old` of what lies between the common head and tail, and the
    text that replaces it."""
    n = min(len(old), len(new))
    head = 0
    while head < n and old[head] == new[head]:
        head += 1
    tail = 0
    while tail < n - head and old[-1 - tail] == new[-1 - tail]:
        tail += 1

    def position(offset: int) -> tuple[int, int]:
        return old.count("\n", 0, offset) + 1, offset - (old.rfind("\n", 0, offset) + 1)
    return position(head), position(len(old) - tail), new[head:len(new) - tail]


def session(path: str, rows: int, edits: int, seed: int, counts: Counts, compare_every: int = 1,
            verbose: bool = False, by_range: bool = False) -> None:
    """`edits` random edits of the first `rows` rows of `path`, in one
    module analysis; with `by_range`, each handed over as a range edit."""
    text = "".join(pysource.read_source(path).splitlines(keepends=True)[:rows])
    rng = random.Random("%s:%d" % (os.path.basename(path), seed))
    project = pysource.Project(search_path=[])
    mod = project.analyze_source(text, module_name="m")
    seen: set[str] = set()
    try:
        for step in range(edits):
            before = text
            text = random_edit(text, rng)
            if by_range:
                mod.edit(*range_edit(before, text))
                assert mod.source == text
            else:
                mod.set_source(text)
            warm_queries(mod, rng)
            seen.update(d for _, d, _ in placed(mod.lines) if d)
            counts.edits += 1
            if (step + 1) % compare_every == 0 or step == edits - 1:
                diffs = sum(counts.differences.values())
                where = "%s seed %d step %d" % (os.path.relpath(path, STDLIB), seed, step)
                compare(mod, seen, counts, where)
                if verbose and sum(counts.differences.values()) != diffs:
                    print(where, "".join(difflib.unified_diff(before.splitlines(True), text.splitlines(True),
                                                              n=1))[:2000], file=sys.stderr)
    finally:
        project.close()


def run(edits: int, seed: int = 0, files: list[tuple[str, int]] | None = None, per_session: int = 100,
        compare_every: int = 1, verbose: bool = False, by_range: bool = False) -> Counts:
    files = files or FILES
    counts = Counts()
    start = time.perf_counter()
    n = 0
    while counts.edits < edits:
        name, rows = files[n % len(files)]
        session(os.path.join(STDLIB, name), rows, min(per_session, edits - counts.edits), seed + n, counts,
                compare_every, verbose, by_range)
        n += 1
    counts.seconds = time.perf_counter() - start
    return counts


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--edits", type=int, default=10000, help="edits in all (default 10000)")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--per-session", type=int, default=100,
                    help="edits made to one module before starting again from a file")
    ap.add_argument("--compare-every", type=int, default=1, help="compare after every n-th edit")
    ap.add_argument("-v", "--verbose", action="store_true", help="show the edit before each difference")
    ap.add_argument("--range", action="store_true", help="hand each edit over as a range edit (ModuleAnalysis.edit)")
    args = ap.parse_args(argv)
    counts = run(args.edits, args.seed, per_session=args.per_session, compare_every=args.compare_every,
                 verbose=args.verbose, by_range=args.range)
    print(counts.report())
    for example in counts.examples:
        print(example)
    return 1 if counts.differences else 0


if __name__ == "__main__":
    sys.exit(main())
