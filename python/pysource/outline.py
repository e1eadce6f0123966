"""The outline of an analysed module: its classes and functions as a tree,
each with its signature as written in the source (parameters with their
defaults and annotations, ``*args``, ``**kw``, the ``/`` and ``*``
markers, the return annotation), its decorators and ``async``; classes with
their bases and the instance attributes their methods set."""

from __future__ import annotations

import ast
import re
import warnings
from typing import Any

from .analysis import ModuleAnalysis
from .splitter import kClassDefIndex, kFunctionDefIndex

__all__ = ["outline", "signature_text"]

_NEWLINE = re.compile(r"\r\n|\r|\n")


def _def_node(text: str) -> tuple[ast.FunctionDef | ast.AsyncFunctionDef | ast.ClassDef | None, str]:
    """The definition statement of a def or class line's source, and the
    source it was parsed from."""
    text = text.strip()
    for suffix in ("\n    pass\n", "\n"):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                tree = ast.parse(text + suffix)
        except (SyntaxError, ValueError, RecursionError, MemoryError):
            continue
        if tree.body and isinstance(tree.body[0], (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            return tree.body[0], text + suffix
    return None, text


class _Span:
    def __init__(self, first: ast.AST, last: ast.AST) -> None:
        self.lineno = getattr(first, "lineno")
        self.col_offset = getattr(first, "col_offset")
        self.end_lineno = getattr(last, "end_lineno")
        self.end_col_offset = getattr(last, "end_col_offset")


def _segment(source: str, first: ast.AST, last: ast.AST | None = None) -> str:
    """The source of `first` (through `last`), on one line."""
    # A _Span has the four positions get_source_segment reads, and no more.
    text = ast.get_source_segment(source, _Span(first, last or first))  # type: ignore[arg-type]
    if text is None:
        text = ast.unparse(first)
    return re.sub(r"\s*\n\s*", " ", text)


def signature_text(node: ast.FunctionDef | ast.AsyncFunctionDef, source: str) -> str:
    """``(a, b=1, *args, key: int, **kw) -> str`` of a def whose
    statement's source is `source`: each parameter as written (one line),
    with the ``/`` and ``*`` markers where they stand."""
    a = node.args
    positional = a.posonlyargs + a.args
    defaults: list[ast.expr | None] = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    parts = []
    for i, (arg, default) in enumerate(zip(positional, defaults)):
        parts.append(_segment(source, arg, default))
        if a.posonlyargs and i == len(a.posonlyargs) - 1:
            parts.append("/")
    if a.vararg is not None:
        parts.append("*" + _segment(source, a.vararg))
    elif a.kwonlyargs:
        parts.append("*")
    for arg, kwdefault in zip(a.kwonlyargs, a.kw_defaults):
        parts.append(_segment(source, arg, kwdefault))
    if a.kwarg is not None:
        parts.append("**" + _segment(source, a.kwarg))
    text = "(%s)" % ", ".join(parts)
    if node.returns is not None:
        text += " -> " + _segment(source, node.returns)
    return text


def _property_role(decorators: list[str], name: str) -> str | None:
    for d in decorators:
        if d in ("property", "functools.cached_property", "cached_property"):
            return "getter"
        for role in ("setter", "getter", "deleter"):
            if d == "%s.%s" % (name, role):
                return role
    return None


def outline(mod: ModuleAnalysis) -> list[dict[str, Any]]:
    """The scope tree of an analysed module: a list of nodes, dicts with
    kind ("class", "def" or "async def"), name, full_name, line,
    decorators (their source, without '@'), for classes bases and
    attributes (instance attributes set by the methods), for functions
    signature and, when it is one, property ("getter", "setter",
    "deleter"); and children."""
    impl = mod.impl
    rows = _NEWLINE.split(mod.source)
    lines = mod.lines
    top: list[dict[str, Any]] = []
    by_name: dict[str, dict[str, Any]] = {}
    for i, line in enumerate(lines):
        kind = line.type
        if kind not in (kClassDefIndex, kFunctionDefIndex) or len(line.tokens) < 2:
            continue
        full = impl.GetFullNameForScopeDef(line)
        first = line.first_line - 1
        node_src = "\n".join(rows[first:first + max(1, line.line_count)])
        tree, parsed = _def_node(node_src)
        decorators: list[str] = []
        j = i - 1
        while j >= 0 and lines[j].tokens and lines[j].tokens[0] == "@" and lines[j].indent == line.indent:
            d = lines[j]
            text = "\n".join(rows[d.first_line - 1:d.first_line - 1 + max(1, d.line_count)]).strip()
            decorators.insert(0, re.sub(r"\s*#.*$", "", text[1:]).strip())
            j -= 1
        name = line.tokens[1]
        node: dict[str, Any] = {"kind": "class", "name": name, "full_name": full,
                                "line": line.first_line, "decorators": decorators}
        if kind == kClassDefIndex:
            if isinstance(tree, ast.ClassDef):
                bases = [_segment(parsed, b) for b in tree.bases]
                bases += [_segment(parsed, k) for k in tree.keywords]
            else:
                bases = [str(o) for o in line.objs if isinstance(o, str)]
            node["bases"] = bases
            attrs: list[str] = []
            for attr, _ in impl.GetInstanceAttributes(full, None) or ():
                if attr not in attrs:
                    attrs.append(attr)
            node["attributes"] = attrs
        else:
            is_async = line.tokens[0].startswith("async")
            node["kind"] = "async def" if is_async else "def"
            if isinstance(tree, (ast.FunctionDef, ast.AsyncFunctionDef)):
                node["signature"] = signature_text(tree, parsed)
            else:
                node["signature"] = "(%s)" % ", ".join(str(o) for o in line.objs if isinstance(o, str))
            role = _property_role(decorators, name)
            if role is not None:
                node["property"] = role
        node["children"] = []
        parent = by_name.get(full.rpartition(".")[0]) if "." in full else None
        (parent["children"] if parent is not None else top).append(node)
        by_name[full] = node
    return top
