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

from collections import namedtuple

from .hosts import get_host
from .splitter import kBlankLineIndex, kClassDefIndex, kCommentIndex, kFunctionDefIndex

__all__ = ["SourceBuffer", "ChangeSet", "Changes", "line_positions"]

Changes = namedtuple("Changes", "body_scopes classes functions doc_strings")
Changes.__doc__ = """What an edit changed: the full names of the scopes whose body
changed (a line removed, added, or moved in or out; in no particular order),
the full names of the class lines and of the def lines removed or added, and
the scopes whose doc string line changed, as the analyzer reports them."""

_DEF_KINDS = (kClassDefIndex, kFunctionDefIndex)
_NOT_STATEMENTS = (kCommentIndex, kBlankLineIndex)


class ChangeSet:
    """The lines an edit took out of the logical list (`removed`) and those
    it put in (`added`, already in place), as the analyzer reads them."""

    __slots__ = ("removed", "added")

    def __init__(self, removed, added):
        self.removed = removed
        self.added = added


def line_positions(line):
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


def _same_moved(old, new):
    """True when scan records `old` and `new` are the same line, `new`
    possibly moved to another row."""
    if old[0] != new[0] or old[3:] != new[3:]:
        return False
    shift = new[2] - old[2]
    if shift == 0:
        return old[1] == new[1]
    return [(row + shift, col) for row, col in old[1]] == new[1]


def _join(scope, name):
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

    def __init__(self):
        self.stack = []     # (indent, scope inside, scope is a class), indents rising
        self.last = ("", False)

    def copy(self):
        walk = _ScopeWalk()
        walk.stack = list(self.stack)
        walk.last = self.last
        return walk

    def step(self, record):
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


class SourceBuffer:
    """The source of one module, kept in step with its logical list `lines`
    (made from `text` with `split_logical_lines` and the name pool `pool`)
    and with the analyzer `impl` that has that list installed.

    `def_context`, when given, is a function of a list of scan records (see
    `scan_logical_lines`) giving a function of a def line's tokens: any
    value that the analysis of that def line depends on besides its tokens
    and scopes (the host's transformer, for one, treats methods under some
    decorators differently).  A def line whose value changes is analysed
    afresh.

    `host` (a `pysource.hosts.Host`, by default the one `get_host()` gives)
    supplies the splitter.
    """

    def __init__(self, impl, lines, text, pool=None, def_context=None, host=None):
        self.impl = impl
        self.host = host if host is not None else get_host()
        self.lines = lines
        self.text = text
        self.pool = pool if pool is not None else {}
        self.def_context = def_context
        self._records = None    # scan records of `text`, made on the first update
        self._context = None    # def_context of those records

    def update(self, text):
        """Bring the logical list and the analyzer to the source `text`;
        returns the `Changes` the analyzer reports."""
        lines = self.lines
        old = self._records
        if old is None:
            old = self.host.scan_logical_lines(self.text, self.pool)
            if len(old) != len(lines):
                raise ValueError("the logical list was not made from the buffer's text")
        new = self.host.rescan_logical_lines(self.text, old, text, self.pool)
        n_old, n_new = len(old), len(new)
        limit = min(n_old, n_new)
        start = 0
        while start < limit and old[start] == new[start]:
            start += 1
        tail = 0
        limit -= start
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
        # and after it (the lines above it are in the same scopes).
        walk = _ScopeWalk()
        for i in range(start):
            walk.step(old[i])
        new_walk = walk.copy()
        # The analyzer reports the scopes of the lines it had placed; the
        # scopes of removed lines it never placed, and those that moved lines
        # left and entered, are reported from here.
        reported = []
        for i in range(start, old_end):
            scope = walk.step(old[i])[0]
            if old[i][5] not in _NOT_STATEMENTS and lines[i].scope_name is None:
                reported.append(scope)
        run_scopes = set(new_walk.step(new[i])[0] for i in range(start, new_end))

        context = self._context
        if self.def_context is not None:
            if context is None:
                context = self.def_context(old)
            new_context = self.def_context(new)
        else:
            new_context = None
        replace = self._context_changed(old, start, context, new_context) if context is not None else []
        name_again = []
        if tail:
            self._moved(old, new, start, old_end, new_end, walk, new_walk, run_scopes, context, new_context,
                        replace, name_again, reported)

        removed = lines[start:old_end]
        run = self.host.lines_from_records(new[start:new_end])
        lines[start:old_end] = run
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

        self.text = text
        self._records = new
        self._context = new_context
        changes = Changes(*self.impl.LogicalCacheModified(self, ChangeSet(removed, added)))
        body_scopes = changes.body_scopes
        for scope in reported:
            if scope not in body_scopes:
                body_scopes.append(scope)
        return changes

    def _context_changed(self, records, end, context, new_context):
        """Positions of the analysed def lines among the first `end` lines
        (the same before and after the edit) whose `def_context` changed."""
        lines = self.lines
        out = []
        for i in range(end):
            record = records[i]
            if record[5] == kFunctionDefIndex and context(record[0]) != new_context(record[0]) and lines[i].parsed:
                out.append(i)
        return out

    def _moved(self, old, new, start, old_end, new_end, walk, new_walk, announced, context, new_context,
               replace, name_again, reported):
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
        cleared = tuple(_join(lines[i].scope_name, old[i][0][1]) for i in range(start, old_end)
                        if old[i][5] in _DEF_KINDS and len(old[i][0]) > 1 and lines[i].scope_name is not None)
        for k in range(len(new) - new_end):
            o, n = old[old_end + k], new[new_end + k]
            was, now = walk.step(o), new_walk.step(n)
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
                if (was[1] and was[0]) != (now[1] and now[0]) or \
                        (context is not None and context(o[0]) != new_context(n[0])):
                    replace.append(new_end + k)
