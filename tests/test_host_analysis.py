"""Module analyses end to end: the facts the analyzer records for every
binding form, imports resolved by the project's factory, star imports and
import cycles, and whole standard-library modules."""

import ast
import os
import sysconfig

import logicalline as ll
import pytest

import pysource

STDLIB = sysconfig.get_paths()["stdlib"]


def _entry(o):
    if type(o) is tuple:
        return (o[0], o[1].fLocalName if isinstance(o[1], pysource.ModuleAnalysis) else o[1], o[2])
    return o


@pytest.mark.parametrize("source, entries, pairs", [
    ("a = b = f.g()", ("a", "b"), (("a", "f.g()"), ("b", "f.g()"))),
    ("a, b = b, a", ("a", "b"), ()),
    ("a, *b = v", ("a", "b"), (("b", "::list:"),)),
    ("[a, (b, c.d)] = v", ("a", "b", "c.d"), ()),
    ("x += y.z", ("x",), ()),
    ("x: int = y.z", ("x",), (("x", "y.z"),)),
    ("x: int", ("x",), ()),
    ("with open(f) as g, h() as (i, j): pass", ("g", "i", "j"), ()),
    ("if (m := re.match(p, s)): pass", ("m",), (("m", "re.match(p, s)"),)),
    # A comprehension's names bind nothing, its iterable is walked.
    ("r = [q := f(z) for z in g(isinstance(w, A)) if isinstance(z, B)]", ("r", "q"), (("w", "A:"),)),
    # A lambda's body is a scope of its own; its defaults are not.
    ("g = lambda a, b=isinstance(c, D): isinstance(a, B)", ("g",), (("c", "D:"),)),
    ("for i, (j, k) in items(): pass", ("i", "j", "k"), ()),
    ("x = a // b if c else d", ("x",), ()),
    ("x = f(a // b, *c, k={1: 2}, **d)", ("x",), (("x", "f(a // b, *c, k = {1: 2}, **d)"),)),
    ("x = {'a': 1}; y = [1]; z = 'z'; t = ()", ("x", "y", "z", "t"),
     (("x", "::dict:"), ("y", "::list:"), ("z", "::string:"), ("t", "::tuple:"))),
    ("assert isinstance(x, (A, b.B)) and not isinstance(y, C)", (), (("x", "(A, b.B):"), ("y", "C:"))),
    ("global g; del h; x[0] = 1", (), ()),
    ("match p:\n    case Point(x=a) | [a, *rest] if a: pass", ("a", "a", "rest"), ()),
    ("lambda: (y := 1)", (), ()),
])
def test_what_each_binding_form_records(source, entries, pairs):
    mod = pysource.Project(search_path=[]).analyze_source(source)
    got = [(line.objs, line.type_equivs) for line in mod.lines if line.objs or line.type_equivs]
    mod.close()
    assert got == ([(entries, pairs)] if entries or pairs else [])


def test_methods_and_definitions():
    source = ("class C(Base, m.Mixin):\n"
              "    def __init__(self, x):\n"
              "        self.items = []\n"
              "        self.other = x.y\n"
              "    @staticmethod\n    def s(a): pass\n"
              "    @classmethod\n    def c(cls): pass\n"
              "    def __new__(cls): pass\n    def v(*args): pass\n    def k(*, k): pass\n"
              "async def f(a, *, b):\n    return self.x\n")
    mod = pysource.Project(search_path=[]).analyze_source(source)
    # Only a method's first positional parameter is its instance.
    assert {" ".join(line.tokens): line.type_equivs for line in mod.lines if line.type_equivs} == {
        "def __init__ ( self , x ) :": (("self", "C:"),), "self . items = [ ]": (("self.items", "::list:"),),
        "self . other = x . y": (("self.other", "x.y"),), "return self . x": (("return", "self.x"),)}
    assert mod.lines[0].objs == ("Base", "m.Mixin")
    assert mod.names() == ["C", "f"] and mod.names("C") == ["__init__", "s", "c", "__new__", "v", "k"]
    assert mod.line_at(4) is mod.lines[3] and mod.line_at(99) is None
    assert mod.scope_of(mod.line_at(4)) == "C.__init__" and mod.scope_of(mod.lines[0]) == ""
    assert mod.type_equivs("self", "C.__init__") == ["C:"]
    assert [name for name, _ in mod.impl.GetInstanceAttributes("C", None)] == ["items", "other"]
    mod.close()
    assert mod._impl is None
    mod = pysource.analyze_source("from __future__ import annotations, division as d  # why\n"
                                  "from __future__ import (generators)\nx = 1\n")
    assert mod.future_features() == ["annotations", "division", "generators"]


@pytest.fixture
def tree(tmp_path):
    """A project root with a package, and a second root."""
    def write(rel, text=""):
        path = tmp_path / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
        return str(path)
    write("root/pkg/__init__.py", "from .core import *\nfrom .core import helper as _helper\n")
    write("root/pkg/core.py", "__all__ = ['A', 'helper']\n__all__ += ['_extra']\n"
                              "class A: pass\ndef helper(): pass\nB = 1\n_extra = 2\n")
    write("root/pkg/sub/__init__.py")
    write("root/pkg/sub/leaf.py", "from .. import core as c\nfrom ..core import A\nfrom ... import nothing\n")
    write("root/plain.py", "import pkg.sub.leaf as leaf, pkg\nfrom pkg.core import B as b, A\n"
                           "public = 1\n_private = 2\nimport sys, not_there\n")
    write("root/star.py", "from plain import *\n")
    write("root/cyc_a.py", "from cyc_b import *\na = 1\n")
    write("root/cyc_b.py", "from cyc_a import *\nb = 1\n")
    write("root/selfstar.py", "from selfstar import *\nx = 1\n")
    write("other/plain.py", "shadowed = 1\n")
    write("other/extra.py", "extra = 1\n")
    return tmp_path


def test_factory_resolves_and_caches(tree):
    root, other = str(tree / "root"), str(tree / "other")
    sub = os.path.join(root, "pkg", "sub")
    project = pysource.Project(roots=[root], search_path=[other])
    find = project.FindAnalysisByName
    plain, core = find("plain", None), find("pkg.core", None)
    assert (plain.fFileName, plain.fLocalName) == (os.path.join(root, "plain.py"), "plain")
    assert find("plain", "/anywhere") is plain and find("extra", None).fPackageDir == other
    assert (core.fLocalName, core.fPackageDir) == ("pkg.core", os.path.join(root, "pkg"))
    assert [find(n, d) for n, d in [("..core", sub), ("//core", sub), ("pkg/core", None)]] == [core] * 3
    assert [find(n, sub).fLocalName for n in (".", "..")] == ["pkg.sub", "pkg"]
    missing = [("sys", None), ("not_there", None), (".core", None), ("....x", sub), ("a b", None), ("", None)]
    assert [find(n, d) for n, d in missing] == [None] * len(missing)
    assert not core._lines  # found, not analysed
    assert project.analyze_file(os.path.join(root, "pkg", "core.py")) is core and core._lines
    project.close()


@pytest.mark.parametrize("decorators, instance", [
    ("@staticmethod\n", False),
    ("@other\n    @classmethod\n", False),
    ("@staticmethod\n    # note\n\n", False),
    ("@property\n", True),
    ("@staticmethod\n    x = 1\n", True),
    ("@staticmethod\n    def g(b): pass\n", True),
])
def test_decorators_before_a_method(decorators, instance):
    # A static or class method decorator, with only comments and blank lines
    # before the def, means its first parameter is no instance.
    source = "class C:\n    " + decorators + "    def m(a): pass\n"
    mod = pysource.Project(search_path=[]).analyze_source(source)
    equivs = [line.type_equivs for line in mod.lines if line.tokens[:2] == ("def", "m")]
    assert equivs == [(("a", "C:"),) if instance else ()]


def test_factory_follows_symbolic_links(tmp_path):
    # A module reached through a link is the analysis of the file it links
    # to, however often and in whichever order the two names are looked up.
    (tmp_path / "real.py").write_text("x = 1\n")
    (tmp_path / "alias.py").symlink_to(tmp_path / "real.py")
    project = pysource.Project(roots=[str(tmp_path)], search_path=[])
    find = project.FindAnalysisByName
    alias = find("alias", None)
    assert alias.fFileName == str(tmp_path / "real.py") and alias.fLocalName == "alias"
    assert [find(n, None) for n in ("alias", "real", "alias")] == [alias] * 3
    assert project.module_for_path(str(tmp_path / "alias.py")) is alias
    # A folder reached through a link, and a file linked from another folder.
    (tmp_path / "pkg").mkdir()
    (tmp_path / "pkg" / "m.py").write_text("y = 2\n")
    (tmp_path / "pkglink").symlink_to(tmp_path / "pkg")
    (tmp_path / "pkg" / "far.py").symlink_to(tmp_path / "real.py")
    m = project.module_for_path(str(tmp_path / "pkglink" / "m.py"))
    assert m.fFileName == str(tmp_path / "pkg" / "m.py")
    assert project.module_for_path(str(tmp_path / "pkg" / "m.py")) is m
    assert project.module_for_path(str(tmp_path / "pkglink" / "far.py")) is alias
    assert project.module_for_path(str(tmp_path / "pkglink" / ".." / "real.py")) is alias
    project.close()


def test_imports_and_star_imports(tree):
    project = pysource.Project(roots=[str(tree / "root")], search_path=[])
    find = project.FindAnalysisByName
    entries = lambda mod: [_entry(o) for line in mod.analyze().lines for o in line.objs]  # noqa: E731
    assert entries(find("plain", None)) == [
        ("leaf", "pkg", "sub.leaf"), ("pkg", "pkg", ""), ("b", "pkg.core", "B"), ("A", "pkg.core", "A"),
        "public", "_private", ("sys", None, ""), ("not_there", None, "")]
    assert entries(find("pkg.sub.leaf", None)) == [("c", "pkg", "core"), ("A", "pkg.core", "A"),
                                                   ("nothing", None, "nothing")]
    pkg, core, star = find("pkg", None), find("pkg.core", None), find("star", None)
    assert pkg.names() == ["A", "helper", "_extra", "_helper"]
    # A star import takes the names in __all__, or else the public names.
    assert [a.fLocalName for a in core.GetScopeAttributes("", 1, 0)] == ["A", "helper", "_extra"]
    assert [a.fLocalName for a in pkg.GetScopeAttributes("", 1, 0)] == ["A", "helper"]
    assert star.names() == ["leaf", "pkg", "b", "A", "public", "sys", "not_there"]
    r = star.GetScopeAttributes("", 0, 0)[0]
    assert type(r) is pysource.AttribRef and r.fLogical is star.lines[0] and r.fImportRef[0] == "leaf"
    assert (r.fKind, r.fLocalName, r.fFullName, r.fModule) == (ll.kImportedAttribKind, "leaf", "leaf", star)
    project.close()


def test_star_import_cycles_terminate(tree):
    project = pysource.Project(roots=[str(tree / "root")], search_path=[])
    a = project.FindAnalysisByName("cyc_a", None)
    assert a.names() == ["b", "a"]
    b = project.FindAnalysisByName("cyc_b", None)
    # b's star line was left for later while a was frozen; asked again, it
    # gets a's names.
    assert set(b.names()) == {"a", "b"} and not a.IsFrozen() and not b.IsFrozen()
    me = project.FindAnalysisByName("selfstar", None)
    assert me.names() == ["x"] and not me.lines[0].parsed
    project.close()


def _module_level_bindings(tree):
    """Names bound at module level by assignments, imports, defs and
    classes, outside clause-header lines (else:, except ...:)."""
    names = set()
    stack = list(tree.body)
    while stack:
        node = stack.pop()
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names.add(node.name)
            continue
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update(a.asname or a.name for a in node.names if a.name != "*")
        elif isinstance(node, (ast.Assign, ast.AugAssign, ast.AnnAssign)):
            for t in getattr(node, "targets", None) or [node.target]:
                names.update(n.id for n in ast.walk(t) if isinstance(n, ast.Name) and isinstance(n.ctx, ast.Store))
        for field in ("body", "orelse", "finalbody", "handlers"):
            stack.extend(getattr(node, field, ()))
    return names


SAMPLE = sorted(n for n in os.listdir(STDLIB) if n.endswith(".py"))[::4]


def test_standard_library_modules(capfd):
    """Every module-level binding is among the names the lines define, and
    analysing whole modules writes nothing on stderr."""
    assert len(SAMPLE) >= 30
    project = pysource.Project(search_path=[STDLIB])
    header_kinds = (ll.kElseBeginningIndex, ll.kElifBeginningIndex, ll.kExceptIndex, ll.kTryIndex,
                    ll.kFinallyIndex)
    for name in SAMPLE:
        mod = project.analyze_file(os.path.join(STDLIB, name))
        defined = set()
        for line in mod.lines:
            if line.type in (ll.kClassDefIndex, ll.kFunctionDefIndex):
                defined.add(line.tokens[1])
            else:
                defined.update(o[0] if type(o) is tuple else o for o in line.objs)
        # Names bound only on a clause header line (`except E: x = None`)
        # are not analysed.
        skipped = {t for line in mod.lines if line.type in header_kinds for t in line.tokens}
        expected = _module_level_bindings(ast.parse(mod.source))
        missing = {n for n in expected - defined - skipped
                   if not any(d.startswith(n + ".") for d in defined)}
        assert not missing, (name, missing)
    project.close()
    assert capfd.readouterr().err == ""


def test_long_star_import_chains_complete(tmp_path):
    for i in range(100):
        star = "from m%d import *\n" % (i + 1) if i < 99 else ""
        (tmp_path / ("m%d.py" % i)).write_text(star + "v%d = 1\n" % i)
    project = pysource.Project(roots=[str(tmp_path)], search_path=[])
    head = project.FindAnalysisByName("m0", None)
    names = head.names()
    assert sorted(names) == sorted("v%d" % i for i in range(100)) and names[-1] == "v0"
    assert all(line.parsed for mod in project.modules.values() for line in mod.lines)
    project.close()


@pytest.mark.parametrize("host", ["native", "python"])
def test_parse_error_leaves_the_analysis_alone(host):
    """A line's parse error (the language server's diagnostics, the index's
    lost lines) comes from the module's own grammar, and asking for it does
    not count the line as analysed."""
    project = pysource.Project(search_path=[], host=host)
    mod = pysource.ModuleAnalysis(project, "m", source="x = f(a))\ny = 1 \u20ac 2\nclass A:\n    z = 3\n")
    errors = [mod.parse_error(line) for line in mod.lines]
    assert [e.msg if e else None for e in errors] == ["unmatched ')'", "invalid character '\u20ac' (U+20AC)",
                                                        None, None]
    assert not any(line.parsed for line in mod.lines)
    mod.analyze()
    assert mod.lines[3].objs == ("z",)
    project.close()
