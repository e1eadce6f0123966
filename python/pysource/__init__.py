"""pysource: analysis of Python source, one logical line at a time.

The native core (the extension modules ``pysource_impl`` and
``logicalline``) analyses a module's logical lines: it parses each line on
demand with a host grammar and transformer, walks the tree, and records on
the line the names it defines, type equivalences, imports, argument names
and base classes.  This package is the host side:

* `split_logical_lines(text)`: the logical list of a module's source
  (`pysource.splitter`);
* `Grammar` and `Transformer`: parsing one logical line with the ``ast``
  module and turning the result into the core's tuple-form trees
  (`pysource.grammar`, `pysource.transformer`);
* `ModuleAnalysis`, `AttribRef` and `Project`, the module analysis objects,
  the attribute references and the factory that finds and caches modules
  (`pysource.analysis`).

Typical use::

    import pysource
    with pysource.Project(roots=["src"]) as project:
        mod = project.analyze_file("src/pkg/mod.py")
        for line in mod.lines:
            print(line.first_line, line.tokens, line.objs, line.type_equivs)
        print(mod.names())                # module-level names
"""

from __future__ import annotations

from typing import Iterable

from .splitter import line_kind, scan_logical_lines, split_logical_lines, KIND_NAMES
from .grammar import Grammar, Parser, parse_tokens
from .transformer import SourceText, Transformer, transform
from .analysis import AttribRef, ModuleAnalysis, Project, module_name_for_path, read_source

__all__ = [
    "split_logical_lines", "scan_logical_lines", "line_kind", "KIND_NAMES",
    "Grammar", "Parser", "parse_tokens",
    "Transformer", "SourceText", "transform",
    "AttribRef", "ModuleAnalysis", "Project", "module_name_for_path", "read_source",
    "analyze_source", "analyze_file",
]

__version__ = "0.1.0"


def analyze_source(text: str, module_name: str = "__main__", package_dir: str | None = None,
                   roots: Iterable[str] | None = None) -> ModuleAnalysis:
    """Analyse source `text` in a new `Project`; returns the module's
    analysis object (see `Project.analyze_source`).  The project lives as
    long as the module does."""
    return Project(roots).analyze_source(text, module_name, package_dir)


def analyze_file(path: str, roots: Iterable[str] | None = None) -> ModuleAnalysis:
    """Analyse the source file `path` in a new `Project`, which lives as
    long as the module does."""
    return Project(roots).analyze_file(path)
