"""Rows of the benchmark for the line grammar: every logical line parsed and
transformed by the host's Python grammar and by the native one
(`pysource_grammar`) side by side, and a full analysis with the native
grammar where the project does not already use it."""

from __future__ import annotations

import gc
import time
from types import ModuleType
from typing import Any, Callable

import pysource
import pysource.analysis
from pysource import splitter

clock = time.perf_counter


def _native_module() -> ModuleType | None:
    try:
        import pysource_grammar
    except ImportError:
        return None
    return pysource_grammar


def run_pysource_native_grammar(corpus: Any, new_project: Callable[..., Any]) -> float | None:
    """Full analysis of every file with the native grammar and transformer
    in place of the Python ones; None when the module is not built, or when
    projects choose their grammar by host (then the default host already
    uses it, and the full-analysis row measures it)."""
    native = _native_module()
    if native is None or hasattr(pysource, "hosts"):
        return None
    saved = getattr(pysource.analysis, "Transformer")
    setattr(pysource.analysis, "Transformer", native.Transformer)
    try:
        project, mods = new_project(corpus, corpus.files)
        project.grammar = native.Grammar()
        gc.collect()
        t0 = clock()
        for mod in mods:
            mod.lines
            mod.analyze()
        total = clock() - t0
        project.close()
    finally:
        setattr(pysource.analysis, "Transformer", saved)
    return total


class _BenchModule:
    """The module analysis an analyzer is made with; parsing asks nothing of it."""
    fLocalName = "bench"


def run_parse_paths(corpus: Any) -> list[tuple[str, float, int]]:
    """Parse and transform every parsed logical line of the corpus through
    the analyzer (`AstForLogicalLine`), so fed as it feeds them: once with
    the Python grammar and transformer (a call per token) and once with the
    native ones (the line's tokens handed over at once).  Returns (label,
    seconds, lines handed to the Python grammar) per path; nothing when the
    module is not built."""
    native = _native_module()
    if native is None:
        return []
    import logicalline
    import pysource_impl
    from pysource.analysis import AttribRef
    from pysource.grammar import Grammar
    from pysource.transformer import Transformer
    unparsed = {splitter.kElifBeginningIndex, splitter.kElseBeginningIndex, splitter.kExceptIndex,
                splitter.kTryIndex, splitter.kFinallyIndex}
    lines = [line for f in corpus.files for line in splitter.split_logical_lines(f.text)
             if line.type not in unparsed]
    out: list[tuple[str, float, int]] = []
    grammars: list[tuple[str, Any, Any]] = [
        ("reference (ast)", Grammar(), Transformer({})),
        ("native", native.Grammar(), native.Transformer({}))]
    for label, grammar, transformer in grammars:
        module: Any = _BenchModule()
        analyzer = pysource_impl.CreatePySourceImpl(module, grammar, transformer, {}, AttribRef, logicalline)
        ast_for = analyzer.AstForLogicalLine
        before = native.counts()["host"]
        gc.collect()
        t0 = clock()
        for line in lines:
            try:
                ast_for(line)
            except (SyntaxError, ValueError):
                pass
        seconds = clock() - t0
        fell_back: int = native.counts()["host"] - before if label == "native" else 0
        analyzer.destroy()
        out.append((label, seconds, fell_back))
    return out
