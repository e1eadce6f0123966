"""pysource: analysis of Python source, one logical line at a time.

The native core (the extension modules ``pysource_impl`` and
``logicalline``) analyses a module's logical lines: it parses each line on
demand with a host grammar and transformer, walks the tree, and records on
the line the names it defines, type equivalences, imports, argument names
and base classes.  This package is the host side:

* `split_logical_lines(text)`: the logical list of a module's source, made
  by the default host (`pysource.hosts`: native unless ``PYSOURCE_HOST``
  says ``python``; the Python splitter is `pysource.splitter`);
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

Importing the package is cheap: each name below is imported from its module
on first use, so that a command that only reads the index (``pysource
find``) never loads the analysing side.
"""

from __future__ import annotations

# `typing` is imported only by type checkers: `pysource find` starts faster
# without it.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Iterable

    from logicalline import LogicalLine

    from .analysis import AttribRef, ModuleAnalysis, Project, module_name_for_path, read_source
    from .grammar import Grammar, Parser, parse_tokens
    from .splitter import KIND_NAMES, ScanRecord, line_kind
    from .transformer import SourceText, Transformer, transform

__all__ = [
    "split_logical_lines", "scan_logical_lines", "line_kind", "KIND_NAMES",
    "Grammar", "Parser", "parse_tokens",
    "Transformer", "SourceText", "transform",
    "AttribRef", "ModuleAnalysis", "Project", "module_name_for_path", "read_source",
    "analyze_source", "analyze_file",
]

__version__ = "0.1.0"

# Public names imported on first use, by the module they come from.
_LAZY = {
    "line_kind": "splitter", "KIND_NAMES": "splitter",
    "Grammar": "grammar", "Parser": "grammar", "parse_tokens": "grammar",
    "Transformer": "transformer", "SourceText": "transformer", "transform": "transformer",
    "AttribRef": "analysis", "ModuleAnalysis": "analysis", "Project": "analysis",
    "module_name_for_path": "analysis", "read_source": "analysis",
}

# Submodules that `import pysource` used to load with the package; reached
# as attributes (`pysource.splitter`), they are still imported on demand.
_SUBMODULES = frozenset(["splitter", "grammar", "transformer", "analysis", "hosts", "edits", "store"])


def __getattr__(name: str) -> Any:
    import importlib
    if name in _LAZY:
        value = getattr(importlib.import_module("." + _LAZY[name], __name__), name)
        globals()[name] = value
        return value
    if name in _SUBMODULES:
        return importlib.import_module("." + name, __name__)
    raise AttributeError("module %r has no attribute %r" % (__name__, name))


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))


def split_logical_lines(text: str, pool: dict[str, str] | None = None) -> list[LogicalLine]:
    """The logical list of the source `text`, split by the default host
    (see `pysource.hosts.get_host`); `pool` is the name pool tokens are
    taken from and added to."""
    from .hosts import get_host
    lines: list[LogicalLine] = get_host().split_logical_lines(text, pool)
    return lines


def scan_logical_lines(text: str, pool: dict[str, str] | None = None) -> list[ScanRecord]:
    """The records of the logical lines of `text` (see
    `pysource.splitter.scan_logical_lines` for their fields), made by the
    default host."""
    from .hosts import get_host
    records: list[ScanRecord] = get_host().scan_logical_lines(text, pool)
    return records


def analyze_source(text: str, module_name: str = "__main__", package_dir: str | None = None,
                   roots: Iterable[str] | None = None) -> ModuleAnalysis:
    """Analyse source `text` in a new `Project` (with the default host);
    returns the module's analysis object (see `Project.analyze_source`).
    The project lives as long as the module does."""
    from .analysis import Project
    return Project(roots).analyze_source(text, module_name, package_dir)


def analyze_file(path: str, roots: Iterable[str] | None = None) -> ModuleAnalysis:
    """Analyse the source file `path` in a new `Project` (with the default
    host), which lives as long as the module does."""
    from .analysis import Project
    return Project(roots).analyze_file(path)
