"""The host: the pieces the analyzer's input pipeline is made of.

A host bundles the splitter (a text into logical lines, in full or again
after an edit), the grammar that parses one logical line and the factory of
the transformer that turns a parse into the analyzer's trees.  Two hosts
exist:

* ``native`` (the default): the splitter built into the ``logicalline``
  extension module, and the grammar and transformer of the
  ``pysource_grammar`` extension module;
* ``python``: the splitter, grammar and transformer of this package, written
  in Python; the reference the native host is checked against.

`get_host(name)` gives a host by name; with no name, the environment
variable ``PYSOURCE_HOST`` chooses, and ``native`` when it is unset.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Sequence, Set, Tuple

import logicalline

from . import splitter as _reference
from .splitter import ScanRecord

if TYPE_CHECKING:
    from logicalline import LogicalLine

__all__ = ["Host", "HOST_NAMES", "get_host", "host_name"]

HOST_NAMES = ("native", "python")

Pool = Optional[Dict[str, str]]
Record = ScanRecord
ScanFn = Callable[[str, Pool], List[Record]]


@dataclass(frozen=True)
class Host:
    """The pieces of one host.

    `scan_logical_lines(text, pool)` gives the records of the logical lines
    (`pysource.splitter.scan_logical_lines` says what they hold), and
    `rescan_logical_lines(old_text, old_records, new_text, pool, tries)` the
    records of an edited text made from those of the text before;
    `split_logical_lines(text, pool)` gives the `logicalline.LogicalLine`
    objects and `lines_from_records` makes them from records.
    `make_grammar()` gives a grammar and `make_transformer(pool,
    nonself_defs)` a transformer for one module.  `nonself_keys(lines)`
    gives the parse keys of the def lines under a static or class method
    decorator (the ``nonself_defs`` a transformer is made with).
    """

    name: str
    split_logical_lines: Callable[[str, Pool], List[LogicalLine]]
    scan_logical_lines: ScanFn
    rescan_logical_lines: Callable[..., List[Record]]
    lines_from_records: Callable[[List[Record]], List[LogicalLine]]
    make_grammar: Callable[[], Any]
    make_transformer: Callable[[Dict[str, str], Any], Any]
    nonself_keys: Callable[[Sequence[LogicalLine]], Set[Tuple[str, ...]]]


def _native_split(text: str, pool: Pool = None) -> List[LogicalLine]:
    return logicalline.split_logical_lines(text, pool)


def _native_scan(text: str, pool: Pool = None) -> List[Record]:
    return logicalline.scan_logical_lines(text, pool)


def _native_rescan(old_text: str, old_records: List[Record], new_text: str, pool: Pool = None,
                   tries: int = 4) -> List[Record]:
    return logicalline.rescan_logical_lines(old_text, old_records, new_text, pool, tries)


def _python_nonself_keys(lines: Sequence[LogicalLine]) -> Set[Tuple[str, ...]]:
    from .analysis import _decorator_scan_items, _nonself_keys
    return _nonself_keys(_decorator_scan_items(lines))


def _python_grammar() -> Any:
    from .grammar import Grammar
    return Grammar()


def _python_transformer(pool: Dict[str, str], nonself_defs: Any) -> Any:
    from . import transformer
    make: Any = transformer.Transformer
    return make(pool, nonself_defs)


def _make_native() -> Host:
    # The native grammar is built with the package; a missing one is a broken
    # install, said as such rather than hidden behind the slower reference.
    import pysource_grammar
    make_grammar: Callable[[], Any] = pysource_grammar.Grammar
    make_transformer: Callable[[Dict[str, str], Any], Any] = pysource_grammar.Transformer
    return Host("native", _native_split, _native_scan, _native_rescan, _reference.lines_from_records,
                make_grammar, make_transformer, logicalline.nonself_def_keys)


def _make_python() -> Host:
    return Host("python", _reference.split_logical_lines, _reference.scan_logical_lines,
                _reference.rescan_logical_lines, _reference.lines_from_records, _python_grammar,
                _python_transformer, _python_nonself_keys)


_hosts: Dict[str, Host] = {}


def host_name(name: Optional[str] = None) -> str:
    """The name of the host `name` stands for: itself, or for None the
    value of ``PYSOURCE_HOST`` (``native`` when unset or empty).  Raises
    ValueError for anything but a host name."""
    chosen = name
    if chosen is None:
        chosen = os.environ.get("PYSOURCE_HOST") or "native"
        where = "PYSOURCE_HOST"
    else:
        where = "host"
    if chosen not in HOST_NAMES:
        raise ValueError("%s must be one of %s, not %r" % (where, ", ".join(repr(n) for n in HOST_NAMES), chosen))
    return chosen


def get_host(name: Optional[str] = None) -> Host:
    """The host named `name` (see `host_name`)."""
    chosen = host_name(name)
    host = _hosts.get(chosen)
    if host is None:
        host = _hosts[chosen] = _make_native() if chosen == "native" else _make_python()
    return host
