"""Whole new texts handed to a module (`set_source`) are folded in as the
range of rows that changed: the result must be the module analysed afresh
from the new text, whatever the change and line endings."""

import random

import pytest

import pysource

BASE = '''\
import os
class A(object):
    @staticmethod
    def make(x, y):
        x.made = 1
    def __init__(self, v):
        self.v = v  # note
        s = """one
two"""
def f(a, *b, **c):
    return (a,
            b)
'''


def fields(mod):
    # The rows of a line's positions are taken from its first line: a line
    # that only moved keeps the positions it was made with.
    return [(l.tokens, [(r - l.positions[0][0] + l.first_line, c) for r, c in l.positions], l.first_line,
             l.indent, l.type, l.objs, l.type_equivs) for l in mod.analyze().lines]


def mutate(rnd, text):
    pieces = ["x", "\n", " ", "(", ")", "'", '"""', "@staticmethod\n", "def g(self): pass\n", "\r\n", "    "]
    chars = list(text)
    for _ in range(rnd.randrange(1, 4)):
        k = rnd.randrange(len(chars) + 1)
        if rnd.random() < 0.4 and chars:
            del chars[k:k + rnd.randrange(1, 6)]
        else:
            chars[k:k] = rnd.choice(pieces)
    return "".join(chars)


@pytest.mark.parametrize("newline", ["\n", "\r\n"])
def test_updates_match_a_fresh_analysis(newline):
    rnd = random.Random(newline)
    with pysource.Project(search_path=[]) as project:
        text = BASE.replace("\n", newline)
        mod = pysource.ModuleAnalysis(project, "m", source=text)
        mod.analyze()
        for _ in range(150):
            text = mutate(rnd, text)
            mod.set_source(text)
            fresh = pysource.ModuleAnalysis(project, "fresh", source=text)
            assert fields(mod) == fields(fresh), repr(text)
            assert mod.source == text
            fresh.close()
        mod.close()
