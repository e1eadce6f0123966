"""The type stubs of the two extension modules: a script that drives the
analyzer the way an editor does type-checks cleanly under --strict (and runs,
so the stubs describe calls that work), wrong uses are rejected with the
expected errors, and stubtest finds every stubbed name at run time and every
run-time name in the stubs."""

import ast
import os
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STUBS = os.path.join(ROOT, "stubs")
PACKAGE = os.path.join(ROOT, "python")

# The host modules held to --strict (every module of the package, found on
# disk so that a new one cannot be left out), with the stubs and the tools
# written in Python.
STRICT = sorted("pysource/" + name for name in os.listdir(os.path.join(PACKAGE, "pysource"))
                if name.endswith(".py")) + \
    ["../stubs/logicalline.pyi", "../stubs/pysource_impl.pyi", "../stubs/pysource_grammar.pyi",
     "../tools/edit_differential.py"] + \
    sorted("../fuzz/" + name for name in os.listdir(os.path.join(PACKAGE, "..", "fuzz")) if name.endswith(".py"))

# Typed editor-side code: it takes the host objects from its caller and
# exercises the analyzer's queries, the change processing and the stored
# form.
EDITOR = textwrap.dedent('''
    from __future__ import annotations

    from typing import TYPE_CHECKING, Any

    import logicalline
    import pysource_impl
    from logicalline import LogicalLine

    if TYPE_CHECKING:
        # Only the checker knows the analyzer's type and the host protocols
        # by name.
        from pysource_impl import (HostAttribRefClass, HostGrammar, HostModuleAnalysis,
                                   HostTransformer, PySourceImpl)


    class Delta:
        def __init__(self, removed: list[LogicalLine], added: list[LogicalLine]) -> None:
            self.removed = removed
            self.added = added


    def outline(impl: PySourceImpl, lines: list[LogicalLine]) -> list[str]:
        out: list[str] = []
        for line in lines:
            if line.type in (logicalline.kClassDefIndex, logicalline.kFunctionDefIndex):
                out.append(impl.GetFullNameForScopeDef(line))
        return out


    def session(mod_analysis: HostModuleAnalysis, grammar: HostGrammar[Any], xformer: HostTransformer[Any],
                attribref_class: HostAttribRefClass[HostModuleAnalysis],
                lines: list[LogicalLine], pool: dict[str, str]) -> dict[str, Any]:
        impl = pysource_impl.CreatePySourceImpl(mod_analysis, grammar, xformer, pool,
                                                attribref_class, logicalline)
        try:
            impl.SetLogicalList(lines)
            done: int = impl.AnalyzeLogicalList(lines)
            parsed: int = impl.fParsedCount
            names = outline(impl, lines)
            method = impl.GetScopeDefForFullName("A.f")
            assert method is not None
            scope = impl.FindScopeForLine(method)
            scope_name = impl.GetFullNameForScopeDef(scope)
            body = impl.GetBodyOfScope("A.f")
            first: int = body[0].first_line
            refs = impl.SearchForAttribs({"scope_name": "A", "local_name": "*"})
            equivs = impl.FindTypeEquivs("self", "A.f")
            attribs = impl.GetInstanceAttributes("A", None) or []
            attrib_names = [name for name, _line in attribs]
            inst_equivs = impl.FindInstAttribTypeEquivs("x", "A", ["f"])
            index = impl.IndexForLineno(method.first_line)
            names_list, data = impl.SerializeLogicalList(lines)
            size = sum(len(d) for d in data)
            again = impl.DeserializeLogicalList((names_list, data))
            tokens: tuple[str, ...] = again[index].tokens
            new = LogicalLine(["y", "=", "2"], first_line=99, type=logicalline.kAssignmentIndex,
                              positions=[(99, 0), (99, 2), (99, 4)])
            lines.append(new)
            body_changes, classes, functions, docs = impl.LogicalCacheModified(
                Delta([], []), Delta([], [new]))
            impl.AnalyzeLogical(new)
            new_names = [o for o in new.objs if isinstance(o, str)]
            return {"done": done, "parsed": parsed, "outline": names, "scope": scope_name,
                    "first": first, "refs": len(refs), "equivs": equivs,
                    "attribs": attrib_names, "inst_equivs": inst_equivs,
                    "size": size, "tokens": tokens, "changes": body_changes + classes + functions + docs,
                    "new_names": new_names, "dotted": pysource_impl.IsDottedName("a.b")}
        finally:
            impl.destroy()
''')

SOURCE = "class A:\n    def f(self, v):\n        self.x = v\n        return self\n"

# Wrong uses, one per line, with the error code each must draw and a piece
# of its message (the wording of messages varies between checker versions).
WRONG = [
    ("impl.AnalyzeLogical('a = 1')", "arg-type", '"AnalyzeLogical"'),
    ("line.parsed = True", "misc", '"parsed"'),
    ("n: str = impl.fParsedCount", "assignment", '"int"'),
    ("impl.FindTypeEquivs('self')", "call-arg", '"FindTypeEquivs"'),
    ("impl.SetLogicalList((line,))", "arg-type", '"SetLogicalList"'),
    ("impl.GetBodyOfScope(full_name='A')", "call-arg", '"full_name"'),
    ("impl.Analyze(line)", "attr-defined", '"Analyze"'),
    ("LogicalLine(['a'], indentation=4)", "call-arg", '"indentation"'),
    ("class Mine(LogicalLine): pass", "misc", "final"),
    ("t: list[str] = line.tokens", "assignment", '"tuple[str, ...]"'),
    ("pysource_impl.IsDottedName('a') + ''", "operator", '"str"'),
    # Host objects that lack what the analyzer calls.
    ("pysource_impl.CreatePySourceImpl(line, Grammar(), Transformer(), {}, AttribRef, logicalline)",
     "misc", '"CreatePySourceImpl"'),
    ("pysource_impl.CreatePySourceImpl(mod, Transformer(), Transformer(), {}, AttribRef, logicalline)",
     "arg-type", '"HostGrammar'),
    ("pysource_impl.CreatePySourceImpl(mod, Grammar(), Grammar(), {}, AttribRef, logicalline)",
     "arg-type", '"HostTransformer'),
    ("pysource_impl.CreatePySourceImpl(mod, Grammar(), Transformer(), {}, LogicalLine, logicalline)",
     "arg-type", '"HostAttribRefClass'),
    ("impl.LogicalCacheModified(mod, [line])", "arg-type", '"HostChangeSet"'),
    ("k: int = impl.FindTypeEquivs('x', '')[0]", "assignment", '"str"'),
]


def run_mypy(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text)
    env = dict(os.environ, MYPYPATH=os.pathsep.join([STUBS, PACKAGE]))
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--show-error-codes",
         "--cache-dir", str(tmp_path / ".mypy_cache"), str(path)],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300)
    return proc.returncode, proc.stdout + proc.stderr


def test_editor_code_checks_and_runs(tmp_path):
    code, out = run_mypy(tmp_path, "editor.py", EDITOR)
    assert code == 0, out

    import pysource
    namespace = {}
    exec(compile(EDITOR, "editor.py", "exec"), namespace)
    pool = {}
    mod = pysource.ModuleAnalysis(pysource.Project(search_path=[]), "m", source=SOURCE)
    lines = pysource.split_logical_lines(SOURCE, pool)
    result = namespace["session"](mod, pysource.Grammar(), pysource.Transformer(pool),
                                  pysource.AttribRef, lines, pool)
    assert result["done"] == 1 and result["parsed"] > 0
    assert result["outline"] == ["A", "A.f"]
    assert result["scope"] == "A" and result["first"] == 3
    assert result["equivs"] == ["A:"] and result["attribs"] == ["x"]
    assert result["inst_equivs"] == [("A.f", ["v"])]
    assert result["tokens"] == ("def", "f", "(", "self", ",", "v", ")", ":")
    assert result["changes"] == [""] and result["new_names"] == ["y"]
    assert result["dotted"] == 1


def test_wrong_uses_are_rejected(tmp_path):
    head = textwrap.dedent('''
        import logicalline
        import pysource_impl
        from logicalline import LogicalLine
        from pysource_impl import PySourceImpl
        from pysource import AttribRef, Grammar, ModuleAnalysis, Transformer

        def use(impl: PySourceImpl, line: LogicalLine, mod: ModuleAnalysis) -> None:
        ''')
    first = head.count("\n") + 1
    text = head + "".join("    " + stmt + "\n" for stmt, _, _ in WRONG)
    code, out = run_mypy(tmp_path, "wrong.py", text)
    assert code == 1, out
    for i, (stmt, code, piece) in enumerate(WRONG):
        where = "wrong.py:%d: error: " % (first + i)
        assert any(l.startswith(where) and l.endswith("[%s]" % code) and piece in l
                   for l in out.splitlines()), (stmt, out)


def test_stubs_match_the_modules(tmp_path):
    # The analyzer's type is not reachable by name at run time, so stubtest
    # passes it over: compare its stubbed members with a live analyzer's.
    from hostobjects import Host
    with open(os.path.join(STUBS, "pysource_impl.pyi")) as f:
        tree = ast.parse(f.read())
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "PySourceImpl")
    stubbed = {n.name for n in cls.body if isinstance(n, ast.FunctionDef)}
    impl = Host().impl
    try:
        # The f... attributes are answered by the type's attribute lookup
        # and are not listed by dir().
        unstubbed = {n for n in dir(impl) if not n.startswith("__")} - stubbed
        missing = {n for n in stubbed if not hasattr(impl, n)}
    finally:
        impl.destroy()
    assert not unstubbed and not missing

    # stubtest imports the real modules: hand it this process's search path.
    env = dict(os.environ, MYPYPATH=STUBS, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", os.devnull,
         "pysource_impl", "logicalline"],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr


@pytest.mark.parametrize("version", ["3.10", "%d.%d" % sys.version_info[:2]])
def test_host_package_checks_strictly(tmp_path, version):
    env = dict(os.environ, MYPYPATH=STUBS)
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--python-version", version, "--show-error-codes",
         "--cache-dir", str(tmp_path / ".mypy_cache")] + STRICT,
        capture_output=True, text=True, env=env, cwd=PACKAGE, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_package_is_marked_typed():
    import pysource
    assert os.path.isfile(os.path.join(os.path.dirname(pysource.__file__), "py.typed"))
