"""The scan for def lines under a static or class method decorator: the
native one (logicalline.nonself_def_keys, the native host's) against the
Python one (the reference host's), on edge cases and on real files."""

import gc
import sys
import sysconfig

import logicalline as ll
import pytest

from pysource import hosts
from pysource.splitter import split_logical_lines as python_split
import splitter_differential as sd

STDLIB = sysconfig.get_paths()["stdlib"]
reference = hosts.get_host("python").nonself_keys


@pytest.mark.parametrize("source, keys", [
    ("@staticmethod\ndef f(x): return x\n", {("def", "f", "(", "x", ")", ":", "return", "x")}),
    # A last token starting with a colon gets "pass"; comments are left out.
    ("class A:\n    @classmethod  # note\n    def f(cls):  # why\n        pass\n",
     {("def", "f", "(", "cls", ")", ":", "pass")}),
    # Calls and attributes: the last name before the call counts.
    ("@abc.abstractclassmethod\ndef f(c): ...\n@staticmethod(x)\ndef g(): ...\n@staticmethod.wrap\ndef h(): ...\n",
     {("def", "f", "(", "c", ")", ":", "...",), ("def", "g", "(", ")", ":", "...")}),
    # Comment and blank lines and other decorators in between; async def.
    ("@abstractstaticmethod\n\n# c\n@other(1)\nasync def f(a):\n    pass\n",
     {("async def", "f", "(", "a", ")", ":", "pass")}),
    # Nested classes.
    ("class A:\n  class B:\n    @classmethod\n    def f(cls): pass\n  def g(self): pass\n",
     {("def", "f", "(", "cls", ")", ":", "pass")}),
    # Any other line ends the run of decorators.
    ("@staticmethod\nx = 1\ndef f(): pass\n@classmethod\nclass C: pass\ndef g(): pass\n", set()),
    ("@classmethod\nprint(x)\ndef f(): pass\n@staticmethod\ndef\ndef g(): pass\n", set()),
    # Decorators without a name, or with another one.
    ("@\ndef f(): pass\n@(staticmethod)\ndef g(): pass\n@property\ndef h(self): pass\n", set()),
    ("@property\n@staticmethod\ndef f(): pass\n", {("def", "f", "(", ")", ":", "pass")}),
    ("", set()),
])
def test_both_scans_find_the_same_defs(source, keys):
    for lines in (ll.split_logical_lines(source), python_split(source)):
        assert ll.nonself_def_keys(lines) == reference(lines) == keys


def test_both_scans_agree_on_the_standard_library():
    files = [t for t in map(sd.read, sd.python_files(STDLIB, 8)) if t is not None]
    assert len(files) > 200
    found = 0
    for text in files:
        lines = ll.split_logical_lines(text)
        keys = ll.nonself_def_keys(lines)
        assert keys == reference(lines)
        found += len(keys)
    assert found > 30


def test_bad_lines_are_type_errors_and_leave_nothing_behind():
    lines = ll.split_logical_lines("@staticmethod\ndef f(): pass\n" * 3)
    for bad, error in [(5, "must be a sequence"), (lines + ["x"], "must be LogicalLine objects, not str")]:
        with pytest.raises(TypeError, match=error):
            ll.nonself_def_keys(bad)
    token = lines[1].tokens[1]

    def counts():
        gc.collect()
        return len(gc.get_objects()), sys.getrefcount(token)

    before = counts()
    for _ in range(200):
        ll.nonself_def_keys(lines)
        with pytest.raises(TypeError):
            ll.nonself_def_keys(lines + [None])
    assert counts() == before

