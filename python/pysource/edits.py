"""Editing a module: keeping its logical list, and the analyzer working on
it, in step with new source text.

`SourceBuffer.update(text)` splits the new text, finds the run of logical
lines that changed (what lies between the longest common run of unchanged
lines at the start and the one at the end), puts new line objects for that
run into the logical list (the same list object, by slice assignment) and
tells the analyzer with ``LogicalCacheModified``, which drops what the
removed and added lines touched in its caches.  Lines outside the run keep
their objects, and with them their analysis: an edit costs one split of the
text and the analysis of the lines it really changed.

A range edit (`SourceBuffer.edit`) splits again only the logical lines
around it; with the native host that is one call (``rescan_window``), and
the buffer's text is not made anew: it is kept as the text before with one
hole, which typing in one place grows, and made whole when somebody reads
it.  A change that replaces one line by one and leaves the scopes around it
as they were (most keystrokes) is put in place without the scope walk the
general case needs.

A line counts as unchanged when its tokens, kind, indent, indent
characters, physical line count and token positions are the same, the
positions allowing for the line having moved up or down as a whole.  A line
that moved gets its new `first_line`; its `positions` are not writable and
keep the rows they had when the line was made, so their rows are right
relative to the line's first token, not absolute: `line_positions(line)`
gives the absolute ones.

Some facts kept on an unchanged line depend on lines elsewhere, and the
analyzer does not revisit them for every kind of edit:

* the scope a line lies in, cached on the line, changes when an edit above
  it opens or closes a block around it (``if x:`` put at module level in
  the middle of a function's body, a def line removed);
* the facts of a def line depend on the scopes around it (a method's first
  argument is an instance of its class, named with the class's full name)
  and on its decorators (``staticmethod`` has no instance argument).

The buffer works both out from indentation, as the analyzer does.  A line
below the changed run whose cached scope name the analyzer would keep
although it is stale, or an analysed def line whose surroundings changed
its facts, is replaced by a new object too (removed and added in the same
change set), so that it is placed and analysed afresh.  A line that moved
into another scope is otherwise named in the change set as it is (removed
and added), once per scope lines moved into, so that the analyzer drops
the cached body of that scope.  Removed def lines are placed in their
scopes before the change, so that the analyzer forgets what it cached
under their names and reports them; removed lines it never placed are
reported in the body scopes from the buffer's own reckoning.
"""

from __future__ import annotations

import bisect
from typing import TYPE_CHECKING, Callable, Hashable, NamedTuple, Sequence, overload

import logicalline

from .hosts import Host, get_host
from .splitter import kBlankLineIndex, kClassDefIndex, kCommentIndex, kFunctionDefIndex, ScanRecord, \
    _common_prefix_len, _common_suffix_len, _shifted

if TYPE_CHECKING:
    from logicalline import LogicalLine
    from pysource_impl import PySourceImpl

__all__ = ["SourceBuffer", "ChangeSet", "Changes", "line_positions"]


class Changes(NamedTuple):
    """What an edit changed: the full names of the scopes whose body
    changed (a line removed, added, or moved in or out; in no particular
    order), the full names of the class lines and of the def lines removed
    or added, and the scopes whose doc string line changed, as the analyzer
    reports them."""
    body_scopes: list[str]
    classes: list[str]
    functions: list[str]
    doc_strings: list[str]


# What a def line's analysis depends on besides its tokens and scopes: made
# from the scan records of a text, it maps a def line's tokens to a value.
DefContext = Callable[[Sequence[ScanRecord]], Callable[[Sequence[str]], Hashable]]
# One such mapping, made for one text.
_Context = Callable[[Sequence[str]], Hashable]

_DEF_KINDS = (kClassDefIndex, kFunctionDefIndex)
# A buffer's text between edits: (start, end, text) puts `text` in place of
# base[start:end] (see SourceBuffer.text).
_Hole = tuple[int, int, str]
# The longest text a hole grows to before the whole text is made.
_MAX_HOLE = 4096
_NOT_STATEMENTS = (kCommentIndex, kBlankLineIndex)


class ChangeSet:
    """The lines an edit took out of the logical list (`removed`) and those
    it put in (`added`, already in place), as the analyzer reads them."""

    __slots__ = ("removed", "added")

    def __init__(self, removed: list[LogicalLine], added: list[LogicalLine]) -> None:
        self.removed = removed
        self.added = added


def line_positions(line: LogicalLine) -> tuple[tuple[int, int], ...]:
    """The absolute (row, col) of each token of `line`: its `positions` with
    the rows moved along with `first_line` (a line that moved in an edit
    keeps the rows it was made with)."""
    positions = line.positions
    if not positions:
        return positions
    shift = line.first_line - positions[0][0]
    if shift == 0:
        return positions
    return tuple((row + shift, col) for row, col in positions)


def _same_moved(old: ScanRecord, new: ScanRecord) -> bool:
    """True when scan records `old` and `new` are the same line, `new`
    possibly moved to another row."""
    if old[0] != new[0] or old[3:] != new[3:]:
        return False
    shift = new[2] - old[2]
    if shift == 0:
        return old[1] == new[1]
    return [(row + shift, col) for row, col in old[1]] == new[1]


def _walk_at(records: Sequence[ScanRecord], end: int) -> _ScopeWalk:
    """The `_ScopeWalk` that has stepped through `records[:end]`, made from
    the lines that enclose the end alone: the last statement line and, above
    it, each statement line indented less than all the lines below it."""
    chain: list[ScanRecord] = []
    lowest: int | None = None
    for i in range(end - 1, -1, -1):
        record = records[i]
        if record[5] in _NOT_STATEMENTS:
            continue
        indent = record[4] if record[4] < 32767 else 32767
        if lowest is None or indent < lowest:
            chain.append(record)
            lowest = indent
            if indent <= 0:
                break
    walk = _ScopeWalk()
    for record in reversed(chain):
        walk.step(record)
    return walk


def _is_decorator(record: ScanRecord) -> bool:
    tokens = record[0]
    return bool(tokens) and tokens[0] == "@"


def _context_kept(old: Sequence[ScanRecord], new: Sequence[ScanRecord], start: int, old_end: int, new_end: int) -> bool:
    """Whether an edit that replaced the records `old[start:old_end]` by
    `new[start:new_end]` leaves every def line's context as it was: the run
    holds no def or decorator line on either side, and does not follow a
    decorator line (whose def line would change)."""
    for records, end in ((old, old_end), (new, new_end)):
        for i in range(start, end):
            record = records[i]
            if record[5] in _DEF_KINDS or _is_decorator(record):
                return False
    if start == old_end and start == new_end:
        return True
    i = start - 1
    while i >= 0 and old[i][5] in _NOT_STATEMENTS:
        i -= 1
    return i < 0 or not _is_decorator(old[i])


class _OldRecords(Sequence[ScanRecord]):
    """The records of a text before a change that was made to their list in
    place: the list held `run` at `start` where it now holds `shift` more
    records (fewer when negative); every other record is the same object,
    at the same place above the change and moved by `shift` below it."""

    __slots__ = ("records", "start", "run", "shift")

    def __init__(self, records: list[ScanRecord], start: int, run: list[ScanRecord], shift: int) -> None:
        self.records = records
        self.start = start
        self.run = run
        self.shift = shift

    def __len__(self) -> int:
        return len(self.records) - self.shift

    @overload
    def __getitem__(self, i: int) -> ScanRecord: ...

    @overload
    def __getitem__(self, i: slice) -> list[ScanRecord]: ...

    def __getitem__(self, i: int | slice) -> ScanRecord | list[ScanRecord]:
        if isinstance(i, slice):
            return [self[k] for k in range(*i.indices(len(self)))]
        if i < 0:
            i += len(self)
            if i < 0:
                raise IndexError("record index out of range")
        if i < self.start:
            return self.records[i]
        k = i - self.start
        if k < len(self.run):
            return self.run[k]
        return self.records[i + self.shift]


def _rescan_range(old_text: str, old_records: list[ScanRecord], new_text: str, prefix: int, old_end: int,
                  new_end: int, pool: dict[str, str], first_row: int, rows: int,
                  scan: Callable[[str, dict[str, str]], list[ScanRecord]],
                  tries: int = 4, carriage_returns: bool | None = None,
                  in_place: bool = False) -> tuple[list[ScanRecord], int, int, list[ScanRecord] | None]:
    """The records of `new_text`, which is `old_text` with the part from
    `prefix` to `old_end` replaced by the part of `new_text` from `prefix`
    to `new_end`, and the numbers of leading and of trailing records that
    are those of `old_records` (the records of `old_text`; the trailing
    ones possibly moved).

    Only the logical lines around the edit are scanned: from the first one
    that reaches it on to one past it that starts exactly where it started
    before (moved by the rows the edit added or removed); from there on the
    scanner is where it was before, so the rest splits as before.  When no
    such line is found within a few logical lines, or the text holds
    carriage returns or a very large number of rows, the whole text is
    scanned.  `first_row` is the row `prefix` lies in, and `old_text` has
    `rows` rows; `scan` is the host's scanner.  `carriage_returns`, when
    known, tells whether either text holds a carriage return.

    The fourth value is None, or, with `in_place` and an edit that moved no
    line to another row, the records that `old_records` held where the new
    ones now are: then the new records are `old_records` itself, changed in
    place (a copy of a long list, and the release of the old one, touch
    every record)."""
    n = len(old_records)
    added_rows = new_text.count("\n", prefix, new_end)
    if carriage_returns is None:
        carriage_returns = "\r" in new_text or "\r" in old_text
    if n == 0 or rows > 65000 or rows + added_rows > 65000 or carriage_returns:
        return scan(new_text, pool), 0, 0, None
    last_old_row = first_row + old_text.count("\n", prefix, max(prefix, old_end - 1))
    delta = added_rows - old_text.count("\n", prefix, old_end)
    # Records are in row order: a binary search for the first one that
    # reaches the edit's first row.
    lo, hi = 0, n
    while lo < hi:
        mid = (lo + hi) // 2
        if old_records[mid][2] + old_records[mid][3] - 1 < first_row:
            lo = mid + 1
        else:
            hi = mid
    i0 = lo
    if i0 == n:
        return scan(new_text, pool), 0, 0, None
    start_row = min(old_records[i0][2], first_row)
    start = new_text.rfind("\n", 0, prefix) + 1
    for _ in range(first_row - start_row):
        start = new_text.rfind("\n", 0, start - 1) + 1
    j = i0
    while j < n and old_records[j][2] <= last_old_row:
        j += 1
    base = start_row - 1
    end_row = first_row + added_rows   # the row holding new_end
    for _ in range(tries):
        if j >= n:
            window = scan(new_text[start:], pool)
            head = [_shifted(r, base) for r in window] if base else window
            return old_records[:i0] + head, i0, 0, None
        sync = old_records[j]
        # The window ends with the physical lines of the line to sync on.
        end = new_end
        for _ in range(sync[2] + delta + sync[3] - end_row):
            nl = new_text.find("\n", end)
            if nl < 0:
                end = len(new_text)
                break
            end = nl + 1
        window = scan(new_text[start:end], pool)
        head = [_shifted(r, base) for r in window] if base else window
        if head and head[-1] == (_shifted(sync, delta) if delta else sync):
            # One copy of the list, the window put in by slice assignment:
            # concatenating slices copies the records twice.
            if delta:
                records = old_records[:i0]
                records += head[:-1]
                records += [_shifted(r, delta) for r in old_records[j:]]
            elif in_place:
                replaced = old_records[i0:j]
                old_records[i0:j] = head[:-1]
                return old_records, i0, n - j, replaced
            else:
                records = old_records.copy()
                records[i0:j] = head[:-1]
            return records, i0, n - j, None
        j += 1
    return scan(new_text, pool), 0, 0, None


def _join(scope: str, name: str) -> str:
    if not scope:
        return name
    if not name:
        return scope
    return scope + "." + name


class _ScopeWalk:
    """The scopes of a run of scan records, found from indentation as the
    analyzer finds them: the scope of a line is the nearest definition line
    above it that encloses it; a comment or blank line takes the scope of
    the nearest statement line above it."""

    __slots__ = ("stack", "last")

    def __init__(self) -> None:
        self.stack: list[tuple[int, str, bool]] = []    # (indent, scope inside, scope is a class), indents rising
        self.last = ("", False)

    def copy(self) -> _ScopeWalk:
        walk = _ScopeWalk()
        walk.stack = list(self.stack)
        walk.last = self.last
        return walk

    def step(self, record: ScanRecord) -> tuple[str, bool]:
        """(scope name, scope is a class) of the line of `record`."""
        kind = record[5]
        if kind in _NOT_STATEMENTS:
            return self.last
        indent = record[4] if record[4] < 32767 else 32767
        stack = self.stack
        while stack and stack[-1][0] >= indent:
            stack.pop()
        here = (stack[-1][1], stack[-1][2]) if stack else ("", False)
        self.last = here
        if kind in _DEF_KINDS:
            tokens = record[0]
            inner = _join(here[0], tokens[1]) if len(tokens) > 1 else here[0]
            stack.append((indent, inner, kind == kClassDefIndex))
        else:
            stack.append((indent, here[0], here[1]))
        return here


# Texts are compared a chunk at a time: `startswith` and `endswith` at an
# offset copy only the chunk of one text, where a bisection of slices copies
# both texts about twice.
_COMPARE_CHUNK = 16384


def _prefix_len(x: str, y: str) -> int:
    """Length of the longest common prefix of two strings."""
    n = min(len(x), len(y))
    i = 0
    while i < n:
        j = min(i + _COMPARE_CHUNK, n)
        chunk = x[i:j]
        if not y.startswith(chunk, i):
            return i + _common_prefix_len(chunk, y[i:j])
        i = j
    return n


def _suffix_len(x: str, y: str, limit: int) -> int:
    """Length of the longest common suffix of two strings, at most `limit`."""
    nx, ny = len(x), len(y)
    n = min(nx, ny, limit)
    k = 0
    while k < n:
        m = min(k + _COMPARE_CHUNK, n)
        chunk = x[nx - m:nx - k]
        if not y.endswith(chunk, 0, ny - k):
            return k + _common_suffix_len(chunk, y[ny - m:ny - k], m - k)
        k = m
    return n


def _common_ends(old: str, new: str) -> tuple[int, int]:
    """(prefix, suffix): the lengths of the longest common head of the two
    texts and of the longest common tail of what follows it."""
    p = _prefix_len(old, new)
    return p, _suffix_len(old, new, min(len(old), len(new)) - p)


def _changed_rows(old: str, new: str, rows: _RowStarts | None = None,
                  common_ends: Callable[[str, str], tuple[int, int]] = _common_ends
                  ) -> tuple[tuple[int, int], tuple[int, int], str] | None:
    """The range edit that turns `old` into `new`, widened to whole rows:
    (start, end, new text), with `start` and `end` as `SourceBuffer.edit`
    takes them; None when the texts are equal.  `rows`, the row starts of
    `old` when known, spare counting the line breaks above the edit;
    `common_ends` finds the common head and tail."""
    if old == new:
        return None
    p, s = common_ends(old, new)
    # Row boundaries only, so that no end falls between a carriage return
    # and its line feed.
    a = old.rfind("\n", 0, p) + 1
    b = len(old) - s
    if b < len(old) and (b == 0 or old[b - 1] != "\n"):
        nl = old.find("\n", b)
        b = len(old) if nl < 0 else nl + 1
    if rows is not None:
        row_a = rows.row_of(a) + 1
        last = len(rows) + 1
    else:
        row_a = old.count("\n", 0, a) + 1
        last = old.count("\n") + 2
    end = (row_a + old.count("\n", a, b), 0) if b < len(old) else (last, 0)
    return (row_a, 0), end, new[a:len(new) - (len(old) - b)]


class _RowStarts:
    """The offsets at which the rows of a text start, kept along with range
    edits.  An edit inside one row moves the starts of all the rows below
    it; such moves are noted and added up when a start is asked for, and
    applied to the list only now and then, so that typing in a long text
    does not rewrite the whole list at each keystroke."""

    __slots__ = ("starts", "moves")

    MAX_MOVES = 32

    def __init__(self, text: str) -> None:
        starts = [0]
        find = text.find
        i = find("\n")
        while i >= 0:
            starts.append(i + 1)
            i = find("\n", i + 1)
        self.starts = starts
        self.moves: list[tuple[int, int]] = []     # (first index moved, by how much)

    def __len__(self) -> int:
        return len(self.starts)

    def start(self, i: int) -> int:
        """The offset at which row `i` (from 0) starts."""
        offset = self.starts[i]
        for first, delta in self.moves:
            if i >= first:
                offset += delta
        return offset

    def row_of(self, offset: int) -> int:
        """The row (from 0) in which `offset` falls."""
        starts = self.starts
        if not self.moves:
            return bisect.bisect_right(starts, offset) - 1
        # Between two moved rows every start is moved by the same amount: a
        # bisection of the list in each such stretch, from the last one up.
        hi = len(starts)
        for first, moved in reversed(self._stretches()):
            if first < hi and starts[first] + moved <= offset:
                return bisect.bisect_right(starts, offset - moved, first, hi) - 1
            hi = min(hi, first)
        return bisect.bisect_right(starts, offset, 0, hi) - 1

    def _stretches(self) -> list[tuple[int, int]]:
        """(first row, total move) of each stretch of rows from a moved row
        to the next one, in row order; the rows above the first stretch are
        not moved."""
        out: list[tuple[int, int]] = []
        total = 0
        for first, delta in sorted(self.moves):
            total += delta
            if out and out[-1][0] == first:
                out[-1] = (first, total)
            else:
                out.append((first, total))
        return out

    def replace(self, row_a: int, row_b: int, added: list[int], shift: int) -> None:
        """Rows `row_a` to `row_b` (from 1) were replaced by text whose
        line breaks end at the offsets `added`, and the text below moved by
        `shift` characters."""
        moves = self.moves
        if len(moves) < self.MAX_MOVES and len(added) == row_b - row_a <= 8:
            # The same rows again, only moved (a row retyped whole, as a
            # new text compared with the old one gives it): a move of every
            # start from row_a on.
            if not added or all(added[k] == self.start(row_a + k) + shift for k in range(len(added))):
                if shift:
                    # Typing in one row moves the rows below it again and
                    # again: one move, added up.
                    if moves and moves[-1][0] == row_a:
                        total = moves[-1][1] + shift
                        if total:
                            moves[-1] = (row_a, total)
                        else:
                            moves.pop()
                    else:
                        moves.append((row_a, shift))
                return
        starts = self.starts
        if moves:
            stretches = self._stretches()
            moved_starts = starts[:stretches[0][0]]
            for k, (first, total) in enumerate(stretches):
                end = stretches[k + 1][0] if k + 1 < len(stretches) else len(starts)
                moved_starts += [r + total for r in starts[first:end]] if total else starts[first:end]
            starts = moved_starts
            self.moves = []
        self.starts = starts[:row_a] + added + ([r + shift for r in starts[row_b:]] if shift else starts[row_b:])


class SourceBuffer:
    """The source of one module, kept in step with its logical list `lines`
    (made from `text` with `split_logical_lines` and the name pool `pool`)
    and with the analyzer `impl` that has that list installed.

    `def_context`, when given, is a function of a list of scan records (see
    `scan_logical_lines`) giving a function of a def line's tokens: any
    value that the analysis of that def line depends on besides its tokens
    and scopes (the host's transformer, for one, treats methods under some
    decorators differently).  A def line whose value changes is analysed
    afresh.  The value may depend on the def lines and the decorator lines
    above them only: an edit that touches neither keeps the function it
    has (and does not call `def_context` again).

    `host` (a `pysource.hosts.Host`, by default the one `get_host()` gives)
    supplies the splitter.
    """

    def __init__(self, impl: PySourceImpl, lines: list[LogicalLine], text: str, pool: dict[str, str] | None = None,
                 def_context: DefContext | None = None, host: Host | None = None) -> None:
        self.impl = impl
        self.host = host if host is not None else get_host()
        self.lines = lines
        # The text is `_base` with the hole put in, when there is one: typing
        # in one place changes the hole only, and the whole text is made
        # when somebody reads it.
        self._base = text
        self._hole: _Hole | None = None
        self.pool = pool if pool is not None else {}
        self.def_context = def_context
        self._records: list[ScanRecord] | None = None   # scan records of `text`, made on the first update
        self._context: _Context | None = None           # def_context of those records
        # Offsets of the starts of the rows of `text`, made on the first
        # range edit.
        self._rows: _RowStarts | None = None
        # Whether `text` holds a carriage return, when known.
        self._crs: bool | None = None
        # The scopes at the position the last change started at, (position,
        # walk): the records above it are those of `text`.
        self._walk: tuple[int, _ScopeWalk] | None = None
        # Counts the texts put in place.
        self._generation = 0
        # The native re-split of the lines around a range edit, with the
        # native host.
        self._rescan_window = logicalline.rescan_window if self.host.name == "native" else None
        # Where the last range edit's changes started in the records.
        self._hint = -1
        self._common_ends = logicalline.common_ends if self.host.name == "native" else _common_ends

    @property
    def text(self) -> str:
        """The source text."""
        hole = self._hole
        if hole is not None:
            start, end, middle = hole
            base = self._base
            self._base = "".join((base[:start], middle, base[end:]))
            self._hole = None
        return self._base

    @text.setter
    def text(self, text: str) -> None:
        self._base = text
        self._hole = None
        self._crs = None

    def text_now(self) -> Callable[[], str]:
        """A function that gives the text as it is now, whatever edits come
        after; taking it copies nothing."""
        base, hole = self._base, self._hole
        if hole is None:
            return lambda: base
        start, end, middle = hole
        return lambda: "".join((base[:start], middle, base[end:]))

    def _length(self) -> int:
        """len(self.text), without making the text."""
        hole = self._hole
        if hole is None:
            return len(self._base)
        return len(self._base) - (hole[1] - hole[0]) + len(hole[2])

    def _slice(self, begin: int, end: int) -> str:
        """self.text[begin:end] (0 <= begin <= end), without making the
        whole text."""
        hole = self._hole
        if hole is None:
            return self._base[begin:end]
        start, stop, middle = hole
        if end <= start:
            return self._base[begin:end]
        after = start + len(middle)
        shift = stop - after
        if begin >= after:
            return self._base[begin + shift:end + shift]
        return "".join((self._base[begin:start] if begin < start else "", middle[max(begin - start, 0):end - start],
                        self._base[after + shift:end + shift] if end > after else ""))

    def _spliced(self, a: int, b: int, new_text: str) -> _Hole | None:
        """The hole that makes the text with text[a:b] replaced by
        `new_text`, from the base as it is; None when the edit is not next
        to the hole or would make it too long."""
        hole = self._hole
        if hole is None:
            return (a, b, new_text) if len(new_text) <= _MAX_HOLE else None
        start, stop, middle = hole
        after = start + len(middle)
        if b < start or a > after:
            return None
        middle = "".join((middle[:a - start] if a > start else "", new_text, middle[b - start:] if b < after else ""))
        if len(middle) > _MAX_HOLE:
            return None
        return (min(a, start), max(b, after) - after + stop, middle)

    @property
    def context(self) -> Callable[[Sequence[str]], Hashable] | None:
        """What `def_context` gave for the current text (None without a
        `def_context`, or before the first edit); a new value after an edit
        means the def or decorator lines changed."""
        return self._context

    def update(self, text: str) -> Changes:
        """Bring the logical list and the analyzer to the source `text`;
        returns the `Changes` the analyzer reports."""
        old_text = self.text
        if self._crs is False and self._rescan_window is not None and old_text != text:
            # The old text holds no carriage return; when the part that
            # differs holds none either, no end of the change can fall
            # between a carriage return and its line feed, and the change is
            # handed on as it is: a typed letter is the insertion of that
            # letter, as a range edit gives it.
            p, s = self._common_ends(old_text, text)
            middle = text[p:len(text) - s]
            if "\r" not in middle:
                rows = self._row_starts()
                b = len(old_text) - s
                row_a = rows.row_of(p) + 1
                return self._edit_at(rows, p, b, row_a, row_a + old_text.count("\n", p, b), middle, text)
        span = _changed_rows(old_text, text, self._rows, self._common_ends)
        if span is not None:
            # Handed on as the range edit it is: the rows around it are split
            # again, not the whole text compared record by record.
            start, end, new_text = span
            return self._edit(start, end, new_text, text)
        old = self._old_records()
        new = self.host.rescan_logical_lines(self.text, old, text, self.pool)
        self._rows = None
        return self._apply(old, new, text, None, 0)

    def edit(self, start: tuple[int, int], end: tuple[int, int], new_text: str) -> Changes:
        """Replace the text from `start` to `end` by `new_text` and bring
        the logical list and the analyzer along; returns the `Changes` the
        analyzer reports.

        `start` and `end` are (row, column) pairs, rows counted from 1 and
        columns in characters from 0, `end` not included: the range an
        editor reports with a change.  A column past the end of its row
        stands for the end of the row, a row past the last one for the end
        of the text.  Only the rows around the range are looked at: the
        text is not compared with the old one, and only the logical lines
        that reach the edit are split again."""
        if type(new_text) is not str:
            raise TypeError("the new text must be a str, not %s" % type(new_text).__name__)
        return self._edit(start, end, new_text, None)

    def _edit(self, start: tuple[int, int], end: tuple[int, int], new_text: str, whole: str | None) -> Changes:
        """`edit`; `whole`, when given, is the text after the edit (which
        `update` has), so that it is not made again."""
        rows = self._row_starts()
        a, row_a = self._offset(rows, start)
        if type(end) is tuple and len(end) == 2 and type(end[0]) is int and type(end[1]) is int and end == start:
            b, row_b = a, row_a     # typing: the position is taken as it was
        else:
            b, row_b = self._offset(rows, end)
        if b < a:
            raise ValueError("the range ends before it starts: %r, %r" % (tuple(start), tuple(end)))
        return self._edit_at(rows, a, b, row_a, row_b, new_text, whole)

    def _edit_at(self, rows: _RowStarts, a: int, b: int, row_a: int, row_b: int, new_text: str,
                 whole: str | None) -> Changes:
        """`_edit` of the text from offset `a` to offset `b` (in rows
        `row_a` to `row_b`, from 1)."""
        if a == b and not new_text:
            return Changes([], [], [], [])
        if self._rescan_window is not None and self._crs is False and "\r" not in new_text:
            changes = self._edit_window(rows, a, b, row_a, row_b, new_text, whole)
            if changes is not None:
                return changes
        old_text = self.text
        if whole is not None:
            text = whole
        else:
            text = "".join((old_text[:a], new_text, old_text[b:]))   # one copy fewer than two concatenations
        old = self._old_records()
        n_old = len(old)
        self._keep_context(old)
        new_end = a + len(new_text)
        crs = self._crs
        if crs is None:
            crs = "\r" in old_text
        new_crs = "\r" in new_text or (crs and "\r" in text)
        new, same, tail, replaced = _rescan_range(old_text, old, text, a, b, new_end, self.pool,
                                                  row_a, len(rows), self.host.scan_logical_lines,
                                                  carriage_returns=crs or new_crs, in_place=True)
        return self._put(rows, a, b, row_a, row_b, new_text, old, n_old, new, same, tail, replaced, text, None,
                         new_crs)

    def _edit_window(self, rows: _RowStarts, a: int, b: int, row_a: int, row_b: int,
                     new_text: str, whole: str | None) -> Changes | None:
        """`_edit` by the native re-split of the lines around the edit, the
        text kept with a hole in it (unless `whole`, the text after the
        edit, is given); None when the whole text is to be scanned."""
        old = self._old_records()
        n_old = len(old)
        added_rows = new_text.count("\n")
        n_rows = len(rows.starts)
        if n_old == 0 or n_rows > 65000 or n_rows + added_rows > 65000:
            return None
        removed = self._slice(a, b) if b > a else ""
        last_old_row = row_a + removed.count("\n", 0, max(0, len(removed) - 1))
        delta = added_rows - removed.count("\n")
        if whole is not None:
            base, hole = whole, None
        else:
            hole = self._spliced(a, b, new_text)
            if hole is None:
                self.text   # made whole, the edit the only hole
                hole = (a, b, new_text)
            base = self._base
        self._keep_context(old)
        assert self._rescan_window is not None
        start, end, middle = hole if hole is not None else (0, 0, "")
        done = self._rescan_window(base, start, end, middle, old, a, a + len(new_text), row_a, last_old_row, delta,
                                   added_rows, self.pool, 4, self._hint)
        if done is None:
            return None
        new, same, tail, replaced = done
        self._hint = same
        return self._put(rows, a, b, row_a, row_b, new_text, old, n_old, new, same, tail, replaced, base, hole, False)

    def _put(self, rows: _RowStarts, a: int, b: int, row_a: int, row_b: int, new_text: str,
             old: Sequence[ScanRecord], n_old: int, new: list[ScanRecord], same: int, tail: int,
             replaced: list[ScanRecord] | None, base: str, hole: _Hole | None, new_crs: bool) -> Changes:
        """The end of `_edit`: the records `new` of the text `base` (with
        `hole` put in) put in place of `old` (`n_old` records; when
        `replaced` is given, the list itself was changed in place), and the
        row table moved."""
        one = replaced is not None and len(replaced) == 1 and len(new) == n_old
        if replaced is not None:
            old = _OldRecords(new, same, replaced, len(new) - n_old)
        generation = self._generation
        self._rows = None
        try:
            changes = self._apply_one(new, same, replaced[0], base, hole) if one and replaced is not None else None
            if changes is None:
                changes = self._apply(old, new, base, hole, same, tail, True)
        except BaseException:
            if replaced is not None and self._generation == generation:
                # Nothing was put in place: the records go back as they were.
                new[same:same + len(replaced) + len(new) - n_old] = replaced
            raise
        self._crs = new_crs
        added = []
        i = new_text.find("\n")
        while i >= 0:
            added.append(a + i + 1)
            i = new_text.find("\n", i + 1)
        rows.replace(row_a, row_b, added, len(new_text) - (b - a))
        self._rows = rows
        return changes

    def row(self, row: int) -> str:
        """The text of physical row `row` (from 1) without its line break;
        "" past the last row."""
        rows = self._row_starts()
        if row < 1 or row > len(rows):
            return ""
        begin, end = self._row_span(rows, row)
        return self._slice(begin, end)

    def _row_span(self, rows: _RowStarts, row: int) -> tuple[int, int]:
        """The offsets at which row `row` (from 1, at most the last row)
        begins and ends, its line break left out."""
        n = len(rows.starts)
        begin = rows.start(row - 1)
        end = rows.start(row) - 1 if row < n else self._length()
        if end > begin and row < n and self._crs is not False and self._slice(end - 1, end) == "\r":
            end -= 1
        return begin, end

    def _row_starts(self) -> _RowStarts:
        rows = self._rows
        if rows is None:
            rows = self._rows = _RowStarts(self.text)
        return rows

    def _offset(self, rows: _RowStarts, position: tuple[int, int]) -> tuple[int, int]:
        """The offset in the text of a (row, column) position, and the row
        it falls in."""
        row, col = position
        if type(row) is not int or type(col) is not int:
            raise TypeError("a position is two ints (row, column), not %r" % (position,))
        if row < 1 or col < 0:
            raise ValueError("rows count from 1 and columns from 0: %r" % (position,))
        n = len(rows.starts)
        if row > n:
            return self._length(), n
        begin, end = self._row_span(rows, row)
        return begin + min(col, end - begin), row

    def _keep_context(self, old: list[ScanRecord]) -> None:
        """Work out the def context of the records `old` before an edit
        changes them, unless it is known."""
        if self.def_context is not None and self._context is None:
            self._context = self.def_context(old)

    def _old_records(self) -> list[ScanRecord]:
        old = self._records
        if old is None:
            old = self.host.scan_logical_lines(self.text, self.pool)
            if len(old) != len(self.lines):
                raise ValueError("the logical list was not made from the buffer's text")
            self._records = old
        return old

    def _apply(self, old: Sequence[ScanRecord], new: list[ScanRecord], text: str, hole: _Hole | None, start: int,
               tail: int = 0, unmoved_tail: bool = False) -> Changes:
        """Put the records `new` of `text` (with `hole` put in, when given)
        in place of `old`, the first
        `start` and the last `tail` of which are known to be the same lines
        (the last ones possibly moved; with `unmoved_tail`, all of them by
        the same number of rows)."""
        lines = self.lines
        n_old, n_new = len(old), len(new)
        limit = min(n_old, n_new)
        while start < limit and old[start] == new[start]:
            start += 1
        limit -= start
        tail = min(tail, limit)
        while tail < limit and _same_moved(old[n_old - 1 - tail], new[n_new - 1 - tail]):
            tail += 1
        old_end, new_end = n_old - tail, n_new - tail

        # Removed definitions are placed in their scopes while they are still
        # in the list, so that the analyzer forgets what it keeps under their
        # names, and reports them.
        place = self.impl.GetFullNameForScopeDef
        for i in range(start, old_end):
            if old[i][5] in _DEF_KINDS and len(old[i][0]) > 1 and lines[i].scope_name is None:
                place(lines[i])

        # The scopes of the lines from the start of the change on, before
        # and after it (the lines above it are in the same scopes).  Typing
        # goes on where it was: the walk to the same place is kept, which
        # stays good because every change starts at or below the place the
        # walk was kept for (each change keeps its own).
        kept = self._walk
        if kept is not None and kept[0] == start:
            walk = kept[1].copy()
        else:
            walk = _walk_at(new, start)   # the records above `start` are the same
            self._walk = (start, walk.copy())
        new_walk = walk.copy()
        # The analyzer reports the scopes of the lines it had placed; the
        # scopes of removed lines it never placed, and those that moved lines
        # left and entered, are reported from here.
        reported: list[str] = []
        for i in range(start, old_end):
            scope = walk.step(old[i])[0]
            if old[i][5] not in _NOT_STATEMENTS and lines[i].scope_name is None:
                reported.append(scope)
        run_scopes = set(new_walk.step(new[i])[0] for i in range(start, new_end))

        context = self._context
        if self.def_context is not None:
            if context is None:
                context = self.def_context(old)
            if _context_kept(old, new, start, old_end, new_end):
                new_context = context
            else:
                new_context = self.def_context(new)
        else:
            new_context = None
        replace = self._context_changed(new, start, context, new_context) \
            if context is not None and new_context is not context else []
        name_again: list[int] = []
        if tail:
            self._moved(old, new, start, old_end, new_end, walk, new_walk, run_scopes, context, new_context,
                        replace, name_again, reported)

        removed = lines[start:old_end]
        run = self.host.lines_from_records(new[start:new_end])
        lines[start:old_end] = run
        if not (tail and old[old_end][2] == new[new_end][2] and unmoved_tail):
            for k in range(tail):
                was, now = old[old_end + k][2], new[new_end + k][2]
                if was != now:
                    lines[new_end + k].first_line = now
        if replace or name_again:
            fresh = dict(zip(replace, self.host.lines_from_records([new[i] for i in replace])))
            named = sorted(replace + name_again)
            for i in named:
                removed.append(lines[i])
                if i in fresh:
                    lines[i] = fresh[i]
            # Added lines in list order.
            added = [lines[i] for i in named if i < start] + run + [lines[i] for i in named if i >= new_end]
        else:
            added = run

        self._base = text
        self._hole = hole
        self._generation += 1
        self._crs = None
        self._records = new
        self._context = new_context
        changes = Changes(*self.impl.LogicalCacheModified(self, ChangeSet(removed, added)))
        body_scopes = changes.body_scopes
        for scope in reported:
            if scope not in body_scopes:
                body_scopes.append(scope)
        return changes

    def _apply_one(self, records: list[ScanRecord], i: int, old: ScanRecord, text: str,
                   hole: _Hole | None) -> Changes | None:
        """`_apply` for the records `records`, changed in place at `i` only,
        where they held `old`, when that changes nothing around the line:
        neither record is a def or decorator line nor follows a decorator
        line, and the scope walk stands as it stood after the line (both
        records are statements with the same indent, or neither is one).
        None when the change is not of that kind (nothing is changed then)."""
        new = records[i]
        kind = new[5]
        if kind in _DEF_KINDS or old[5] in _DEF_KINDS or _is_decorator(new) or _is_decorator(old):
            return None
        statement = kind not in _NOT_STATEMENTS
        if statement != (old[5] not in _NOT_STATEMENTS) or _same_moved(old, new):
            return None
        if statement and (new[4] if new[4] < 32767 else 32767) != (old[4] if old[4] < 32767 else 32767):
            return None
        context = self._context
        if self.def_context is not None:
            if context is None:
                return None
            k = i - 1
            while k >= 0 and records[k][5] in _NOT_STATEMENTS:
                k -= 1
            if k >= 0 and _is_decorator(records[k]):
                return None
        lines = self.lines
        line = lines[i]
        reported: list[str] = []
        kept = self._walk
        if statement and line.scope_name is None:
            # The analyzer never placed the line: its scope is reported from
            # here.
            if kept is not None and kept[0] == i:
                walk = kept[1].copy()
            else:
                walk = _walk_at(records, i)
                self._walk = (i, walk.copy())
            reported.append(walk.step(old)[0])
        elif kept is not None and kept[0] > i:
            self._walk = None
        run = self.host.lines_from_records([new])
        lines[i] = run[0]
        self._base = text
        self._hole = hole
        self._generation += 1
        self._crs = None
        self._records = records
        changes = Changes(*self.impl.LogicalCacheModified(self, ChangeSet([line], run)))
        body_scopes = changes.body_scopes
        for scope in reported:
            if scope not in body_scopes:
                body_scopes.append(scope)
        return changes

    def _context_changed(self, records: Sequence[ScanRecord], end: int, context: _Context,
                         new_context: _Context | None) -> list[int]:
        """Positions of the analysed def lines among the first `end` lines
        (the same before and after the edit) whose `def_context` changed."""
        lines = self.lines
        out: list[int] = []
        if new_context is None:
            return out
        for i in range(end):
            record = records[i]
            if record[5] == kFunctionDefIndex and context(record[0]) != new_context(record[0]) and lines[i].parsed:
                out.append(i)
        return out

    def _moved(self, old: Sequence[ScanRecord], new: Sequence[ScanRecord], start: int, old_end: int, new_end: int,
               walk: _ScopeWalk, new_walk: _ScopeWalk, announced: set[str], context: _Context | None,
               new_context: _Context | None, replace: list[int], name_again: list[int],
               reported: list[str]) -> None:
        """Adds to `replace` and `name_again` (positions in the new list)
        the lines below the changed run that the change set must name, and
        to `reported` the scopes that lines moved out of and into.

        A line that moved to another scope is replaced when the analyzer
        would keep its old scope name, or when its analysis would have to be
        redone anyway; else it is named as it is, once per scope lines moved
        into, so that the analyzer drops what it has cached about that
        scope's body (a line that defines nothing costs nothing to name).
        `announced` holds the scopes that lines of the change set are placed
        in already.  An analysed def line whose surroundings changed what
        its analysis records is replaced.  `walk` and `new_walk` stand at
        the end of the changed run, before and after the edit."""
        lines = self.lines
        # The scope names the analyzer clears itself: those under a removed
        # definition (all of them are placed by now).
        cleared = tuple(_join(lines[i].scope_name or "", old[i][0][1]) for i in range(start, old_end)
                        if old[i][5] in _DEF_KINDS and len(old[i][0]) > 1 and lines[i].scope_name is not None)

        def context_changed(o: ScanRecord, n: ScanRecord) -> bool:
            # There is a context after the edit whenever there was one before.
            return context is not None and new_context is not None and context(o[0]) != new_context(n[0])

        same = False
        for k in range(len(new) - new_end):
            o, n = old[old_end + k], new[new_end + k]
            if same:
                # The scopes below are what they were; only the def
                # lines' context can have changed.
                if n[5] == kFunctionDefIndex and context_changed(o, n) and lines[old_end + k].parsed:
                    replace.append(new_end + k)
                continue
            was, now = walk.step(o), new_walk.step(n)
            if walk.last == new_walk.last and walk.stack == new_walk.stack:
                # Both walks stand in the same state (so was == now), and go
                # on through the same lines.
                if context is None or context is new_context:
                    break
                same = True
            line = lines[old_end + k]
            kind = n[5]
            if was[0] != now[0]:
                if kind not in _NOT_STATEMENTS:
                    reported += (was[0], now[0])
                scope = line.scope_name
                if scope is not None and not (cleared and scope.startswith(cleared)):
                    replace.append(new_end + k)
                    announced.add(now[0])
                    continue
                if now[0] not in announced and kind not in _NOT_STATEMENTS:
                    announced.add(now[0])
                    if not line.parsed or (kind not in _DEF_KINDS and not line.objs):
                        name_again.append(new_end + k)
                    else:
                        replace.append(new_end + k)
                    continue
            if kind == kFunctionDefIndex and line.parsed:
                # A method's first argument is an instance of its class.
                if (was[1] and was[0]) != (now[1] and now[0]) or context_changed(o, n):
                    replace.append(new_end + k)
