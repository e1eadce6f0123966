"""What an editor asks about a position in a module, answered from module
analyses: the name under the cursor and where it is defined, what it is,
the names that can be written there, the outline of a module and the lines
that do not parse.

Everything here works on `ModuleAnalysis` objects of one `Project` and on
rows and columns as the logical lines hold them (rows from 1, columns in
characters from 0); the server turns them into the protocol's positions.
"""

from __future__ import annotations

import ast
import builtins
import keyword
import re
from typing import Any, Iterator, NamedTuple, Optional

from .analysis import _NO_TREE_KINDS, ModuleAnalysis
from .edits import line_positions
from .splitter import (kBlankLineIndex, kClassDefIndex, kCommentIndex, kFromImportIndex, kFunctionDefIndex,
                       kImportIndex, kStringExpressionIndex)

__all__ = ["Found", "Symbol", "Item", "name_at", "definitions", "describe", "completions", "symbols",
           "ParseErrors", "parse_error_range", "line_positions", "token_of", "source_row"]

Line = Any      # logicalline.LogicalLine
Module = ModuleAnalysis

_NOT_STATEMENTS = (kCommentIndex, kBlankLineIndex)
_DEFS = (kClassDefIndex, kFunctionDefIndex)
# How far imports, bases and type equivalences are followed.
_MAX_DEPTH = 12
_CALLED = re.compile(r"([^\W\d][\w.]*)\(")
_DOTTED_TAIL = re.compile(r"((?:[^\W\d]\w*\s*\.\s*)*)([^\W\d]\w*)?$")


class Found(NamedTuple):
    """A definition: the module it is in, its line (None for the module
    itself), the index of the defined name among the line's tokens (-1 when
    the name is not one token), its kind ("module", "class", "function",
    "method", "variable", "attribute", "parameter", "import"), its full
    dotted name in the module and the scope it is defined in."""
    mod: Module
    line: Optional[Line]
    token: int
    kind: str
    full_name: str
    scope: str


class Item(NamedTuple):
    """A name that can be written at a position, and its kind."""
    name: str
    kind: str


class Symbol(NamedTuple):
    """An entry of a module's outline: kind, name, the rows and columns of
    the whole definition and of its name, and the entries inside it."""
    kind: str
    name: str
    start: tuple[int, int]
    end: tuple[int, int]
    name_start: tuple[int, int]
    name_end: tuple[int, int]
    children: list["Symbol"]


def _join(scope: str, name: str) -> str:
    return scope + "." + name if scope else name


def _parent(scope: str) -> str:
    return scope.rpartition(".")[0]


def _is_name(token: str) -> bool:
    return token.isidentifier() and not keyword.iskeyword(token)


def _name_index_at(line: Line, row: int, col: int) -> int:
    """The index of the name token the cursor is in or just after, or -1.
    A cursor inside a name wins over one at the end of the name before."""
    tokens = line.tokens
    at = -1
    for i, (r, c) in enumerate(line_positions(line)):
        if r == row and c <= col <= c + len(tokens[i]) and _is_name(tokens[i]):
            at = i
            if col < c + len(tokens[i]):
                break
    return at


def _line_end(line: Line) -> tuple[int, int]:
    """Row and column just past the last token of a logical line."""
    positions = line_positions(line)
    tokens = line.tokens
    if not positions:
        return line.first_line, 0
    row, col = positions[-1]
    last = tokens[-1]
    if "\n" in last:
        return row + last.count("\n"), len(last) - last.rfind("\n") - 1
    return row, col + len(last)


# -- the name under the cursor ------------------------------------------------

def name_at(mod: Module, row: int, col: int) -> tuple[Optional[Line], list[str]]:
    """The logical line at a position and the dotted chain of names that
    ends with the name under the cursor (``self.items`` with the cursor on
    ``items``: ["self", "items"]); an empty chain when the cursor is on no
    name."""
    line = mod.line_at(row)
    if line is None:
        return None, []
    tokens = line.tokens
    at = _name_index_at(line, row, col)
    if at < 0:
        return line, []
    chain = [tokens[at]]
    i = at
    while i >= 2 and tokens[i - 1] == "." and _is_name(tokens[i - 2]):
        chain.insert(0, tokens[i - 2])
        i -= 2
    return line, chain


def _scope_at(mod: Module, line: Line) -> str:
    """The scope a line lies in; for a def or class line, the scope it
    defines, since its arguments and bases are written there."""
    scope: str = mod.scope_of(line)
    if line.type == kFunctionDefIndex and len(line.tokens) > 1:
        return _join(scope, line.tokens[1])
    return scope


def _enclosing(mod: Module, scope: str) -> list[str]:
    """The scopes a name used in `scope` is looked up in, innermost first:
    the scope itself, then the enclosing functions (class bodies are not
    seen from the functions inside them), then the module."""
    out = [scope]
    while scope:
        scope = _parent(scope)
        if scope and _kind_of_scope(mod, scope) == kClassDefIndex:
            continue
        out.append(scope)
    return out


def _def_line(mod: Module, scope: str) -> Optional[Line]:
    if not scope:
        return None
    try:
        return mod.impl.GetScopeDefForFullName(scope)
    except KeyError:
        return None


def _instance_attributes(mod: Module, cls: str) -> list[tuple[str, Line]]:
    """(name, line) of the instance attributes the methods of class `cls`
    set.  A class holding a def line without a name yet (``def`` as it is
    being typed) makes the analyzer fail; it then has none."""
    try:
        return list(mod.impl.GetInstanceAttributes(cls, None) or ())
    except (KeyError, SystemError):
        return []


def _attribute_equivs(mod: Module, attr: str, cls: str) -> list[str]:
    """What instance attribute `attr` of class `cls` is equivalent to, in
    all its methods (none where the analyzer fails, as above)."""
    try:
        return [t for _, equivs in mod.impl.FindInstAttribTypeEquivs(attr, cls, None) for t in equivs]
    except (KeyError, SystemError):
        return []


def _kind_of_scope(mod: Module, scope: str) -> int:
    line = _def_line(mod, scope)
    return int(line.type) if line is not None else -1


# -- definitions ---------------------------------------------------------------

def token_of(line: Line, name: str) -> int:
    """Index of the token that defines `name` on a line (the last part of a
    dotted name), or -1."""
    tokens = line.tokens
    if line.type in _DEFS:
        return 1 if len(tokens) > 1 and tokens[1] == name else -1
    parts = name.split(".")
    n = len(parts)
    want = []
    for k, p in enumerate(parts):
        if k:
            want.append(".")
        want.append(p)
    for i in range(len(tokens) - len(want) + 1):
        if list(tokens[i:i + len(want)]) == want:
            return i + len(want) - 1
    if n == 1 and name in tokens:
        return int(tokens.index(name))
    return -1


def _kind_name(ref: Any, mod: Module, scope: str) -> str:
    kind = ref.fKind
    if kind == "class":
        return "class"
    if kind == "function":
        return "method" if scope and _kind_of_scope(mod, scope) == kClassDefIndex else "function"
    if kind == "imported":
        return "import"
    return "variable"


def _found_from_ref(mod: Module, scope: str, ref: Any) -> Found:
    line = ref.fLogical
    local = ref.fLocalName
    return Found(mod, line, token_of(line, local) if line is not None else -1,
                 _kind_name(ref, mod, scope), _join(scope, local), scope)


def _search(mod: Module, scope: str, name: str) -> list[Any]:
    refs: list[Any] = mod.impl.SearchForAttribs({"scope_name": scope, "local_name": name,
                                                 "dotted_names_valid": 1 if "." in name else 0})
    refs.sort(key=lambda r: r.fLogical.first_line if r.fLogical is not None else 0)
    return refs


def _pick(refs: list[Any], row: int) -> Any:
    """The definition a use at `row` most likely sees: the last one above
    it, else the first."""
    best = refs[0]
    for ref in refs:
        if ref.fLogical is not None and ref.fLogical.first_line <= row:
            best = ref
    return best


def _parameter(mod: Module, scope: str, name: str) -> Optional[Found]:
    line = _def_line(mod, scope)
    if line is None or line.type != kFunctionDefIndex or name not in line.objs:
        return None
    tokens = line.tokens
    i = tokens.index(name, 2) if name in tokens[2:] else -1
    return Found(mod, line, i, "parameter", _join(scope, name), scope)


def _follow(found: Found, depth: int) -> list[Found]:
    """An import followed to what it imports: into the imported module,
    through its own imports; the import itself when the module has no
    source."""
    if found.kind != "import" or depth > _MAX_DEPTH or found.line is None:
        return [found]
    entry = None
    for e in found.line.objs:
        if type(e) is tuple and e[0] == found.full_name.rpartition(".")[2]:
            entry = e
            break
    if entry is None or entry[1] is None:
        return [found]
    target, inside = entry[1], entry[2]
    here = Found(target, None, -1, "module", "", "")
    if not inside:
        return [here]
    result = [here]
    for part in inside.split("."):
        result = _member(result[0], part, depth + 1)
        if not result:
            return [found]
    return result


def _module_member(mod: Module, name: str, depth: int) -> list[Found]:
    refs = _search(mod, "", name)
    if refs:
        return _follow(_found_from_ref(mod, "", refs[0]), depth)
    # A submodule of a package (``from pkg import sub``, ``pkg.sub``).
    factory = mod.fAnalysisFactory
    sub = factory.FindAnalysisByName(mod.fLocalName + "." + name, None) if mod.fLocalName else None
    if sub is not None and sub is not mod:
        return [Found(sub, None, -1, "module", "", "")]
    return []


def _bases(cls: Found, depth: int) -> Iterator[Found]:
    if cls.line is None or depth > _MAX_DEPTH:
        return
    for base in cls.line.objs:
        if type(base) is str and base != "object":
            for f in _resolve_text(cls.mod, cls.scope, base, cls.line.first_line, depth + 1):
                if f.kind == "class":
                    yield f


def _class_member(cls: Found, name: str, depth: int) -> list[Found]:
    mod, full = cls.mod, cls.full_name
    refs = _search(mod, full, name)
    if refs:
        return _follow(_found_from_ref(mod, full, refs[0]), depth)
    for attr, line in _instance_attributes(mod, full):
        if attr == name:
            return [Found(mod, line, token_of(line, "self." + name), "attribute", _join(full, name),
                          mod.scope_of(line))]
    for base in _bases(cls, depth):
        found = _class_member(base, name, depth + 1)
        if found:
            return found
    return []


def _instance_class(found: Found, depth: int) -> Optional[Found]:
    """The class a variable holds an instance of, from its type
    equivalences: an instance type (``Foo:``, from ``isinstance`` or a
    method's first argument) or a call of a class (``x = Foo()``)."""
    if depth > _MAX_DEPTH or found.line is None:
        return None
    mod = found.mod
    if found.kind == "attribute":
        owner = found.full_name.rpartition(".")[0]
        texts = _attribute_equivs(mod, found.full_name.rpartition(".")[2], owner)
    else:
        texts = mod.impl.FindTypeEquivs(found.full_name.rpartition(".")[2], found.scope)
    for text in texts:
        if text.endswith(":") and not text.startswith("::"):
            expr = text[:-1]
        else:
            call = _CALLED.match(text)
            if call is None:
                continue
            expr = call.group(1)
        line = _def_line(mod, expr)
        if line is not None and line.type == kClassDefIndex:
            return Found(mod, line, 1, "class", expr, _parent(expr))
        for f in _resolve_text(mod, found.scope, expr, found.line.first_line, depth + 1):
            if f.kind == "class":
                return f
    return None


def _member(found: Found, name: str, depth: int) -> list[Found]:
    if depth > _MAX_DEPTH:
        return []
    if found.kind == "module":
        return _module_member(found.mod, name, depth)
    if found.kind == "class":
        return _class_member(found, name, depth)
    cls = _instance_class(found, depth)
    return _class_member(cls, name, depth + 1) if cls is not None else []


def _lookup(mod: Module, scope: str, name: str, row: int, depth: int) -> list[Found]:
    for s in _enclosing(mod, scope):
        if s:
            param = _parameter(mod, s, name)
            if param is not None:
                return [param]
        refs = _search(mod, s, name)
        if refs:
            return _follow(_found_from_ref(mod, s, _pick(refs, row)), depth)
    return []


def _resolve_chain(mod: Module, scope: str, chain: list[str], row: int, depth: int = 0) -> list[Found]:
    found = _lookup(mod, scope, chain[0], row, depth)
    for name in chain[1:]:
        if not found:
            return []
        found = _member(found[0], name, depth + 1)
    return found


def _resolve_text(mod: Module, scope: str, text: str, row: int, depth: int) -> list[Found]:
    chain = [p.strip() for p in text.split(".")]
    if not all(_is_name(p) for p in chain):
        return []
    return _resolve_chain(mod, scope, chain, row, depth)


def _imported_module_at(mod: Module, line: Line, row: int, col: int) -> Optional[Found]:
    """The module named under the cursor in an import line (``import
    a.b``, ``from .a import b``, up to the name under the cursor), or
    None."""
    tokens = line.tokens
    at = _name_index_at(line, row, col)
    if at < 0:
        return None
    if line.type == kFromImportIndex:
        if "import" not in tokens or at >= tokens.index("import"):
            return None
        start = 1
    else:
        start = at
        while start > 1 and (tokens[start - 1] == "." or _is_name(tokens[start - 1])):
            start -= 1
        if tokens[start - 1] not in ("import", ","):
            return None     # an alias after "as"
    name = "".join(tokens[start:at + 1])
    found = mod.fAnalysisFactory.FindAnalysisByName(name, mod.fPackageDir)
    return Found(found, None, -1, "module", "", "") if found is not None else None


def definitions(mod: Module, row: int, col: int) -> list[Found]:
    """Where the name under the cursor is defined, as the analyzer resolves
    it: its scope, the enclosing scopes and the module, then imports into
    the imported modules; ``self.x`` to the instance attribute's
    assignments (or the class's members) in the class and its bases;
    ``mod.x`` through the import of ``mod``."""
    line, chain = name_at(mod, row, col)
    if line is None or not chain:
        return []
    tokens = line.tokens
    if line.type in _DEFS and len(tokens) > 1 and tokens[1] == chain[-1] and len(chain) == 1:
        scope = mod.scope_of(line)
        kind = "class" if line.type == kClassDefIndex else (
            "method" if _kind_of_scope(mod, scope) == kClassDefIndex else "function")
        return [Found(mod, line, 1, kind, _join(scope, chain[0]), scope)]
    if line.type in (kImportIndex, kFromImportIndex):
        module = _imported_module_at(mod, line, row, col)
        if module is not None:
            return [module]
    here = _scope_at(mod, line)
    found = _resolve_chain(mod, here, chain, row)
    if len(chain) == 2 and chain[0] == "self" and found and found[0].kind == "attribute":
        # Every assignment of the instance attribute in the class.
        instance = _lookup(mod, here, "self", row, 0)
        cls = _instance_class(instance[0], 0) if instance else None
        if cls is not None:
            more = [Found(cls.mod, ln, token_of(ln, "self." + chain[1]), "attribute",
                          _join(cls.full_name, chain[1]), cls.mod.scope_of(ln))
                    for attr, ln in _instance_attributes(cls.mod, cls.full_name)
                    if attr == chain[1]]
            if more:
                return more
    return found


# -- hover -----------------------------------------------------------------------

def doc_string(found: Found) -> Optional[str]:
    """The doc string of a module, class or function, when it has one."""
    mod = found.mod
    lines = mod.lines
    if found.line is None:
        i, indent = 0, -1
    else:
        try:
            i = mod.impl.IndexForLineno(found.line.first_line) + 1
        except Exception:
            return None
        indent = found.line.indent
        if found.kind not in ("class", "function", "method"):
            return None
    while i < len(lines) and lines[i].type in _NOT_STATEMENTS:
        i += 1
    if i >= len(lines) or lines[i].type != kStringExpressionIndex or lines[i].indent <= indent:
        return None
    tokens = [t for t in lines[i].tokens if not t.startswith("#")]
    try:
        value = ast.literal_eval(" ".join(tokens))
    except (ValueError, SyntaxError, MemoryError, RecursionError):
        return None
    if not isinstance(value, str):
        return None
    import inspect
    return inspect.cleandoc(value)


def source_row(mod: Module, row: int) -> str:
    """The text of a physical row of a module's source."""
    text: str = mod.row(row)
    return text


def describe(mod: Module, row: int, col: int) -> Optional[str]:
    """What the name under the cursor is, as Markdown: its kind and full
    dotted name, its definition line, its doc string, and its type
    equivalences in the scope under the cursor."""
    line, chain = name_at(mod, row, col)
    if not chain:
        return None
    found = definitions(mod, row, col)
    scope = _scope_at(mod, line)
    parts = []
    if found:
        f = found[0]
        full = f.full_name
        module_name = f.mod.fLocalName or ""
        dotted = _join(module_name, full) if full else module_name
        parts.append("```python\n(%s) %s\n```" % (f.kind, dotted))
        if f.line is not None:
            parts.append("```python\n%s\n```" % source_row(f.mod, f.line.first_line).strip())
        doc = doc_string(f)
        if doc:
            parts.append(doc)
    else:
        parts.append("```python\n%s\n```" % ".".join(chain))
    if len(chain) == 1:
        equivs = mod.impl.FindTypeEquivs(chain[0], scope)
    elif len(chain) == 2 and chain[0] == "self" and found and found[0].kind == "attribute":
        owner = found[0].full_name.rpartition(".")[0]
        equivs = _attribute_equivs(found[0].mod, chain[1], owner)
    else:
        equivs = mod.impl.FindTypeEquivs(".".join(chain), scope)
    if equivs:
        seen: list[str] = []
        for t in equivs:
            if t not in seen:
                seen.append(t)
        parts.append("Equivalent to: " + ", ".join("`%s`" % t for t in seen) +
                     " (in `%s`)" % (scope or "module"))
    return "\n\n".join(parts)


# -- completion ------------------------------------------------------------------

def _names_of_scope(mod: Module, scope: str) -> list[Item]:
    out = []
    for ref in mod.impl.SearchForAttribs({"scope_name": scope, "local_name": "*", "find_all": 0,
                                          "dotted_names_valid": 0}):
        out.append(Item(ref.fLocalName, _kind_name(ref, mod, scope)))
    return out


def _members_of(found: Found, depth: int = 0) -> list[Item]:
    if depth > _MAX_DEPTH:
        return []
    if found.kind == "module":
        return [Item(r.fLocalName, _kind_name(r, found.mod, "")) for r in found.mod.GetScopeAttributes("", 0, 0)]
    if found.kind != "class":
        cls = _instance_class(found, depth)
        return _members_of(cls, depth + 1) if cls is not None else []
    mod = found.mod
    items = _names_of_scope(mod, found.full_name)
    items += [Item(attr, "attribute") for attr, _ in _instance_attributes(mod, found.full_name)]
    for base in _bases(found, depth):
        items += _members_of(base, depth + 1)
    return items


_BUILTINS = [Item(n, "class" if isinstance(getattr(builtins, n), type) else "function")
             for n in dir(builtins) if not n.startswith("_")] + [Item(k, "keyword") for k in keyword.kwlist]


def completions(mod: Module, row: int, col: int, row_text: str) -> list[Item]:
    """The names that can be written at the cursor, whose text up to the
    cursor is `row_text[:col]`: after ``self.``, the instance attributes and
    members of the enclosing class and its bases; after a module's name,
    the module's names; elsewhere the names visible from the line's scope,
    and the builtins and keywords.  Only names that start with what is
    typed already are given."""
    m = _DOTTED_TAIL.search(row_text[:col])
    if m is None:
        return []
    chain = [p.strip() for p in m.group(1).split(".")][:-1] if m.group(1) else []
    typed = m.group(2) or ""
    line = mod.line_at(row)
    if line is None:
        # Past the last line, or a row the list has not placed: the scope
        # of the nearest line above it.
        r = row - 1
        while r > 0 and line is None:
            line = mod.line_at(r)
            r -= 1
    scope = _scope_at(mod, line) if line is not None else ""
    if line is not None and line.first_line != row and line.type in _NOT_STATEMENTS:
        scope = mod.scope_of(line)
    if chain:
        found = _resolve_chain(mod, scope, chain, row)
        items = _members_of(found[0]) if found else []
    else:
        items = []
        for s in _enclosing(mod, scope):
            if s:
                d = _def_line(mod, s)
                if d is not None and d.type == kFunctionDefIndex:
                    items += [Item(a, "parameter") for a in d.objs if type(a) is str]
            items += _names_of_scope(mod, s)
        items += _BUILTINS
    out = []
    seen = set()
    for item in items:
        if item.name.startswith(typed) and item.name not in seen and "." not in item.name:
            seen.add(item.name)
            out.append(item)
    return out


# -- outline -----------------------------------------------------------------------

def symbols(mod: Module) -> list[Symbol]:
    """The module's classes, functions and methods and the names assigned
    at module and class level, nested as they are in the source, each with
    the rows and columns of the whole definition and of its name."""
    mod.analyze()
    top: list[Symbol] = []
    # (indent, children, is a class, symbol fields, names seen)
    stack: list[tuple[int, list[Symbol], bool, Optional[list[Any]], set[str]]] = [(-1, top, False, None, set())]
    decorators: Optional[tuple[int, int]] = None
    last_end: tuple[int, int] = (1, 0)

    def close(entry: tuple[int, list[Symbol], bool, Optional[list[Any]], set[str]]) -> None:
        fields = entry[3]
        if fields is not None:
            fields[3] = last_end
            parent = fields.pop()
            parent.append(Symbol(*fields))

    for line in mod.lines:
        kind = line.type
        if kind in _NOT_STATEMENTS:
            continue
        indent = line.indent
        while len(stack) > 1 and stack[-1][0] >= indent:
            close(stack.pop())
        children, in_class, seen = stack[-1][1], stack[-1][2], stack[-1][4]
        tokens = line.tokens
        positions = line_positions(line)
        if tokens and tokens[0] == "@":
            if decorators is None:
                decorators = positions[0]
            last_end = _line_end(line)
            continue
        start = decorators if decorators is not None else positions[0]
        decorators = None
        if kind in _DEFS and len(tokens) > 1:
            name = tokens[1]
            if kind == kClassDefIndex:
                what = "class"
            else:
                what = "method" if in_class else "function"
            row, col = positions[1]
            inner: list[Symbol] = []
            fields: list[Any] = [what, name, start, None, (row, col), (row, col + len(name)), inner, children]
            stack.append((indent, inner, kind == kClassDefIndex, fields, set()))
        elif len(stack) == 1 or in_class:
            for entry in line.objs:
                if type(entry) is str and "." not in entry and entry not in seen and not line.type in _DEFS:
                    i = token_of(line, entry)
                    if i < 0:
                        continue
                    seen.add(entry)
                    row, col = positions[i]
                    children.append(Symbol("variable", entry, start, _line_end(line), (row, col),
                                           (row, col + len(entry)), []))
        last_end = _line_end(line)
    while len(stack) > 1:
        close(stack.pop())
    return top


# -- lines that do not parse ---------------------------------------------------------

class ParseErrors:
    """The lines of a module that do not parse, each with the parser's
    message; each line object is parsed once."""

    def __init__(self) -> None:
        self._known: dict[int, tuple[Line, Optional[str]]] = {}

    def errors(self, mod: Module) -> list[tuple[Line, str]]:
        known = self._known
        fresh: dict[int, tuple[Line, Optional[str]]] = {}
        out = []
        for line in mod.lines:
            if line.type in _NO_TREE_KINDS:
                continue
            entry = known.get(id(line))
            if entry is None or entry[0] is not line:
                entry = (line, _parse_error(mod, line))
            fresh[id(line)] = entry
            if entry[1] is not None:
                out.append((line, entry[1]))
        self._known = fresh
        return out


def _parse_error(mod: Module, line: Line) -> Optional[str]:
    """The message of the module's grammar for `line`, parsed as the
    analysis parses it; None when it parses."""
    e = mod.parse_error(line)
    if e is None:
        return None
    if isinstance(e, SyntaxError):
        return "SyntaxError: %s" % (e.msg,)
    return "%s: %s" % (type(e).__name__, e)


def parse_error_range(line: Line) -> tuple[tuple[int, int], tuple[int, int]]:
    positions = line_positions(line)
    return (positions[0] if positions else (line.first_line, 0)), _line_end(line)
