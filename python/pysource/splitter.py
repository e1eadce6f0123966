"""Splitting Python 3 source text into logical lines.

A logical line is one of:

* a statement line: the tokens of one statement line, continuation lines
  (open brackets, backslashes, strings spanning lines) joined in; a compound
  statement with its body on the same line (``if x: y = 1``) and
  semicolon-separated statements (``a = 1; b = 2``) stay one logical line;
* a comment line: a physical line holding only a comment, outside any
  statement; its single token is the comment text;
* a blank line: a physical line holding only white space; no tokens.

Tokens are the source texts of the statement's tokens: names, numbers,
operators and brackets, and each string, byte string or f-string as one token
(implicitly concatenated strings stay separate tokens).  A comment at the end
of a line, or on a line of its own inside brackets, is a token starting with
"#"; the analyzer skips such tokens when it parses the line.  Newlines,
indentation and backslash continuations produce no token.

Two soft merges keep the analyzer's view simple: when a statement line starts
with ``async`` followed by ``def``, ``for`` or ``with``, the two words are one
token ("async def", "async for", "async with"), so that the defined name of
``async def f():`` is token 1, as for ``def f():``.  Joined with blanks the
tokens still read as the original statement.

Each token has a (row, col) position: row is the 1-based physical line number
and col the 0-based character offset in that line (both saturate at 65535,
the width of the stored fields).  A line's ``indent`` is the width of the
leading white space of its first physical line, a tab advancing to the next
multiple of 8 and a form feed resetting it to 0; ``tabs_in_indent`` and
``spaces_in_indent`` tell which characters that white space holds.

Every token text is taken from a name pool, a dictionary mapping each text to
itself, so equal texts are one object; the pool is meant to be shared with the
analyzer of the module.

The scanner is a single regular expression run over the whole text, with the
bookkeeping of one loop iteration per token.  String tokens follow the
Python 3.12 rules for f-strings (a replacement field may hold strings quoted
like the f-string itself, span rows and hold comments), which agree with
older versions on all source they accept.  Source that does not tokenize (an
unterminated string, a stray character) still splits: an unterminated
single-quoted string runs to the end of its physical line, an unterminated
triple-quoted one to the end of the text, and any other stray character is a
token of its own.

The logical line module holds a native splitter that gives the same records
and lines (`pysource.hosts` chooses between the two).
"""

from __future__ import annotations

import re
from typing import TYPE_CHECKING, Callable, Iterable, Sequence

if TYPE_CHECKING:
    from logicalline import LogicalLine

__all__ = [
    "split_logical_lines", "scan_logical_lines", "rescan_logical_lines", "lines_from_records", "line_kind",
    "kUnknownIndex", "kClassDefIndex", "kFunctionDefIndex", "kStringExpressionIndex",
    "kAssignmentIndex", "kIfBeginningIndex", "kElseBeginningIndex", "kWhileBeginningIndex",
    "kForBeginningIndex", "kPassIndex", "kRaiseIndex", "kTryIndex", "kExceptIndex",
    "kFinallyIndex", "kAssertIndex", "kReturnIndex", "kImportIndex", "kFromImportIndex",
    "kPrintIndex", "kDeleteIndex", "kElifBeginningIndex", "kCommentIndex",
    "kBlankLineIndex", "kBreakIndex", "KIND_NAMES",
]

# Line kinds (the values the logical line module uses).
kUnknownIndex = 0
kClassDefIndex = 1
kFunctionDefIndex = 2
kStringExpressionIndex = 3
kAssignmentIndex = 4
kIfBeginningIndex = 5
kElseBeginningIndex = 6
kWhileBeginningIndex = 7
kForBeginningIndex = 8
kPassIndex = 9
kRaiseIndex = 10
kTryIndex = 11
kExceptIndex = 12
kFinallyIndex = 13
kAssertIndex = 14
kReturnIndex = 15
kImportIndex = 16
kFromImportIndex = 17
kPrintIndex = 18
kDeleteIndex = 19
kElifBeginningIndex = 20
kCommentIndex = 21
kBlankLineIndex = 22
kBreakIndex = 23

# A logical line as the scanner makes it: (tokens, positions, first line,
# line count, indent, kind, tabs in indent, spaces in indent).
ScanRecord = tuple[list[str], list[tuple[int, int]], int, int, int, int, bool, bool]

KIND_NAMES = {v: k for k, v in globals().items() if k.startswith("k") and k.endswith("Index")}

# Kind of a statement line by its first token.  `print` is a function in
# Python 3, so no line is ever of the print kind.
_KIND_BY_FIRST = {
    "class": kClassDefIndex,
    "def": kFunctionDefIndex,
    "async def": kFunctionDefIndex,
    "if": kIfBeginningIndex,
    "elif": kElifBeginningIndex,
    "else": kElseBeginningIndex,
    "while": kWhileBeginningIndex,
    "for": kForBeginningIndex,
    "async for": kForBeginningIndex,
    "pass": kPassIndex,
    "raise": kRaiseIndex,
    "try": kTryIndex,
    "except": kExceptIndex,
    "finally": kFinallyIndex,
    "assert": kAssertIndex,
    "return": kReturnIndex,
    "import": kImportIndex,
    "from": kFromImportIndex,
    "del": kDeleteIndex,
    "break": kBreakIndex,
}
# Statements that start with a keyword and are never assignments.
_OTHER_KEYWORDS = frozenset([
    "with", "async with", "global", "nonlocal", "continue", "yield", "await", "lambda",
    "not", "None", "True", "False", "async", "@",
])
_ASSIGN_OPS = frozenset(["=", "+=", "-=", "*=", "/=", "//=", "%=", "@=", "&=", "|=", "^=",
                         ">>=", "<<=", "**="])
_STRING_PREFIX_CHARS = frozenset("rRbBuUfF")

_PREFIX = r"(?:[rR][bBfF]?|[bBfF][rR]?|[uU])?"
_TRIPLE_STRING_BODY = (
    r"'''[^'\\]*(?:(?:\\[\s\S]|'(?!''))[^'\\]*)*'''"
    r'|"""[^"\\]*(?:(?:\\[\s\S]|"(?!""))[^"\\]*)*"""'
)
_SINGLE_STRING_BODY = (
    r"'[^'\\\n\r]*(?:\\(?:\r\n|[\s\S])[^'\\\n\r]*)*'"
    r'|"[^"\\\n\r]*(?:\\(?:\r\n|[\s\S])[^"\\\n\r]*)*"'
)
_STRING = (
    # Unterminated strings: a triple-quoted one runs to the end of the text,
    # a single-quoted one to the end of its physical line.
    _PREFIX + "(?:" + _TRIPLE_STRING_BODY + r"|'''[\s\S]*|\"\"\"[\s\S]*|" +
    _SINGLE_STRING_BODY + r"|['\"][^\n\r]*)"
)
_CLOSED_STRING_RE = re.compile(_PREFIX + "(?:" + _TRIPLE_STRING_BODY + "|" + _SINGLE_STRING_BODY + ")")
# A name: as in the interpreter's tokenizer, any non-ASCII character may be
# part of one (combining marks are, though `\w` doesn't match them); the
# parser rejects those that can't.
_NAME = r"(?:[^\W\d]|[^\x00-\x7f])(?:\w+|[^\x00-\x7f])*"
_DIGITS = r"[0-9](?:_?[0-9])*"
_EXPONENT = r"[eE][-+]?" + _DIGITS
_FLOAT = r"(?:(?:%s\.(?:%s)?|\.%s)(?:%s)?|%s%s)" % (_DIGITS, _DIGITS, _DIGITS, _EXPONENT, _DIGITS, _EXPONENT)
_NUMBER = (
    r"(?:%s[jJ]|%s[jJ]|%s" % (_DIGITS, _FLOAT, _FLOAT) +
    r"|0[xX](?:_?[0-9a-fA-F])+|0[bB](?:_?[01])+|0[oO](?:_?[0-7])+|0(?:_?0)*|[1-9](?:_?[0-9])*)"
)
_OPERATOR = (
    r"\*\*=|//=|>>=|<<=|\.\.\.|->|:=|[-+*/%&|^@<>=!]=|\*\*|//|<<|>>"
    r"|[-+*/%&|^~@<>=.,:;()\[\]{}]"
)
# Groups: 1 newline, 2 comment, 3 backslash continuation, 4 string, 5 any
# other token (name, number, operator, stray character).  Leading blanks are
# part of the match so that every match is a token.
_TOKEN_RE = re.compile(
    r"[ \t\f]*(?:(\r\n|\r|\n)|(#[^\r\n]*)|(\\(?:\r\n|\r|\n|$))|(?=[rRbBfFuU]{0,2}['\"])(" + _STRING + r")"
    r"|(" + _NAME + "|" + _NUMBER + "|" + _OPERATOR + r"|[^ \t\f\r\n]))"
)
_TRAILING_BLANKS_RE = re.compile(r"[ \t\f]+\Z")
_NEWLINE_RE = re.compile(r"\r\n|\r|\n")


# --- f-strings --------------------------------------------------------------

_FSTRING_LITERAL_RE = re.compile(r"[^\\{}'\"\r\n]+")
_FEXPR_PLAIN_RE = re.compile(r"[^'\"{}()\[\]:!=<>\\#\r\n]+")


# Replacement fields nested deeper than this (through format specs) make
# the f-string count as not well formed; the interpreter's own limit is lower.
_MAX_FSTRING_NESTING = 150


def _fstring_end(text: str, i: int, quote: str, level: int = 0) -> int:
    """End offset of an f-string whose body starts at `i` (just past the
    opening `quote`), or -1 when it does not end well."""
    n = len(text)
    triple = len(quote) == 3
    match_literal = _FSTRING_LITERAL_RE.match
    while i < n:
        m = match_literal(text, i)
        if m is not None:
            i = m.end()
            if i >= n:
                break
        c = text[i]
        if c == quote[0] and text.startswith(quote, i):
            return i + len(quote)
        if c == "\\":
            # An escape; "\{" leaves the brace to start a field.
            i += 1 if text[i + 1:i + 2] in ("{", "}") else 2
        elif c == "{":
            if text.startswith("{", i + 1):
                i += 2
            else:
                i = _fexpr_end(text, i + 1, quote, level)
                if i < 0:
                    return -1
        elif c in "\r\n" and not triple:
            return -1
        else:  # "}", a lone quote of the other kind, or a newline
            i += 1
    return -1


def _fexpr_end(text: str, i: int, quote: str, level: int) -> int:
    """End offset (past the closing brace) of the replacement field whose
    expression starts at `i`, or -1.  As from Python 3.12, the expression
    may span rows and hold comments, whatever the f-string's quotes."""
    if level >= _MAX_FSTRING_NESTING:
        return -1
    n = len(text)
    depth = 0
    match_plain = _FEXPR_PLAIN_RE.match
    match_token = _TOKEN_RE.match
    while i < n:
        m = match_plain(text, i)
        if m is not None:
            i = m.end()
            if i >= n:
                break
        c = text[i]
        if c in "'\"":
            # A nested string (quoted like the f-string or not).
            j = _string_end(text, i)
            if j < 0:
                return -1
            i = j
        elif c in "([{":
            depth += 1
            i += 1
        elif c in ")]":
            depth -= 1
            i += 1
        elif c == "}":
            if depth == 0:
                return i + 1
            depth -= 1
            i += 1
        elif depth == 0 and c == "!" and not text.startswith("=", i + 1):
            i += 1  # conversion; the format spec or the closing brace follow
        elif depth == 0 and c == ":":
            return _fspec_end(text, i + 1, quote, level + 1)
        elif c in "=<>!:":
            i += 1
        elif c == "\\":
            m = match_token(text, i)
            i = m.end() if m is not None else i + 1
        elif c == "#":
            # A comment runs to the end of its row.
            while i < n and text[i] not in "\r\n":
                i += 1
        else:
            i += 1
    return -1


def _fspec_end(text: str, i: int, quote: str, level: int) -> int:
    """End offset of a format spec (and its replacement field), or -1."""
    n = len(text)
    while i < n:
        c = text[i]
        if c == "}":
            return i + 1
        if c == "{":
            i = _fexpr_end(text, i + 1, quote, level)
            if i < 0:
                return -1
        elif c == quote[0] and text.startswith(quote, i):
            return -1
        elif c in "\r\n" and len(quote) == 1:
            return -1
        else:
            i += 1
    return -1


def _string_end(text: str, i: int) -> int:
    """End offset of the string token starting at `i` (its prefix included),
    or -1 when no well-formed string starts there."""
    j = i
    while j < len(text) and text[j] in _STRING_PREFIX_CHARS:
        j += 1
    if j >= len(text) or text[j] not in "'\"" or j - i > 2:
        return -1
    if "f" in text[i:j] or "F" in text[i:j]:
        quote = text[j] * 3 if text.startswith(text[j] * 3, j) else text[j]
        return _fstring_end(text, j + len(quote), quote)
    m = _CLOSED_STRING_RE.match(text, i)
    return -1 if m is None else m.end()


def _fix_fstring(text: str, start: int, tok: str) -> str:
    """The string token starting at `start` whose simple scan gave `tok`: an
    f-string may be longer under the nesting rules; returns the right token."""
    j = 0
    while tok[j] in _STRING_PREFIX_CHARS:
        j += 1
    if "f" not in tok[:j] and "F" not in tok[:j]:
        return tok
    q = tok[j]
    quote = q * 3 if tok.startswith(q * 3, j) else q
    end = _fstring_end(text, start + j + len(quote), quote)
    if end < 0 or end == start + len(tok):
        return tok
    return text[start:end]


# --- the splitter -------------------------------------------------------------

def _indent_of(ws: str) -> tuple[int, bool, bool]:
    """Width of leading white space, and whether it holds tabs and spaces."""
    col = 0
    for c in ws:
        if c == " ":
            col += 1
        elif c == "\t":
            col = (col // 8 + 1) * 8
        else:  # form feed
            col = 0
    return col, "\t" in ws, " " in ws


def _is_plain_string(tok: str) -> bool:
    """True for a string token that is a str literal (no f or b prefix)."""
    c = tok[0]
    if c == '"' or c == "'":
        return True
    i = 0
    while tok[i] in _STRING_PREFIX_CHARS:
        if tok[i] in "fFbB":
            return False
        i += 1
    return tok[i] in "'\""


def line_kind(tokens: Sequence[str]) -> int:
    """The line kind of a statement line from its (non-empty) tokens."""
    first = tokens[0]
    kind = _KIND_BY_FIRST.get(first)
    if kind is not None:
        if kind == kClassDefIndex or kind == kFunctionDefIndex:
            # Only a definition that names something opens a scope: a bare
            # `def`, `def  # to do` or `class 'x':` (typed halfway) is a
            # line of unknown kind, so it hides no later definition.
            if len(tokens) < 2 or not _is_name(tokens[1]):
                return kUnknownIndex
        return kind
    if first in _OTHER_KEYWORDS:
        return kUnknownIndex
    c = first[0]
    if c == "'" or c == '"' or (c in _STRING_PREFIX_CHARS and ("'" in first or '"' in first)):
        return kStringExpressionIndex if _string_expression(tokens) else kUnknownIndex
    if _ASSIGN_OPS.isdisjoint(tokens) and ":" not in tokens:
        return kUnknownIndex
    soft = (first == "match" or first == "case") and len(tokens) > 1 and tokens[1] not in _NOT_SOFT_KEYWORD
    depth = 0
    lambdas = 0
    for t in tokens:
        d = _DEPTH_CHANGE.get(t)
        if d is not None:
            depth += d
            if depth < 0:
                depth = 0
        elif depth == 0:
            if t in _ASSIGN_OPS:
                return kAssignmentIndex
            if t == ":":
                if lambdas:
                    lambdas -= 1
                else:
                    # An annotation (`x: int = 1`, `x: int`), or the colon
                    # of a match or case statement.
                    return kUnknownIndex if soft else kAssignmentIndex
            elif t == "lambda":
                lambdas += 1
            elif t == ";":
                break
    return kUnknownIndex


# The keywords of Python 3.10 to 3.13 (soft keywords are names).
_KEYWORDS = frozenset("""False None True and as assert async await break class continue def del elif else
    except finally for from global if import in is lambda nonlocal not or pass raise return try while with
    yield""".split())


def _is_name(tok: str) -> bool:
    """True for an identifier that is not a keyword."""
    return tok.isidentifier() and tok not in _KEYWORDS


# Tokens after `match` or `case` that make it a name, not a soft keyword.
_NOT_SOFT_KEYWORD = _ASSIGN_OPS | frozenset([":", ".", ",", ";", ")", "]", "}"])


def _string_expression(tokens: Sequence[str]) -> bool:
    """True when every token but comments is a str literal."""
    saw = False
    for t in tokens:
        if t[0] == "#":
            continue
        if not ("'" in t or '"' in t) or not _is_plain_string(t):
            return False
        saw = True
    return saw


def _finish(toks: list[str], poss: list[tuple[int, int]], first_row: int, line_count: int, indent: int,
            tabs: bool, spaces: bool, pooled: Callable[[str, str], str], clamp: bool) -> ScanRecord:
    """The record of a statement line."""
    if toks[0] == "async" and len(toks) > 1 and toks[1] in _ASYNC_MERGED:
        tok = "async " + toks[1]
        toks[0:2] = [pooled(tok, tok)]
        del poss[1]
    if clamp:
        poss[:] = [(min(r, 65535), min(c, 65535)) for r, c in poss]
    return (toks, poss, first_row, line_count, indent, line_kind(toks), tabs, spaces)


_ASYNC_MERGED = frozenset(["def", "for", "with"])
_DEPTH_CHANGE = {"(": 1, "[": 1, "{": 1, ")": -1, "]": -1, "}": -1}


def scan_logical_lines(text: str, pool: dict[str, str] | None = None) -> list[ScanRecord]:
    """Split `text` into logical line records.

    Returns a list of tuples (tokens, positions, first_line, line_count,
    indent, kind, tabs_in_indent, spaces_in_indent), one per logical line in
    source order, where tokens is a list of pooled strings and positions a
    list of (row, col) tuples.  `pool` is the name pool (a dictionary mapping
    each text to itself); a new one is used when it is None.
    """
    if pool is None:
        pool = {}
    pooled = pool.setdefault
    depth_change = _DEPTH_CHANGE.get
    out: list[ScanRecord] = []
    append_line = out.append
    row = 1                 # current physical line number
    line_start = 0          # offset of the current physical line
    toks: list[str] | None = None    # tokens and positions of the statement being read
    poss: list[tuple[int, int]] = []
    depth = 0               # bracket depth inside that statement
    first_row = indent = 0
    tabs = spaces = False
    comment_line = False    # the current physical line is a comment line
    pos = 0
    # Positions are stored in 16 bits; only a text with more rows, or with a
    # longer physical line, needs them clamped.
    clamp = len(text) > 65535 and (text.count("\n") + text.count("\r") >= 65535 or
                                   max(map(len, _NEWLINE_RE.split(text))) >= 65535)
    while True:
        restart = -1
        for m in _TOKEN_RE.finditer(text, pos):
            k = m.lastindex or 0
            if k >= 4:
                tok = m.group(k)
                s = m.start(k)
                if toks is None:
                    # The first token of a statement line.
                    if s == line_start:
                        indent = 0
                        tabs = spaces = False
                    else:
                        ws = text[line_start:s]
                        if " " * len(ws) == ws:
                            indent, tabs, spaces = len(ws), False, True
                        else:
                            indent, tabs, spaces = _indent_of(ws)
                    first_row = row
                    toks = []
                    poss = []
                    depth = 0
                if k == 5:
                    d = depth_change(tok)
                    if d is not None:
                        depth += d
                        if depth < 0:
                            depth = 0
                    toks.append(pooled(tok, tok))
                    poss.append((row, s - line_start))
                    continue
                # A string.
                if tok[0] != "'" and tok[0] != '"' and "{" in tok and ("f" in tok[:3] or "F" in tok[:3]):
                    fixed = _fix_fstring(text, s, tok)
                    if fixed is not tok:
                        tok = fixed
                        restart = s + len(tok)
                toks.append(pooled(tok, tok))
                poss.append((row, s - line_start))
                if "\n" in tok or "\r" in tok:
                    row += tok.count("\n") + tok.count("\r") - tok.count("\r\n")
                    line_start = s + max(tok.rfind("\n"), tok.rfind("\r")) + 1
                if restart >= 0:
                    break
            elif k == 1:
                # A newline ends a statement (outside brackets), a comment
                # line or a blank line.
                if toks is None:
                    if comment_line:
                        comment_line = False
                    else:
                        s = m.start(1)
                        ind, t, sp = _indent_of(text[line_start:s]) if s > line_start else (0, False, False)
                        append_line(([], [], row, 1, ind, kBlankLineIndex, t, sp))
                elif depth == 0:
                    append_line(_finish(toks, poss, first_row, row - first_row + 1, indent, tabs, spaces,
                                        pooled, clamp))
                    toks = None
                row += 1
                line_start = m.end()
            elif k == 2:
                s = m.start(2)
                tok = m.group(2)
                rc = (row, s - line_start)
                if toks is None:
                    ind, t, sp = _indent_of(text[line_start:s]) if s > line_start else (0, False, False)
                    append_line(([pooled(tok, tok)], [(min(row, 65535), min(rc[1], 65535))], row, 1,
                                 ind, kCommentIndex, t, sp))
                    comment_line = True
                else:
                    toks.append(pooled(tok, tok))
                    poss.append(rc)
            elif m.end(3) > m.start(3) + 1:
                # A backslash continuation joins the next physical line.
                row += 1
                line_start = m.end()
        if restart < 0:
            break
        pos = restart
    if toks is not None:
        append_line(_finish(toks, poss, first_row, row - first_row + 1, indent, tabs, spaces, pooled, clamp))
    elif line_start < len(text) and not comment_line:
        rest = text[line_start:]
        if _TRAILING_BLANKS_RE.match(rest):
            ind, t, sp = _indent_of(rest)
            append_line(([], [], row, 1, ind, kBlankLineIndex, t, sp))
    return out


def _common_prefix_len(x: str, y: str) -> int:
    """Length of the longest common prefix of two strings (a binary search
    of slice comparisons, each done in C)."""
    lo, hi = 0, min(len(x), len(y))
    while lo < hi:
        mid = (lo + hi + 1) // 2
        if x[lo:mid] == y[lo:mid]:
            lo = mid
        else:
            hi = mid - 1
    return lo


def _common_suffix_len(x: str, y: str, limit: int) -> int:
    """Length of the longest common suffix of two strings, at most `limit`."""
    lo, hi = 0, min(len(x), len(y), limit)
    nx, ny = len(x), len(y)
    while lo < hi:
        mid = (lo + hi + 1) // 2
        if x[nx - mid:nx - lo] == y[ny - mid:ny - lo]:
            lo = mid
        else:
            hi = mid - 1
    return lo


def _row_start(text: str, off: int, rows_back: int) -> int:
    """Offset of the start of the physical line `rows_back` lines above the
    one holding offset `off`."""
    start = text.rfind("\n", 0, off) + 1
    for _ in range(rows_back):
        start = text.rfind("\n", 0, start - 1) + 1
    return start


def _row_end(text: str, off: int, rows_on: int) -> int:
    """Offset just past the end of the physical line `rows_on` lines below
    the one holding offset `off` (the text's length past its last line)."""
    end = off
    for _ in range(rows_on + 1):
        nl = text.find("\n", end)
        if nl < 0:
            return len(text)
        end = nl + 1
    return end


def _shifted(record: ScanRecord, delta: int) -> ScanRecord:
    toks, poss, first, count, ind, kind, t, sp = record
    return (toks, [(r + delta, c) for r, c in poss], first + delta, count, ind, kind, t, sp)


def rescan_logical_lines(old_text: str, old_records: list[ScanRecord], new_text: str,
                         pool: dict[str, str] | None = None, tries: int = 4) -> list[ScanRecord]:
    """The records `scan_logical_lines(new_text, pool)` gives, made from
    `old_records` (the records of `old_text`) by scanning only the part of
    `new_text` around what changed.

    A logical line that ends before the first changed physical line is the
    same in both texts.  Scanning starts at the first logical line that
    reaches the change and goes on to a logical line past it that starts in
    the unchanged rest of the text exactly where it started before (moved by
    the rows the edit added or removed): from such a line on the scanner is
    where it was before, so the rest splits as before.  The records of
    unchanged lines are the old objects (moved ones are copied with their
    rows shifted).  When no such line is found within a few logical lines,
    or the text holds carriage returns or a very large number of rows, the
    whole text is scanned."""
    if old_text == new_text:
        return list(old_records)
    if ("\r" in new_text or "\r" in old_text or new_text.count("\n") >= 65000
            or old_text.count("\n") >= 65000 or not old_records):
        return scan_logical_lines(new_text, pool)
    prefix = _common_prefix_len(old_text, new_text)
    suffix = _common_suffix_len(old_text, new_text, min(len(old_text), len(new_text)) - prefix)
    old_end, new_end = len(old_text) - suffix, len(new_text) - suffix
    first_row = old_text.count("\n", 0, prefix) + 1
    last_old_row = old_text.count("\n", 0, max(prefix, old_end - 1)) + 1
    delta = new_text.count("\n", prefix, new_end) - old_text.count("\n", prefix, old_end)

    n = len(old_records)
    i0 = 0
    while i0 < n and old_records[i0][2] + old_records[i0][3] - 1 < first_row:
        i0 += 1
    if i0 == n:
        return scan_logical_lines(new_text, pool)
    start_row = min(old_records[i0][2], first_row)
    start = _row_start(new_text, prefix, first_row - start_row)
    j = i0
    while j < n and old_records[j][2] <= last_old_row:
        j += 1
    base = start_row - 1
    for _ in range(tries):
        if j >= n:
            window = scan_logical_lines(new_text[start:], pool)
            head = [_shifted(r, base) for r in window] if base else window
            return old_records[:i0] + head
        sync = old_records[j]
        new_first = sync[2] + delta
        # The window ends with the physical lines of the line to sync on.
        end = _row_end(new_text, new_end, new_first + sync[3] - 1 - (new_text.count("\n", 0, new_end) + 1))
        window = scan_logical_lines(new_text[start:end], pool)
        head = [_shifted(r, base) for r in window] if base else window
        if head and head[-1] == (_shifted(sync, delta) if delta else sync):
            tail = old_records[j:]
            if delta:
                tail = [_shifted(r, delta) for r in tail]
            return old_records[:i0] + head[:-1] + tail
        j += 1
    return scan_logical_lines(new_text, pool)


def split_logical_lines(text: str, pool: dict[str, str] | None = None) -> list[LogicalLine]:
    """Split Python 3 source `text` into its logical list: a list of
    `logicalline.LogicalLine` objects in source order (see the module
    documentation for what a logical line holds).  `pool` is the name pool
    the tokens are taken from; a new one is used when it is None."""
    return lines_from_records(scan_logical_lines(text, pool))


def lines_from_records(records: Iterable[ScanRecord]) -> list[LogicalLine]:
    """The `logicalline.LogicalLine` objects of records made by
    `scan_logical_lines`, in the same order."""
    import logicalline
    make = logicalline.LogicalLine
    # Indents and line counts are stored in 16 signed bits.
    # Positional arguments: tokens, first_line, indent, line_count,
    # type, positions, parsed, tabs_in_indent, spaces_in_indent.
    return [make(toks, first, ind if ind < 32767 else 32767, count if count < 32767 else 32767,
                 kind, poss, False, t, sp)
            for toks, poss, first, count, ind, kind, t, sp in records]
