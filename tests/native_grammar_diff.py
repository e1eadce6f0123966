"""The native grammar against the Python host's on real source: both are fed
each logical line's tokens as the analyzer feeds them, and the results (a
tree, or an error) are compared.  Importable by the tests and runnable on its
own under any interpreter with the modules built for it:

    PYTHONPATH=build/py3.12:python python3.12 tests/native_grammar_diff.py [STEP]

compares every STEP-th file of that interpreter's standard library."""

from __future__ import annotations

import glob
import os
import sys
import sysconfig
from typing import Any

import pysource
import pysource_grammar
from pysource.grammar import Grammar
from pysource.transformer import Transformer

# Clause headers: the analyzer never parses them.
UNPARSED = (6, 11, 12, 13, 20)


def fed(tokens: Any) -> list[str]:
    """The tokens the analyzer feeds for a line (without the newline)."""
    toks = [t for t in tokens if isinstance(t, str) and not t.startswith("#")]
    if toks and toks[-1].startswith(":"):
        toks.append("pass")
    return toks


def run(grammar: Any, transformer: Any, toks: list[str]) -> Any:
    parser = grammar.CreateParser(257)
    for t in toks + ["\n"]:
        parser.AddToken(t)
    return transformer.TransformNode(parser.Finish())


def both(toks: list[str]) -> tuple[Any, Any]:
    """(reference, native) results: a tree, or the error class's name."""
    out = []
    for grammar, transformer in ((Grammar(), Transformer({})),
                                 (pysource_grammar.Grammar(), pysource_grammar.Transformer({}))):
        try:
            out.append(run(grammar, transformer, toks))
        except (SyntaxError, ValueError) as e:
            out.append(type(e).__name__)
    return out[0], out[1]


def stdlib_files() -> list[str]:
    root = sysconfig.get_paths()["stdlib"]
    return sorted(p for p in glob.glob(os.path.join(root, "**", "*.py"), recursive=True)
                  if "site-packages" not in p and "dist-packages" not in p)


def line_tokens(path: str) -> list[list[str]]:
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except (OSError, UnicodeDecodeError):
        return []
    return [fed(line.tokens) for line in pysource.split_logical_lines(text)
            if line.type not in UNPARSED]


def differences(paths: list[str]) -> tuple[int, list[tuple[str, Any, Any]]]:
    """Lines compared, and the lines where the reference gives a tree and
    the native grammar another tree or an error.  (Where the reference
    fails and the native grammar does not, the line holds syntax newer than
    the running interpreter, or nests deeper than its parser goes.)"""
    count = 0
    diffs = []
    for path in paths:
        for toks in line_tokens(path):
            count += 1
            ref, nat = both(toks)
            if not isinstance(ref, str) and nat != ref:
                diffs.append((" ".join(toks), ref, nat))
    return count, diffs


OPERATORS = ["+", "-", "*", "/", "//", "%", "@", "**", "<<", ">>", "|", "^", "&", "and", "or",
             "<", "==", "is not", "not in", "if c else"]
SHAPES = ["x = ({l} {o1} {m}) {o2} {r}", "x = {l} {o1} ({m} {o2} {r})", "x = f(({l} {o1} {m}).y, -({m} {o2} {r}))",
          "x = [{l} {o1} {m} for {m} in {r} if {l} {o2} {m}]", "x = lambda {m}: {l} {o1} {m} {o2} {r}",
          "x = f'{{{l} {o1} {m}!r:>{{{m} {o2} {r}}}}}'", "x = not {l} {o1} {m} // {r}",
          "x = ({l} {o1} {m})[{m} {o2} {r}:]", "x = await {l} {o1} {m} {o2} (yield {r})"]


def generated_differences(shapes: list[str]) -> list[tuple[str, Any, Any]]:
    """Every pair of operators in each shape: the lines where the reference
    gives a tree and the native grammar something else."""
    from pysource.splitter import scan_logical_lines
    diffs = []
    for shape in shapes:
        for o1 in OPERATORS:
            for o2 in OPERATORS:
                text = shape.format(l="a", m="b", r="c", o1=o1, o2=o2)
                ref, nat = both(fed(scan_logical_lines(text)[0][0]))
                if not isinstance(ref, str) and nat != ref:
                    diffs.append((text, ref, nat))
    return diffs


if __name__ == "__main__":
    step = int(sys.argv[1]) if len(sys.argv) > 1 else 1
    n, d = differences(stdlib_files()[::step])
    d += generated_differences(SHAPES)
    for line, ref, nat in d[:20]:
        print(line[:200], "\n  reference:", str(ref)[:300], "\n  native:   ", str(nat)[:300])
    print("lines", n, "differences", len(d), "host fallbacks", pysource_grammar.counts()["host"])
    sys.exit(1 if d else 0)
