"""The ``pysource`` command: index Python files, find definitions across
them, write a tags file, and show what the analyzer knows about one file.

    pysource index [PATH ...] [--stdlib] [-j N] [--verbose]
    pysource find PATTERN [--scope PATTERN] [--kind KINDS] [--path PATH ...]
                          [-i] [--locals] [--limit N]
    pysource roots [--remove PATH ...]
    pysource tags [PATH] [-o FILE]
    pysource outline FILE
    pysource types FILE SCOPE NAME
    pysource attrs FILE CLASS [--methods M1,M2]

Every subcommand takes ``--cache-dir DIR`` (default: $PYSOURCE_CACHE, else
$XDG_CACHE_HOME/pysource, else ~/.cache/pysource) and ``--json`` (JSON
Lines: one object per line).  Errors are one line on standard error,
starting with "pysource: ", and a non-zero exit status.
"""

from __future__ import annotations

import argparse
import os
import sqlite3
import sys
import time
# `typing` is imported only by type checkers: `pysource find` starts faster
# without it.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, TextIO

__all__ = ["main", "build_parser", "Progress"]

PROG = "pysource"

if TYPE_CHECKING:
    Command = Callable[[argparse.Namespace, TextIO], int]


class UsageError(Exception):
    pass


# -- output helpers ----------------------------------------------------------

class Progress:
    """A one-line progress bar on standard error, drawn only when standard
    error is a terminal; `note` prints a line above it."""

    def __init__(self, stream: TextIO | None = None, label: str = "indexing",
                 delay: float = 0.3) -> None:
        self.stream = stream or sys.stderr
        self.active = self.stream.isatty() if hasattr(self.stream, "isatty") else False
        self.label = label
        self.shown = False
        self.last = 0.0
        # Nothing is drawn for work done within `delay` seconds.
        self.start = time.monotonic() + delay

    def __call__(self, done: int, total: int, path: str | None) -> None:
        if not self.active or total == 0:
            return
        now = time.monotonic()
        if now < self.start or (done < total and now - self.last < 0.1):
            return
        self.last = now
        import shutil
        width = shutil.get_terminal_size((80, 24)).columns
        bar = 24
        filled = bar * done // total
        text = "%s [%s%s] %d/%d" % (self.label, "#" * filled, "." * (bar - filled), done, total)
        if path:
            room = width - len(text) - 2
            name = os.path.basename(path)
            if room > 8:
                text += " " + (name if len(name) <= room else name[:room - 1] + "~")
        self.stream.write("\r" + text[:width - 1].ljust(width - 1))
        self.stream.flush()
        self.shown = True

    def clear(self) -> None:
        if self.shown:
            import shutil
            width = shutil.get_terminal_size((80, 24)).columns
            self.stream.write("\r" + " " * (width - 1) + "\r")
            self.stream.flush()
            self.shown = False

    def note(self, text: str) -> None:
        self.clear()
        self.stream.write("%s: %s\n" % (PROG, text))
        self.stream.flush()


def note(text: str) -> None:
    sys.stderr.write("%s: %s\n" % (PROG, text))


def display_path(path: str) -> str:
    """`path` relative to the working folder when it lies under it."""
    try:
        cwd = os.getcwd()
    except OSError:
        return path
    if path.startswith(cwd.rstrip(os.sep) + os.sep):
        return os.path.relpath(path, cwd)
    return path


def kind_list(text: str) -> set[str]:
    from .index import KINDS
    kinds = [k.strip() for k in text.split(",") if k.strip()]
    for k in kinds:
        if k not in KINDS:
            raise argparse.ArgumentTypeError(
                "unknown kind %r (choose from %s)" % (k, ", ".join(KINDS)))
    if not kinds:
        raise argparse.ArgumentTypeError("no kind given")
    return set(kinds)


def name_list(text: str) -> list[str]:
    return [n.strip() for n in text.split(",") if n.strip()]


def positive(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        n = 0
    if n < 1:
        raise argparse.ArgumentTypeError("not a positive number: %r" % text)
    return n


def write_json(out: TextIO, value: Any) -> None:
    import json
    out.write(json.dumps(value, ensure_ascii=False) + "\n")


# -- subcommands -------------------------------------------------------------

def open_index(args: argparse.Namespace, progress: Progress | None = None) -> Any:
    from .index import Index, default_cache_dir
    cache = args.cache_dir or default_cache_dir()
    if os.path.exists(cache) and not os.path.isdir(cache):
        raise UsageError("%s: cache folder is not a folder" % cache)
    say = progress.note if progress is not None else note
    return Index(cache, warn=lambda text: say("warning: " + text))


def _explicit_failures(paths: list[str], failed: list[tuple[str, str]]) -> list[tuple[str, str]]:
    """Failures of files named on the command line (not found in a folder):
    those are errors of the command."""
    named = set(os.path.realpath(p) for p in paths if not os.path.isdir(p))
    return [(p, why) for p, why in failed if p in named]


def cmd_index(args: argparse.Namespace, out: TextIO) -> int:
    from .index import stdlib_paths
    paths = list(args.paths)
    if args.stdlib:
        paths += stdlib_paths()
    if not paths:
        paths = [os.getcwd()]
    progress = Progress()
    index = open_index(args, progress)
    try:
        summary = index.update(paths, jobs=args.jobs, progress=progress)
    finally:
        progress.clear()
        index.close()
    for path, why in summary.failed:
        note("%s: %s" % (display_path(path), why))
    for path, why in summary.syntax_errors:
        note("%s: %s; indexed as far as it could be analysed" % (display_path(path), why))
    if args.verbose:
        for path, line, why in summary.problems:
            note("%s:%d: %s" % (display_path(path), line, why))
    if args.json:
        write_json(out, {"files": summary.files, "analysed": summary.analysed,
                         "unchanged": summary.loaded, "removed": summary.removed,
                         "lines": summary.lines, "definitions": summary.defs,
                         "jobs": summary.jobs, "seconds": round(summary.seconds, 3),
                         "unparsed_lines": summary.unparsed, "dropped_names": summary.dropped,
                         "failed": [{"path": p, "reason": w} for p, w in summary.failed],
                         "syntax_errors": [{"path": p, "reason": w} for p, w in summary.syntax_errors],
                         "problems": [{"path": p, "line": n, "reason": w}
                                      for p, n, w in summary.problems] if args.verbose else None})
    else:
        out.write("indexed %s\n" % summary.line())
    return 1 if _explicit_failures(paths, summary.failed) else 0


def _search_roots(index: Any, paths: list[str] | None) -> list[str]:
    """The roots `find` searches: the given paths, else the indexed roots
    that hold the working folder, else all of them."""
    if paths:
        for p in paths:
            if not os.path.exists(p):
                raise UsageError("%s: no such file or folder" % p)
        return [os.path.realpath(p) for p in paths]
    roots: list[str] = index.roots()
    cwd = os.path.realpath(os.getcwd())
    here = [r for r in roots if cwd == r or cwd.startswith(r.rstrip(os.sep) + os.sep)]
    return here or roots


def cmd_find(args: argparse.Namespace, out: TextIO) -> int:
    if not args.pattern:
        raise UsageError("empty pattern (use '*' for every name)")
    for p in args.path or ():
        if not os.path.exists(p):
            raise UsageError("%s: no such file or folder" % p)
    index = open_index(args)
    try:
        roots = index.roots()
        if not roots:
            note("nothing is indexed in %s; run 'pysource index' in your project "
                 "(and 'pysource index --stdlib' for the standard library)" % index.cache_dir)
            return 1
        for r in roots:
            if not os.path.exists(r):
                note("indexed root %s is gone; 'pysource roots --remove %s' forgets it" % (r, r))
        search = _search_roots(index, args.path)
        hits = index.find(args.pattern, scope=args.scope, kinds=args.kind, roots=search,
                          ignore_case=args.ignore_case, include_locals=args.locals,
                          limit=args.limit)
        if args.path and not any(any(r == x or r.startswith(x.rstrip(os.sep) + os.sep)
                                     or x.startswith(r.rstrip(os.sep) + os.sep)
                                     for x in roots) for r in search):
            note("%s: not under an indexed root (see 'pysource roots')" % ", ".join(args.path))
    finally:
        index.close()
    if args.json:
        for h in hits:
            write_json(out, h.as_dict())
    else:
        write = out.write
        last = shown = ""
        for h in hits:
            if h.path != last:
                last = h.path
                shown = display_path(last)
            name = h.scope + "." + h.name if h.scope else h.name
            write("%s:%d:%d: %s %s%s\n" % (shown, h.line, h.column + 1, h.kind, name,
                                           ": " + h.signature if h.signature else ""))
    if not hits:
        where = ", ".join(display_path(r) for r in search)
        note("no definition matches %r in %s%s" % (
            args.pattern, where,
            "" if args.locals else " (names local to functions are left out; --locals shows them)"))
        return 1
    return 0


def cmd_roots(args: argparse.Namespace, out: TextIO) -> int:
    index = open_index(args)
    try:
        if args.remove:
            for p in args.remove:
                n = index.remove_root(p)
                if not args.json:
                    out.write("removed %s (%d files)\n" % (os.path.realpath(p), n))
                else:
                    write_json(out, {"removed": os.path.realpath(p), "files": n})
            return 0
        counts: dict[str, int] = {}
        roots = index.roots()
        for path in index.files():
            for r in roots:
                if path == r or path.startswith(r.rstrip(os.sep) + os.sep):
                    counts[r] = counts.get(r, 0) + 1
    finally:
        index.close()
    for r in roots:
        if args.json:
            write_json(out, {"root": r, "files": counts.get(r, 0)})
        else:
            out.write("%s\t%d files\n" % (r, counts.get(r, 0)))
    return 0


def cmd_tags(args: argparse.Namespace, out: TextIO) -> int:
    from .tags import tag_lines, write_tags
    path = args.path or os.getcwd()
    target = args.output
    progress = Progress()
    index = open_index(args, progress)
    try:
        summary = index.update([path], jobs=args.jobs, progress=progress)
        progress.clear()
        defs = []
        for f in index.files([path]):
            defs += index.definitions_of(f)
    finally:
        progress.clear()
        index.close()
    for p, why in summary.failed:
        note("%s: %s" % (display_path(p), why))
    base = os.getcwd() if target == "-" else os.path.dirname(os.path.abspath(target))
    lines = tag_lines(defs, base)
    if target == "-":
        out.write("\n".join(lines) + "\n")
    else:
        write_tags(target, lines)
        if args.json:
            write_json(out, {"tags": os.path.abspath(target), "entries": len(lines)})
    return 0


def _load(args: argparse.Namespace) -> tuple[Any, Any]:
    index = open_index(args)
    try:
        mod = index.module(args.file)
    except BaseException:
        index.close()
        raise
    return index, mod


def _scope_def(mod: Any, scope: str, where: str, what: str = "scope") -> Any:
    """The definition line of `scope` (None for the module), or UsageError."""
    if scope == "":
        return None
    try:
        return mod.impl.GetScopeDefForFullName(scope)
    except KeyError:
        raise UsageError("%s: no %s %r" % (where, what, scope)) from None


def cmd_outline(args: argparse.Namespace, out: TextIO) -> int:
    from .outline import outline
    index, mod = _load(args)
    try:
        tree = outline(mod)
    finally:
        index.close()
    if args.json:
        def emit(nodes: list[dict[str, Any]], parent: str | None) -> None:
            for n in nodes:
                flat = {k: v for k, v in n.items() if k != "children"}
                flat["path"] = mod.fFileName
                flat["parent"] = parent
                write_json(out, flat)
                emit(n["children"], n["full_name"])
        emit(tree, None)
        return 0

    def show(nodes: list[dict[str, Any]], depth: int) -> None:
        pad = "    " * depth
        for n in nodes:
            for d in n["decorators"]:
                out.write("%5s  %s@%s\n" % ("", pad, d))
            if n["kind"] == "class":
                text = "class %s" % n["name"] + ("(%s)" % ", ".join(n["bases"]) if n["bases"] else "")
            else:
                text = "%s %s%s" % (n["kind"], n["name"], n["signature"])
                if n.get("property"):
                    text += "    [property %s]" % n["property"]
            out.write("%5d  %s%s\n" % (n["line"], pad, text))
            if n.get("attributes"):
                out.write("%5s  %s    attributes: %s\n" % ("", pad, ", ".join(n["attributes"])))
            show(n["children"], depth + 1)
    show(tree, 0)
    return 0


def _known_name(mod: Any, scope: str, name: str) -> bool:
    """Whether `name` is defined in `scope` (or an argument of it)."""
    import logicalline as ll
    impl = mod.impl
    if impl.SearchForAttribs({"scope_name": scope, "local_name": name}):
        return True
    if scope:
        line = impl.GetScopeDefForFullName(scope)
        if line.type == ll.kFunctionDefIndex and name in [str(o) for o in line.objs]:
            return True
        if line.type == ll.kFunctionDefIndex and name.split(".")[0] in [str(o) for o in line.objs]:
            return True
    return False


def cmd_types(args: argparse.Namespace, out: TextIO) -> int:
    index, mod = _load(args)
    try:
        _scope_def(mod, args.scope, args.file)
        equivs = mod.impl.FindTypeEquivs(args.name, args.scope)
        if not equivs and not _known_name(mod, args.scope, args.name):
            raise UsageError("%s: no name %r in %s" % (
                args.file, args.name, "scope %r" % args.scope if args.scope else "the module"))
    finally:
        index.close()
    if args.json:
        for e in equivs:
            write_json(out, {"path": mod.fFileName, "scope": args.scope, "name": args.name,
                             "type": e})
    else:
        for e in equivs:
            out.write("%s\n" % e)
    return 0


def cmd_attrs(args: argparse.Namespace, out: TextIO) -> int:
    import logicalline as ll
    index, mod = _load(args)
    try:
        impl = mod.impl
        cls = _scope_def(mod, args.cls, args.file, "class")
        if cls is None or cls.type != ll.kClassDefIndex:
            raise UsageError("%s: %r is not a class" % (args.file, args.cls))
        methods = args.methods
        for m in methods or ():
            try:
                line = impl.GetScopeDefForFullName(args.cls + "." + m)
            except KeyError:
                line = None
            if line is None or line.type != ll.kFunctionDefIndex:
                raise UsageError("%s: class %r has no method %r" % (args.file, args.cls, m))
        attrs: dict[str, list[int]] = {}
        for name, line in impl.GetInstanceAttributes(args.cls, methods) or ():
            lines = attrs.setdefault(name, [])
            if line.first_line not in lines:
                lines.append(line.first_line)
        result: list[dict[str, Any]] = []
        for name, lines in attrs.items():
            types = impl.FindInstAttribTypeEquivs(name, args.cls, methods)
            result.append({"name": name, "lines": lines,
                           "types": [{"method": m, "types": list(t)} for m, t in types]})
    finally:
        index.close()
    if args.json:
        for a in result:
            write_json(out, dict(a, path=mod.fFileName, **{"class": args.cls}))
        return 0
    for a in result:
        out.write("%s (line%s %s)\n" % (a["name"], "s" if len(a["lines"]) > 1 else "",
                                       ", ".join(map(str, a["lines"]))))
        for t in a["types"]:
            out.write("    %s: %s\n" % (t["method"], ", ".join(t["types"])))
    return 0


# -- argument parsing --------------------------------------------------------

NOTATION = """\
how types are written:
  Name:        an instance of the class Name (self in a method of Name is 'Name:';
               isinstance(x, Name) makes x 'Name:')
  (A, B):      an instance of A or B (isinstance with a tuple)
  ::dict:      a dict literal; likewise ::list:, ::tuple:, ::string:
  expr         anything else is the expression the name was assigned, as
               written (f(), mod.Class(), other.attr)
"""

PATTERNS = """\
patterns:
  A pattern is a name in which '*' stands for any text: 'Temp*', '*Error',
  'get*item', '*load*'.  A pattern without a dot matches the names as
  defined; one with a dot matches qualified names and their tails after a
  dot: 'Flask.route', 'flask.app.Flask', 'json.*'.  --scope takes the same
  patterns for the scope ('' for module level; 'Class.method' or the
  qualified 'pkg.mod.Class').

output:
  path:line:column: kind name: first line of the definition (for an
  import, its statement).  Ranked: exact matches first, then classes,
  functions and modules, then other names, imports last.  The search
  covers the indexed roots that hold the working folder, else all of them.
"""


def build_parser() -> argparse.ArgumentParser:
    from . import __version__
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--cache-dir", metavar="DIR", default=argparse.SUPPRESS,
                        help="the index's folder (default: $PYSOURCE_CACHE, else "
                             "$XDG_CACHE_HOME/pysource, else ~/.cache/pysource)")
    common.add_argument("--json", action="store_true", default=argparse.SUPPRESS,
                        help="JSON Lines: one JSON object per line")
    parser = argparse.ArgumentParser(
        prog=PROG, description="Analyse Python source: index files, find definitions, "
                               "write tags, and show scopes, types and instance attributes.")
    parser.add_argument("--version", action="version", version="%(prog)s " + __version__)
    parser.add_argument("--cache-dir", metavar="DIR", default=None, help=argparse.SUPPRESS)
    parser.add_argument("--json", action="store_true", default=False, help=argparse.SUPPRESS)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True
    raw = argparse.RawDescriptionHelpFormatter

    def jobs_option(p: argparse.ArgumentParser) -> None:
        p.add_argument("-j", "--jobs", type=positive, default=None, metavar="N",
                       help="analyse in N worker processes (default: one per core)")

    p = sub.add_parser("index", parents=[common], help="analyse and index Python files",
                       description="Analyse every Python file (.py, .pyi) under the paths "
                                   "(default: the working folder) and store the results in the "
                                   "index; files that have not changed are left as they are.  "
                                   "The summary counts lines that did not parse and names "
                                   "dropped; --verbose lists them.")
    p.add_argument("paths", nargs="*", metavar="PATH")
    p.add_argument("--stdlib", action="store_true",
                   help="index the running interpreter's standard library (with the PATHs "
                        "given, if any; the working folder only when it is given)")
    jobs_option(p)
    p.add_argument("-v", "--verbose", action="store_true",
                   help="list every line that did not parse or lost names, as path:line: reason")
    p.set_defaults(func=cmd_index)

    p = sub.add_parser("find", parents=[common], help="find definitions in the index",
                       formatter_class=raw, epilog=PATTERNS,
                       description="Definitions whose name matches PATTERN, best first.")
    p.add_argument("pattern", metavar="PATTERN")
    p.add_argument("--scope", default=None, metavar="PATTERN",
                   help="the scope the definitions are in ('' for module level; default: any)")
    p.add_argument("--kind", type=kind_list, default=None, metavar="KINDS",
                   help="comma-separated kinds: class, function, import, generic (assigned "
                        "names), module (default: all)")
    p.add_argument("--path", action="extend", nargs="+", default=None, metavar="PATH",
                   help="search only indexed files under these paths")
    p.add_argument("-i", "--ignore-case", action="store_true", help="match regardless of case")
    p.add_argument("--locals", action="store_true", help="include names local to functions")
    p.add_argument("--limit", type=positive, default=None, metavar="N",
                   help="at most N results")
    p.set_defaults(func=cmd_find)

    p = sub.add_parser("roots", parents=[common], help="list or remove the indexed roots",
                       description="The folders and files that were indexed, with their file "
                                   "counts; --remove forgets roots and their files.")
    p.add_argument("--remove", nargs="+", default=None, metavar="PATH")
    p.set_defaults(func=cmd_roots)

    p = sub.add_parser("tags", parents=[common], help="write a tags file for editors",
                       description="Index PATH (default: the working folder) and write its "
                                   "classes, functions and variables to a tags file in the "
                                   "extended ctags format.")
    p.add_argument("path", nargs="?", metavar="PATH")
    p.add_argument("-o", "--output", default="tags", metavar="FILE",
                   help="the tags file ('-' for standard output; default: tags)")
    jobs_option(p)
    p.set_defaults(func=cmd_tags)

    p = sub.add_parser("outline", parents=[common], help="the scope tree of a file",
                       description="Classes and functions of FILE with their decorators, "
                                   "signatures as written, bases and, for classes, the "
                                   "instance attributes their methods set.")
    p.add_argument("file", metavar="FILE")
    p.set_defaults(func=cmd_outline)

    p = sub.add_parser("types", parents=[common], help="what a name is equivalent to in a scope",
                       formatter_class=raw, epilog=NOTATION,
                       description="The type equivalences recorded for NAME in SCOPE (a full "
                                   "dotted name such as Class.method, or '' for module level), "
                                   "one per line.  A name not defined there is an error.")
    p.add_argument("file", metavar="FILE")
    p.add_argument("scope", metavar="SCOPE")
    p.add_argument("name", metavar="NAME")
    p.set_defaults(func=cmd_types)

    p = sub.add_parser("attrs", parents=[common], help="instance attributes of a class",
                       formatter_class=raw, epilog=NOTATION,
                       description="The instance attributes the methods of CLASS (a full "
                                   "dotted name) set, the lines that set them and what they "
                                   "are equivalent to in each method.")
    p.add_argument("file", metavar="FILE")
    p.add_argument("cls", metavar="CLASS")
    p.add_argument("--methods", type=name_list, default=None, metavar="M1,M2",
                   help="only these methods (default: all); an unknown one is an error")
    p.set_defaults(func=cmd_attrs)

    p = sub.add_parser("lsp", parents=[common], help="run the language server (stdio)",
                       description="A language server for editors, over standard input and output.")
    from . import lsp_cli
    lsp_cli.add_arguments(p)
    p.set_defaults(func=lsp_cli.command)
    return parser


def _run(args: argparse.Namespace, out: TextIO) -> int:
    """The command; a database found damaged while in use is reported,
    made anew and the command run again (once)."""
    from .index import database_path, default_cache_dir, remove_database
    try:
        return int(args.func(args, out))
    except sqlite3.DatabaseError as e:
        if isinstance(e, sqlite3.OperationalError) and "malformed" not in str(e):
            raise
        cache = args.cache_dir or default_cache_dir()
        note("warning: index database %s damaged (%s); rebuilding it" % (database_path(cache), e))
        remove_database(cache)
    return int(args.func(args, out))


def main(argv: list[str] | None = None) -> int:
    from .index import SourceError
    args = build_parser().parse_args(argv)
    out = sys.stdout
    try:
        return _run(args, out)
    except (SourceError, UsageError) as e:
        note(str(e))
        return 1
    except BrokenPipeError:
        # The reader went away (`pysource find x | head`): not an error.
        _silence(out)
        return 0
    except sqlite3.Error as e:
        note("index database: %s" % e)
        return 1
    except OSError as e:
        where = " (%s)" % e.filename if getattr(e, "filename", None) else ""
        note("%s%s" % (e.strerror or e, where))
        return 1
    except KeyboardInterrupt:
        sys.stderr.write("%s: interrupted\n" % PROG)
        return 130
    finally:
        try:
            out.flush()
        except BrokenPipeError:
            _silence(out)


def _silence(out: TextIO) -> None:
    """Point `out` at the null device, so that the interpreter's last flush
    at exit does not fail again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, out.fileno())
    except (OSError, ValueError):
        pass


if __name__ == "__main__":
    sys.exit(main())
