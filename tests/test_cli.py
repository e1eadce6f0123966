"""The pysource command, run as a separate process on a small project with
a temporary cache folder: index, find, outline, types and attrs, bad input,
and an index that is damaged or out of date."""

import io
import json
import os
import shutil
import subprocess
import sys

import pytest

import pysource
from pysource import store
from pysource.cli import Progress


def command():
    """The installed console script when it belongs to this interpreter,
    else the module run by it."""
    for script in (os.path.join(os.path.dirname(sys.executable), "pysource"), shutil.which("pysource")):
        if script and os.path.isfile(script):
            with open(script, "rb") as f:
                first = f.readline().strip()
            if first[2:].decode(errors="replace") == sys.executable:
                return [script]
    return [sys.executable, "-m", "pysource.cli"]


COMMAND = command()


def import_path():
    """PYTHONPATH under which a child process imports the modules these
    tests import (the dev setup gives relative folders)."""
    import logicalline
    import pysource_impl
    dirs = [os.path.dirname(os.path.dirname(os.path.abspath(pysource.__file__))),
            os.path.dirname(os.path.abspath(pysource_impl.__file__)),
            os.path.dirname(os.path.abspath(logicalline.__file__))]
    dirs += [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    return os.pathsep.join(dict.fromkeys(dirs))


PYTHONPATH = import_path()

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


def run(args, cwd, cache=None, env=None, code=0):
    full_env = dict(os.environ)
    full_env.pop("PYSOURCE_CACHE", None)
    full_env["PYTHONPATH"] = PYTHONPATH
    full_env.update(env or {})
    cmd = COMMAND + args + (["--cache-dir", str(cache)] if cache is not None else [])
    r = subprocess.run(cmd, cwd=str(cwd), env=full_env, capture_output=True, text=True, timeout=120)
    assert r.returncode == code, (r.returncode, r.stdout, r.stderr)
    return r


def summary(r):
    (line,) = [l for l in r.stdout.splitlines() if l.startswith("indexed ")]
    return line


def test_index_then_reuse_what_has_not_changed(proj):
    root, cache = proj
    r = run(["index", "."], root, cache)
    assert summary(r).startswith("indexed 3 files (3 analysed, 0 loaded), ")
    assert "; none failed" in summary(r)
    assert "\r" not in r.stderr and r.stderr == ""    # no progress bar on a pipe
    assert run(["index", "."], root, cache).stdout.startswith("indexed 3 files (0 analysed, 3 loaded)")
    # Edited: analysed again; touched only: loaded; removed: dropped.
    with open(root / "run.py", "a") as f:
        f.write("x = 1\n")
    st = os.stat(root / "pkg" / "shapes.py")
    os.utime(root / "pkg" / "shapes.py", ns=(st.st_atime_ns, st.st_mtime_ns + 10 ** 10))
    os.unlink(root / "pkg" / "__init__.py")
    r = run(["index", "."], root, cache)
    assert summary(r).startswith("indexed 2 files (1 analysed, 1 loaded)")
    assert run(["index", "."], root, cache).stdout.startswith("indexed 2 files (0 analysed, 2 loaded)")
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
    (["outline", "nowhere.py"], "pysource: nowhere.py: no such file"),
    (["outline", "README.txt"], "pysource: README.txt: not a Python source file"),
    (["outline", "pkg"], "pysource: pkg: is a folder, not a Python file"),
    (["outline", "bad.py"], "pysource: bad.py: not valid UTF-8 (byte 0xff at offset 4)"),
    (["outline", "nul.py"], "pysource: nul.py: not a Python source file"),
    (["types", "pkg/shapes.py", "Circle.nope", "x"], "pysource: pkg/shapes.py: no scope 'Circle.nope'"),
    (["attrs", "pkg/shapes.py", "Square"], "pysource: pkg/shapes.py: no class 'Square'"),
    (["attrs", "pkg/shapes.py", "helper"], "pysource: pkg/shapes.py: 'helper' is not a class"),
    (["find", "x", "--cache-dir", "run.py"], "pysource: run.py: cache folder is not a folder"),
])
def test_bad_input_is_one_line_and_an_error_status(proj, args, message):
    root, cache = proj
    (root / "bad.py").write_bytes(b"x = \xff\n")
    (root / "nul.py").write_bytes(b"x = 1\0\n")
    r = run(args, root, None if "--cache-dir" in args else cache, code=1)
    assert r.stderr.splitlines()[-1] == message
    assert len(r.stderr.splitlines()) == 1 or args[0] == "index"


def test_usage_errors(proj):
    root, cache = proj
    r = run(["find", "x", "--kind", "class,module"], root, cache, code=2)
    assert "unknown kind 'module' (choose from class, function, import, generic)" in r.stderr
    assert run([], root, code=2).stderr.startswith("usage: ")


def test_find(proj):
    root, cache = proj
    # Not indexed yet: the paths are indexed first.
    r = run(["find", "*", "--path", "pkg", "--kind", "class,function"], root, cache)
    assert r.stdout.splitlines() == [
        "pkg/shapes.py:6: class Shape",
        "pkg/shapes.py:7: function Shape.__init__",
        "pkg/shapes.py:11: function Shape.area",
        "pkg/shapes.py:15: class Circle",
        "pkg/shapes.py:16: function Circle.__init__",
        "pkg/shapes.py:21: function Circle.grow",
        "pkg/shapes.py:25: function Circle.unit",
        "pkg/shapes.py:29: function helper",
    ]
    run(["index", "."], root, cache)
    r = run(["find", "Circle"], root, cache)
    assert r.stdout.splitlines() == ["pkg/__init__.py:1: import Circle", "pkg/shapes.py:15: class Circle"]
    r = run(["find", "self.*", "--scope", "Circle.*"], root, cache)
    assert r.stdout.splitlines() == [
        "pkg/shapes.py:18: generic Circle.__init__.self.r",
        "pkg/shapes.py:19: generic Circle.__init__.self.center",
        "pkg/shapes.py:22: generic Circle.grow.self.r"]
    r = run(["find", "*", "--scope", "", "--kind", "import,generic"], root, cache)
    assert r.stdout.splitlines() == [
        "pkg/__init__.py:1: import Shape", "pkg/__init__.py:1: import Circle",
        "pkg/shapes.py:1: import math", "pkg/shapes.py:2: import OD", "pkg/shapes.py:3: generic __all__",
        "run.py:1: import pkg"]
    r = run(["find", "main", "--path", "pkg"], root, cache)
    assert r.stdout == ""
    r = run(["find", "*", "--path", "run.py", "--json"], root, cache)
    assert [json.loads(l) for l in r.stdout.splitlines()] == [
        {"path": str(root / "run.py"), "line": 1, "kind": "import", "name": "pkg", "local_name": "pkg",
         "scope": "", "module": "pkg", "imported_name": ""},
        {"path": str(root / "run.py"), "line": 3, "kind": "function", "name": "main", "local_name": "main",
         "scope": "", "module": None, "imported_name": None},
        {"path": str(root / "run.py"), "line": 4, "kind": "generic", "name": "main.c", "local_name": "c",
         "scope": "main", "module": None, "imported_name": None}]
    r = run(["find", "OD", "--json"], root, cache)
    assert [(h["module"], h["imported_name"]) for h in map(json.loads, r.stdout.splitlines())] == \
           [("collections", "OrderedDict")]


def test_star_imports_follow_the_modules_they_import(proj):
    root, cache = proj
    run(["index", "."], root, cache)
    shapes = root / "pkg" / "shapes.py"
    shapes.write_text(SHAPES.replace('"Circle"]', '"Circle", "Square"]') + "class Square(Shape):\n    pass\n")
    r = run(["find", "Square"], root, cache)
    line = SHAPES.count("\n") + 1
    assert r.stdout.splitlines() == ["pkg/__init__.py:1: import Square", "pkg/shapes.py:%d: class Square" % line]
    assert "(0 analysed, 3 loaded)" in summary(run(["index", "."], root, cache))


@pytest.mark.parametrize("name, scope, kinds", [
    ("*", "*", None), ("r", "*", None), ("*r", "*", None), ("self.*", "*", None), ("*", "", None),
    ("*", "Circle", None), ("*", "Circle.*", None), ("*", "Circle.__init__", None), ("*e*", "C*", None),
    ("total", "helper", ["generic"]), ("*", "*", ["import"]), ("Circle", "", ["class", "import"]),
    ("a", "*", None), ("", "*", None), ("*", "nowhere", None),
])
def test_find_agrees_with_the_attribute_search(proj, name, scope, kinds):
    root, cache = proj
    path = root / "pkg" / "shapes.py"
    args = ["find", name, "--scope", scope, "--path", str(path), "--json"]
    if kinds:
        args += ["--kind", ",".join(kinds)]
    got = [(h["kind"], h["name"], h["line"]) for h in map(json.loads, run(args, root, cache).stdout.splitlines())]
    project = pysource.Project(roots=[str(root)])
    mod = project.analyze_file(str(path))
    options = {"local_name": name, "scope_name": scope}
    if kinds:
        options["valid_kinds"] = [{"import": "imported"}.get(k, k) for k in kinds]
    want = [({"imported": "import"}.get(r.fKind, r.fKind), r.fFullName, r.fLogical.first_line)
            for r in mod.impl.SearchForAttribs(options)]
    project.close()
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
    assert [(n["kind"], n["full_name"], [c["name"] for c in n["children"]]) for n in tree] == [
        ("class", "Shape", ["__init__", "area"]), ("class", "Circle", ["__init__", "grow", "unit"]),
        ("def", "helper", [])]
    assert tree[1]["bases"] == ["Shape"] and tree[1]["attributes"] == ["r", "center"]
    assert tree[2]["args"] == ["a", "rest", "kw"] and tree[2]["line"] == 29
    assert run(["outline", "run.py"], root, cache).stdout == "    3  def main()\n"


def test_types_and_attrs(proj):
    root, cache = proj
    assert run(["types", "pkg/shapes.py", "Circle.__init__", "self"], root, cache).stdout == "Circle:\n"
    assert run(["types", "pkg/shapes.py", "helper", "shape"], root, cache).stdout == "Circle(1)\n"
    assert run(["types", "pkg/shapes.py", "", "__all__"], root, cache).stdout == "::list:\n"
    assert run(["types", "pkg/shapes.py", "helper", "nothing"], root, cache).stdout == ""
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


def damage(cache, source, how):
    """Damages the stored module of `source` in the index under `cache`."""
    import hashlib
    name = hashlib.blake2b(os.fsencode(str(source)), digest_size=16).hexdigest() + ".pysl"
    (path,) = cache.glob("index-*/modules/" + name)
    blob = bytearray(path.read_bytes())
    if how == "flip":
        blob[-3] ^= 0x10
    elif how == "truncate":
        del blob[len(blob) // 2:]
    elif how == "garbage":
        blob[:] = b"GARBAGE" * 30
    elif how == "producer":
        fields = list(store._HEADER.unpack_from(blob, 0))
        fields[7] = b"pysource 0.0.0 other"
        blob[:store.HEADER_SIZE] = store._header_bytes(fields)
    path.write_bytes(bytes(blob))


@pytest.mark.parametrize("how, warned", [("flip", True), ("truncate", True), ("garbage", True),
                                         ("producer", False)])
def test_damaged_or_outdated_stored_modules_are_rebuilt(proj, how, warned):
    root, cache = proj
    run(["index", "."], root, cache)
    shapes = root / "pkg" / "shapes.py"
    damage(cache, shapes, how)
    r = run(["index", "."], root, cache)
    assert "(1 analysed, 2 loaded)" in summary(r)
    if warned:
        (line,) = r.stderr.splitlines()
        assert line.startswith("pysource: warning: ") and line.endswith("; analysing %s again" % shapes)
        assert "stored module" in line
    else:
        assert r.stderr == ""
    assert "(0 analysed, 3 loaded)" in summary(run(["index", "."], root, cache))
    # find reads only the definitions; damage there is found as well.
    damage(cache, shapes, "garbage")
    r = run(["find", "Circle", "--scope", ""], root, cache)
    assert r.stdout.splitlines() == ["pkg/__init__.py:1: import Circle", "pkg/shapes.py:15: class Circle"]
    assert "not a pysource stored module" in r.stderr


def test_damaged_manifest_is_rebuilt(proj):
    root, cache = proj
    run(["index", "."], root, cache)
    (manifest,) = cache.glob("index-*/manifest.json")
    good = json.loads(manifest.read_text())
    bad_entry = dict(good, files={str(root / "run.py"): {"error": 5, "size": 1, "mtime_ns": 2}})
    for text in ['{"files": [', json.dumps(bad_entry), "\udcff", "[]"]:
        manifest.write_text(text, errors="surrogateescape")
        r = run(["index", "."], root, cache)
        assert r.stderr == "pysource: warning: index manifest %s is damaged; rebuilding\n" % manifest
        # The stored modules themselves were good: loaded, not analysed.
        assert "(0 analysed, 3 loaded)" in summary(r)
    assert json.loads(manifest.read_text())["roots"] == [str(root)]
    # A folder that was indexed and is gone is dropped.
    shutil.rmtree(root / "pkg")
    r = run(["find", "*", "--kind", "function"], root, cache)
    assert r.stdout == "run.py:3: function main\n"
    assert r.stderr == ""
    shutil.rmtree(root)
    r = run(["find", "main"], cache, cache)
    assert r.stdout == "" and "is gone; dropped from the index" in r.stderr


def test_cache_folder_from_the_environment(proj, tmp_path):
    root, _ = proj
    run(["index", "run.py"], root, env={"PYSOURCE_CACHE": str(tmp_path / "env")})
    assert list((tmp_path / "env").glob("index-*/manifest.json"))
    run(["index", "run.py"], root, env={"XDG_CACHE_HOME": str(tmp_path / "xdg")})
    assert list((tmp_path / "xdg" / "pysource").glob("index-*/manifest.json"))
    home = tmp_path / "home"
    run(["index", "run.py"], root, env={"HOME": str(home), "XDG_CACHE_HOME": ""})
    assert list((home / ".cache" / "pysource").glob("index-*/manifest.json"))


def test_python_dash_m(proj):
    root, cache = proj
    r = subprocess.run([sys.executable, "-m", "pysource", "outline", "run.py", "--cache-dir", str(cache)],
                       cwd=str(root), capture_output=True, text=True, timeout=60,
                       env=dict(os.environ, PYTHONPATH=PYTHONPATH))
    assert (r.returncode, r.stdout) == (0, "    3  def main()\n")


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_progress_bar_only_on_a_terminal():
    pipe = io.StringIO()
    bar = Progress(pipe)
    bar(1, 2, "/a/b.py")
    bar.note("a note")
    assert pipe.getvalue() == "pysource: a note\n"
    term = Terminal()
    bar = Progress(term, delay=0)
    bar(0, 4, "/a/first.py")
    bar(4, 4, None)
    bar.note("hello")
    text = term.getvalue()
    assert text.startswith("\rindexing [........................] 0/4 first.py")
    assert "\rindexing [########################] 4/4" in text
    assert text.endswith("\rpysource: hello\n") and "\n" not in text[:-1].replace("hello", "")
