"""The pysource command, run as a separate process on a small project with
a temporary cache folder: index, find, outline, types and attrs, bad input,
and an index that is damaged or out of date."""

import io
import json
import os
import shutil
import subprocess
import sys

import logicalline
import pysource_impl
import pytest

import pysource
from pysource.cli import Progress

# The console script when it is installed beside this interpreter, else the
# module run by it.
SCRIPT = os.path.join(os.path.dirname(sys.executable), "pysource")
COMMAND = [SCRIPT] if os.path.isfile(SCRIPT) else [sys.executable, "-m", "pysource"]
# A child process imports the modules these tests import (the dev setup
# gives relative folders).
PYTHONPATH = os.pathsep.join(dict.fromkeys(
    [os.path.dirname(os.path.abspath(m.__file__)) for m in (pysource_impl, logicalline)]
    + [os.path.dirname(os.path.dirname(os.path.abspath(pysource.__file__)))]
    + [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))

SHAPES = '''\
import math
from collections import OrderedDict as OD
__all__ = ["Shape", "Circle"]


class Shape(object):
    def __init__(self, name):
        self.name = name
        self.tags = []

    def area(self):
        return 0


class Circle(Shape):
    def __init__(self, r):
        Shape.__init__(self, "circle")
        self.r = r
        self.center = Point()

    def grow(self, by):
        self.r = float(by)

    @staticmethod
    def unit(x):
        x.unused = 1


def helper(a, *rest, **kw):
    total = 0
    shape = Circle(1)
    return total
'''


@pytest.fixture
def proj(tmp_path):
    """A small project (a package and a top-level script) and an empty cache
    folder; returns (project dir, cache dir)."""
    root = tmp_path / "proj"
    (root / "pkg").mkdir(parents=True)
    (root / "pkg" / "__init__.py").write_text("from .shapes import *\n")
    (root / "pkg" / "shapes.py").write_text(SHAPES)
    (root / "run.py").write_text("import pkg\n\ndef main():\n    c = pkg.Circle(2)\n")
    (root / "README.txt").write_text("not code\n")
    return root, tmp_path / "cache"


def run(args, cwd, cache=None, env=None, code=0, command=COMMAND):
    full_env = dict(os.environ, PYTHONPATH=PYTHONPATH)
    full_env.pop("PYSOURCE_CACHE", None)
    full_env.update(env or {})
    cmd = command + args + (["--cache-dir", str(cache)] if cache is not None else [])
    r = subprocess.run(cmd, cwd=str(cwd), env=full_env, capture_output=True, text=True, timeout=120)
    assert r.returncode == code, (r.returncode, r.stdout, r.stderr)
    return r


def summary(r):
    (line,) = [l for l in r.stdout.splitlines() if l.startswith("indexed ")]
    return line


def test_index_then_reuse_what_has_not_changed(proj):
    root, cache = proj
    r = run(["index", "."], root, cache)
    assert summary(r).startswith("indexed 3 files (3 analysed, 0 loaded), ") and summary(r).endswith("; none failed")
    assert r.stderr == ""    # no progress bar on a pipe
    assert "(0 analysed, 3 loaded)" in summary(run(["index", "."], root, cache))
    # Edited: analysed again, silently; touched only: loaded; removed: dropped.
    with open(root / "run.py", "a") as f:
        f.write("x = 1\n")
    st = os.stat(root / "pkg" / "shapes.py")
    os.utime(root / "pkg" / "shapes.py", ns=(st.st_atime_ns, st.st_mtime_ns + 10 ** 10))
    os.unlink(root / "pkg" / "__init__.py")
    r = run(["index", "."], root, cache)
    assert summary(r).startswith("indexed 2 files (1 analysed, 1 loaded)") and r.stderr == ""
    assert "(0 analysed, 2 loaded)" in summary(run(["index", "."], root, cache))
    manifest = json.loads(next(cache.glob("index-*/manifest.json")).read_text())
    assert sorted(manifest["files"]) == [str(root / "pkg" / "shapes.py"), str(root / "run.py")]
    assert manifest["roots"] == [str(root)]
    assert len(list(cache.glob("index-*/modules/*.pysl"))) == 2


def test_index_reports_files_that_fail(proj):
    root, cache = proj
    (root / "pkg" / "latin.py").write_bytes(b"x = '\xe9'\n")
    (root / "pkg" / "badcoding.py").write_bytes(b"# -*- coding: nonesuch -*-\nx = 1\n")
    r = run(["index", "."], root, cache)
    assert summary(r).endswith("; 2 failed: not valid UTF-8, unknown encoding: nonesuch")
    assert r.stderr.splitlines() == [
        "pysource: pkg/badcoding.py: unknown encoding: nonesuch",
        "pysource: pkg/latin.py: not valid UTF-8 (byte 0xe9 at offset 5)"]
    # Still failing when unchanged; fixed: indexed.
    assert "2 failed" in summary(run(["index", "."], root, cache))
    (root / "pkg" / "latin.py").write_bytes(b"# -*- coding: latin-1 -*-\nx = '\xe9'\n")
    r = run(["index", "."], root, cache)
    assert "(1 analysed, 3 loaded)" in summary(r) and summary(r).endswith("1 failed: unknown encoding: nonesuch")


@pytest.mark.parametrize("args, message", [
    (["index", "nowhere"], "pysource: nowhere: no such file or folder"),
    (["index", "README.txt"], "pysource: README.txt: not a Python source file"),
    (["index", "bad.py"], "pysource: bad.py: not valid UTF-8 (byte 0xff at offset 4)"),
    (["find", "x", "--path", "nowhere"], "pysource: nowhere: no such file or folder"),
    (["find", "x", "--path", "bad.py"], "pysource: bad.py: not valid UTF-8 (byte 0xff at offset 4)"),
    (["find", "x", "--cache-dir", "run.py"], "pysource: run.py: cache folder is not a folder"),
    (["outline", "nowhere.py"], "pysource: nowhere.py: no such file"),
    (["outline", "README.txt"], "pysource: README.txt: not a Python source file"),
    (["outline", "pkg"], "pysource: pkg: is a folder, not a Python file"),
    (["outline", "bad.py"], "pysource: bad.py: not valid UTF-8 (byte 0xff at offset 4)"),
    (["outline", "nul.py"], "pysource: nul.py: not a Python source file"),
    (["types", "pkg/shapes.py", "Circle.nope", "x"], "pysource: pkg/shapes.py: no scope 'Circle.nope'"),
    (["attrs", "pkg/shapes.py", "Square"], "pysource: pkg/shapes.py: no class 'Square'"),
    (["attrs", "pkg/shapes.py", "helper"], "pysource: pkg/shapes.py: 'helper' is not a class"),
    # Usage errors: argparse's usage text, and status 2.
    (["find", "x", "--kind", "class,module"],
     "pysource find: error: argument --kind: unknown kind 'module' (choose from class, function, import, generic)"),
    ([], "pysource: error: the following arguments are required: COMMAND"),
])
def test_bad_input_is_one_line_and_an_error_status(proj, args, message):
    root, cache = proj
    (root / "bad.py").write_bytes(b"x = \xff\n")
    (root / "nul.py").write_bytes(b"x = 1\0\n")
    usage = ": error: " in message
    r = run(args, root, None if "--cache-dir" in args else cache, code=2 if usage else 1)
    assert r.stderr.splitlines()[-1] == message
    assert r.stderr.startswith("usage: ") if usage else r.stderr == message + "\n"


def test_find(proj):
    root, cache = proj
    # Not indexed yet: the paths are indexed first.
    r = run(["find", "*", "--path", "run.py", "--json"], root, cache)
    assert [json.loads(l) for l in r.stdout.splitlines()] == [
        {"path": str(root / "run.py"), "line": 1, "kind": "import", "name": "pkg", "local_name": "pkg",
         "scope": "", "module": "pkg", "imported_name": ""},
        {"path": str(root / "run.py"), "line": 3, "kind": "function", "name": "main", "local_name": "main",
         "scope": "", "module": None, "imported_name": None},
        {"path": str(root / "run.py"), "line": 4, "kind": "generic", "name": "main.c", "local_name": "c",
         "scope": "main", "module": None, "imported_name": None}]
    assert run(["find", "main", "--path", "pkg"], root, cache).stdout == ""
    run(["index", "."], root, cache)
    (hit,) = map(json.loads, run(["find", "OD", "--json"], root, cache).stdout.splitlines())
    assert (hit["module"], hit["imported_name"]) == ("collections", "OrderedDict")
    assert run(["find", "Circle"], root, cache).stdout.splitlines() == [
        "pkg/__init__.py:1: import Circle", "pkg/shapes.py:15: class Circle"]
    # A star import follows the module it imports.
    shapes = root / "pkg" / "shapes.py"
    shapes.write_text(SHAPES.replace('"Circle"]', '"Circle", "Square"]') + "class Square(Shape):\n    pass\n")
    assert run(["find", "Square"], root, cache).stdout.splitlines() == [
        "pkg/__init__.py:1: import Square", "pkg/shapes.py:%d: class Square" % (SHAPES.count("\n") + 1)]
    assert "(0 analysed, 3 loaded)" in summary(run(["index", "."], root, cache))


@pytest.mark.parametrize("name, scope, kinds", [
    ("*", "*", None), ("r", "*", None), ("*r", "*", None), ("self.*", "*", None), ("*", "", None),
    ("*", "Circle", None), ("*", "Circle.*", None), ("*", "Circle.__init__", None), ("*e*", "C*", None),
    ("total", "helper", "generic"), ("*", "*", "import"), ("Circle", "", "class,import"),
    ("a", "*", None), ("", "*", None), ("*", "nowhere", None),
])
def test_find_agrees_with_the_attribute_search(proj, name, scope, kinds):
    root, cache = proj
    path = str(root / "pkg" / "shapes.py")
    args = ["find", name, "--scope", scope, "--path", path, "--json"] + (["--kind", kinds] if kinds else [])
    got = [(h["kind"], h["name"], h["line"]) for h in map(json.loads, run(args, root, cache).stdout.splitlines())]
    options = {"local_name": name, "scope_name": scope}
    if kinds:
        options["valid_kinds"] = kinds.replace("import", "imported").split(",")
    with pysource.Project(roots=[str(root)]) as project:
        want = [(r.fKind.replace("imported", "import"), r.fFullName, r.fLogical.first_line)
                for r in project.analyze_file(path).impl.SearchForAttribs(options)]
    assert sorted(got) == sorted(want)


OUTLINE = """\
    6  class Shape(object)
           attributes: name, tags
    7      def __init__(self, name)
   11      def area(self)
   15  class Circle(Shape)
           attributes: r, center
   16      def __init__(self, r)
   21      def grow(self, by)
   25      def unit(x)
   29  def helper(a, rest, kw)
"""


def test_outline(proj):
    root, cache = proj
    assert run(["outline", "pkg/shapes.py"], root, cache).stdout == OUTLINE
    run(["index", "pkg"], root, cache)
    # Loaded from the index: the same.
    assert run(["outline", "pkg/shapes.py"], root, cache).stdout == OUTLINE
    tree = json.loads(run(["outline", "pkg/shapes.py", "--json"], root, cache).stdout)["outline"]
    assert [(n["full_name"], [c["full_name"] for c in n["children"]]) for n in tree] == [
        ("Shape", ["Shape.__init__", "Shape.area"]), ("Circle", ["Circle.__init__", "Circle.grow", "Circle.unit"]),
        ("helper", [])]
    assert (tree[1]["bases"], tree[1]["attributes"], tree[2]["args"]) == \
        (["Shape"], ["r", "center"], ["a", "rest", "kw"])
    # Also as `python -m pysource`.
    r = run(["outline", "run.py"], root, cache, command=[sys.executable, "-m", "pysource"])
    assert r.stdout == "    3  def main()\n"


def test_types_and_attrs(proj):
    root, cache = proj
    for scope, name, out in [("Circle.__init__", "self", "Circle:\n"), ("helper", "shape", "Circle(1)\n"),
                             ("", "__all__", "::list:\n"), ("helper", "nothing", "")]:
        assert run(["types", "pkg/shapes.py", scope, name], root, cache).stdout == out
    r = run(["types", "pkg/shapes.py", "Circle.grow", "self.r", "--json"], root, cache)
    assert json.loads(r.stdout)["types"] == ["float(by)"]
    assert run(["attrs", "pkg/shapes.py", "Circle"], root, cache).stdout == (
        "r (lines 18, 22)\n"
        "    Circle.__init__: r\n"
        "    Circle.grow: float(by)\n"
        "center (line 19)\n"
        "    Circle.__init__: Point()\n")
    r = run(["attrs", "pkg/shapes.py", "Circle", "--methods", "grow,unit", "--json"], root, cache)
    assert json.loads(r.stdout)["attributes"] == [
        {"name": "r", "lines": [22], "types": [{"method": "Circle.grow", "types": ["float(by)"]}]}]


def test_damaged_index_is_rebuilt(proj):
    root, cache = proj
    run(["index", "."], root, cache)
    shapes = root / "pkg" / "shapes.py"
    (manifest,) = cache.glob("index-*/manifest.json")
    stored = manifest.parent / "modules" / json.loads(manifest.read_text())["files"][str(shapes)]["store"]
    good = stored.read_bytes()
    for damaged in (good[:-3] + bytes([good[-3] ^ 0x10]) + good[-2:], good[:len(good) // 2], b"GARBAGE" * 30):
        stored.write_bytes(damaged)
        r = run(["index", "."], root, cache)
        assert "(1 analysed, 2 loaded)" in summary(r)
        (line,) = r.stderr.splitlines()
        assert line.startswith("pysource: warning: %s: " % stored) and "stored module" in line
        assert line.endswith("; analysing %s again" % shapes)
    assert "(0 analysed, 3 loaded)" in summary(run(["index", "."], root, cache))
    # find reads only the header and the definitions; damage there is found
    # as well.
    good = stored.read_bytes()
    at = good.index(b"shapes.py")     # the source's path, in the definitions section
    stored.write_bytes(good[:at] + b"S" + good[at + 1:])
    r = run(["find", "Circle", "--scope", ""], root, cache)
    assert r.stdout.splitlines() == ["pkg/__init__.py:1: import Circle", "pkg/shapes.py:15: class Circle"]
    assert "damaged stored module (extra checksum mismatch)" in r.stderr
    # A damaged manifest is rebuilt; the stored modules themselves were
    # good: loaded, not analysed.
    bad_entry = dict(json.loads(manifest.read_text()), files={str(root / "run.py"): {"error": 5}})
    for text in ['{"files": [', json.dumps(bad_entry), "\udcff", "[]"]:
        manifest.write_text(text, errors="surrogateescape")
        r = run(["index", "."], root, cache)
        assert r.stderr == "pysource: warning: index manifest %s is damaged; rebuilding\n" % manifest
        assert "(0 analysed, 3 loaded)" in summary(r)
    assert json.loads(manifest.read_text())["roots"] == [str(root)]
    # A folder that was indexed and is gone is dropped.
    shutil.rmtree(root / "pkg")
    r = run(["find", "*", "--kind", "function"], root, cache)
    assert (r.stdout, r.stderr) == ("run.py:3: function main\n", "")
    shutil.rmtree(root)
    r = run(["find", "main"], cache, cache)
    assert r.stdout == "" and "is gone; dropped from the index" in r.stderr


def test_cache_folder_from_the_environment(proj, tmp_path):
    root, _ = proj
    for env, folder in [({"PYSOURCE_CACHE": str(tmp_path / "env")}, "env"),
                        ({"XDG_CACHE_HOME": str(tmp_path / "xdg")}, "xdg/pysource"),
                        ({"HOME": str(tmp_path / "home"), "XDG_CACHE_HOME": ""}, "home/.cache/pysource")]:
        run(["index", "run.py"], root, env=env)
        assert list((tmp_path / folder).glob("index-*/manifest.json")), env


def test_progress_bar_only_on_a_terminal():
    pipe = io.StringIO()
    Progress(pipe, delay=0)(1, 2, "/a/b.py")
    assert pipe.getvalue() == ""
    term = io.StringIO()
    term.isatty = lambda: True
    bar = Progress(term, delay=0)
    bar(0, 4, "/a/first.py")
    bar(4, 4, None)
    bar.note("hello")
    text = term.getvalue()
    assert text.startswith("\rindexing [........................] 0/4 first.py")
    assert "\rindexing [########################] 4/4" in text
    assert text.endswith("\rpysource: hello\n") and "\n" not in text[:-1].replace("hello", "")
