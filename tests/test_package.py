"""The package's surface: every public name reachable while importing the
package loads nothing else, the package-level entry points on the default
host, and `pysource find` answering without loading the analysing side."""

import json
import os
import subprocess
import sys
import textwrap

import logicalline
import pysource_impl
import pytest

import pysource
from pysource import hosts, splitter

PYTHONPATH = os.pathsep.join(dict.fromkeys(
    [os.path.dirname(os.path.abspath(m.__file__)) for m in (pysource_impl, logicalline)]
    + [os.path.dirname(os.path.dirname(os.path.abspath(pysource.__file__)))]))

# What analyses source, as opposed to what reads the index.
ANALYSING = {"pysource.analysis", "pysource.edits", "pysource.grammar", "pysource.hosts",
             "pysource.indexwork", "pysource.splitter", "pysource.transformer", "logicalline",
             "pysource_impl", "pysource_grammar"}


def python(code, *args, cwd=None, env=None):
    """Run `code` in a fresh interpreter; its standard output as JSON."""
    full = dict(os.environ, PYTHONPATH=PYTHONPATH, **(env or {}))
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args], capture_output=True,
                       text=True, cwd=cwd, env=full, timeout=300)
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout)


def test_public_names_are_imported_on_first_use():
    got = python("""
        import json, sys
        import pysource
        before = sorted(m for m in sys.modules if m.startswith("pysource.") or m == "typing")
        star = {}
        exec("from pysource import *", star)
        wrong = [n for n in pysource.__all__ if star[n] is not getattr(pysource, n)]
        try:
            pysource.nonesuch
            missing = None
        except AttributeError as e:
            missing = str(e)
        print(json.dumps([before, wrong, pysource.Grammar.__module__, pysource.splitter.__name__,
                          missing, sorted(set(pysource.__all__) - set(dir(pysource)))]))
        """)
    assert got == [[], [], "pysource.grammar", "pysource.splitter",
                   "module 'pysource' has no attribute 'nonesuch'", []]


@pytest.mark.parametrize("choice, used", [(None, "native"), ("python", "python"), ("native", "native")])
def test_package_entry_points_take_the_default_host(monkeypatch, choice, used):
    if choice is None:
        monkeypatch.delenv("PYSOURCE_HOST", raising=False)
    else:
        monkeypatch.setenv("PYSOURCE_HOST", choice)
    calls = []

    def spy(name, real):
        def call(*args):
            calls.append(name)
            return real(*args)
        return call
    for module, host in ((logicalline, "native"), (splitter, "python")):
        for fn in ("split_logical_lines", "scan_logical_lines"):
            monkeypatch.setattr(module, fn, spy(host, getattr(module, fn)))
    monkeypatch.setattr(hosts, "_hosts", {})
    text = "class A:\n    x = 1\n"
    lines = pysource.split_logical_lines(text)
    records = pysource.scan_logical_lines(text)
    assert calls and set(calls) == {used}
    assert [ln.tokens for ln in lines] == [tuple(r[0]) for r in records] == [("class", "A", ":"), ("x", "=", "1")]
    assert pysource.analyze_source(text).fAnalysisFactory.host.name == used
    # The reference stays reachable whatever the choice.
    assert [ln.tokens for ln in pysource.splitter.split_logical_lines(text)] == [ln.tokens for ln in lines]


def test_find_reads_the_index_without_the_analysing_side(tmp_path):
    (tmp_path / "pkg").mkdir()
    (tmp_path / "pkg" / "__init__.py").write_text("class Found:\n    def where(self):\n        pass\n")
    env = {"PYSOURCE_CACHE": str(tmp_path / "cache")}
    r = subprocess.run([sys.executable, "-m", "pysource", "index", "-j", "1"], cwd=tmp_path,
                       env=dict(os.environ, PYTHONPATH=PYTHONPATH, **env), capture_output=True, text=True,
                       timeout=300)
    assert r.returncode == 0, r.stderr
    got = python("""
        import contextlib, io, json, sys
        from pysource.cli import main
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            code = main(sys.argv[1:])
        print(json.dumps([code, out.getvalue().splitlines(), sorted(sys.modules)]))
        """, "find", "Found.where", cwd=tmp_path, env=env)
    code, lines, modules = got
    assert (code, lines) == (0, ["pkg/__init__.py:2:9: function Found.where: def where(self):"])
    assert sorted(ANALYSING & set(modules)) == []
