"""The ``pysource`` command: index Python files, find definitions across
them, and show what the analyzer knows about one file.

    pysource index [PATH ...]
    pysource find PATTERN [--scope PATTERN] [--kind KINDS] [--path PATH ...] [--json]
    pysource outline FILE
    pysource types FILE SCOPE NAME
    pysource attrs FILE CLASS [--methods M1,M2]

Every subcommand takes ``--cache-dir DIR`` (default: $PYSOURCE_CACHE, else
$XDG_CACHE_HOME/pysource, else ~/.cache/pysource).  Errors are one line on
standard error, starting with "pysource: ", and a non-zero exit status.
"""

import argparse
import json
import os
import shutil
import sys
import time

__all__ = ["main"]

PROG = "pysource"


class UsageError(Exception):
    pass


# -- output helpers ----------------------------------------------------------

class Progress:
    """A one-line progress bar on standard error, drawn only when standard
    error is a terminal; `note` prints a line above it."""

    def __init__(self, stream=None, label="indexing", delay=0.3):
        self.stream = stream or sys.stderr
        self.active = self.stream.isatty() if hasattr(self.stream, "isatty") else False
        self.label = label
        self.shown = False
        self.last = 0.0
        # Nothing is drawn for work done within `delay` seconds.
        self.start = time.monotonic() + delay

    def __call__(self, done, total, path):
        if not self.active or total == 0:
            return
        now = time.monotonic()
        if now < self.start or (done < total and now - self.last < 0.1):
            return
        self.last = now
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

    def clear(self):
        if self.shown:
            width = shutil.get_terminal_size((80, 24)).columns
            self.stream.write("\r" + " " * (width - 1) + "\r")
            self.stream.flush()
            self.shown = False

    def note(self, text):
        self.clear()
        self.stream.write("%s: %s\n" % (PROG, text))
        self.stream.flush()


def display_path(path):
    """`path` relative to the working folder when it lies under it."""
    try:
        cwd = os.getcwd()
    except OSError:
        return path
    if path.startswith(cwd.rstrip(os.sep) + os.sep):
        return os.path.relpath(path, cwd)
    return path


def kind_list(text):
    from .index import KINDS
    kinds = [k.strip() for k in text.split(",") if k.strip()]
    for k in kinds:
        if k not in KINDS:
            raise argparse.ArgumentTypeError(
                "unknown kind %r (choose from %s)" % (k, ", ".join(KINDS)))
    if not kinds:
        raise argparse.ArgumentTypeError("no kind given")
    return kinds


def name_list(text):
    return [n.strip() for n in text.split(",") if n.strip()]


# -- subcommands -------------------------------------------------------------

def open_index(args, progress=None):
    from .index import Index, default_cache_dir
    cache = args.cache_dir or default_cache_dir()
    if os.path.exists(cache) and not os.path.isdir(cache):
        raise UsageError("%s: cache folder is not a folder" % cache)
    note = progress.note if progress is not None else (
        lambda text: sys.stderr.write("%s: %s\n" % (PROG, text)))
    return Index(cache, warn=lambda text: note("warning: " + text))


def _explicit_failures(paths, summary):
    """Failures of files named on the command line (not found in a folder):
    those are errors of the command."""
    named = set(os.path.realpath(p) for p in paths if not os.path.isdir(p))
    return [(p, why) for p, why in summary.failed if p in named]


def cmd_index(args, out):
    from .index import default_paths
    paths = args.paths or default_paths()
    progress = Progress()
    index = open_index(args, progress)
    try:
        summary = index.update(paths, progress=progress)
    finally:
        progress.clear()
        index.close()
    for path, why in summary.failed:
        sys.stderr.write("%s: %s: %s\n" % (PROG, display_path(path), why))
    out.write("indexed %s\n" % summary.line())
    bad = _explicit_failures(paths, summary)
    return 1 if bad else 0


def cmd_find(args, out):
    from .index import default_paths
    progress = Progress()
    index = open_index(args, progress)
    try:
        paths = args.path
        if not paths and not index.roots:
            paths = default_paths()
            progress.note("no index in %s yet; indexing %s first" % (index.cache_dir, ", ".join(paths)))
        hits = index.find(args.pattern, args.scope, args.kind, paths, progress=progress)
    finally:
        progress.clear()
        index.close()
    if paths:
        # A named file that could not be indexed is an error, as for `index`.
        for p in paths:
            real = os.path.realpath(p)
            entry = index.files.get(real)
            if not os.path.isdir(p) and entry is not None and "error" in entry:
                raise UsageError("%s: %s" % (p, entry["error"]))
    write = out.write
    if args.json:
        for h in hits:
            write(json.dumps(h) + "\n")
    else:
        last = None
        shown = None
        for h in hits:
            if h["path"] != last:
                last = h["path"]
                shown = display_path(last)
            write("%s:%d: %s %s\n" % (shown, h["line"], h["kind"], h["name"]))
    return 0


def _load(args):
    index = open_index(args)
    try:
        mod = index.module(args.file)
    except BaseException:
        index.close()
        raise
    return index, mod


def _scope_def(mod, scope, where, what="scope"):
    """The definition line of `scope` (None for the module), or UsageError."""
    if scope == "":
        return None
    try:
        return mod.impl.GetScopeDefForFullName(scope)
    except KeyError:
        raise UsageError("%s: no %s %r" % (where, what, scope)) from None


def outline(mod):
    """The scope tree of an analysed module: a list of nodes (dicts with
    kind, name, full_name, line, bases or args, attributes of classes,
    children)."""
    import logicalline as ll
    impl = mod.impl
    top = []
    by_name = {}
    for line in mod.lines:
        kind = line.type
        if kind not in (ll.kClassDefIndex, ll.kFunctionDefIndex) or len(line.tokens) < 2:
            continue
        full = impl.GetFullNameForScopeDef(line)
        node = {"kind": line.tokens[0], "name": line.tokens[1], "full_name": full,
                "line": line.first_line}
        names = [str(o) for o in line.objs if isinstance(o, str)]
        if kind == ll.kClassDefIndex:
            node["bases"] = names
            attrs = []
            for name, _ in impl.GetInstanceAttributes(full, None) or ():
                if name not in attrs:
                    attrs.append(name)
            node["attributes"] = attrs
        else:
            node["args"] = names
        node["children"] = []
        parent = by_name.get(full.rpartition(".")[0]) if "." in full else None
        (parent["children"] if parent is not None else top).append(node)
        by_name[full] = node
    return top


def cmd_outline(args, out):
    index, mod = _load(args)
    try:
        tree = outline(mod)
    finally:
        index.close()
    if args.json:
        out.write(json.dumps({"path": mod.fFileName, "outline": tree}, indent=1) + "\n")
        return 0

    def show(nodes, depth):
        pad = "    " * depth
        for n in nodes:
            if n["kind"] == "class":
                text = "class %s" % n["name"] + ("(%s)" % ", ".join(n["bases"]) if n["bases"] else "")
            else:
                text = "%s %s(%s)" % (n["kind"], n["name"], ", ".join(n["args"]))
            out.write("%5d  %s%s\n" % (n["line"], pad, text))
            if n.get("attributes"):
                out.write("%5s  %s    attributes: %s\n" % ("", pad, ", ".join(n["attributes"])))
            show(n["children"], depth + 1)
    show(tree, 0)
    return 0


def cmd_types(args, out):
    index, mod = _load(args)
    try:
        _scope_def(mod, args.scope, args.file)
        equivs = mod.impl.FindTypeEquivs(args.name, args.scope)
    finally:
        index.close()
    if args.json:
        out.write(json.dumps({"path": mod.fFileName, "scope": args.scope, "name": args.name,
                              "types": equivs}) + "\n")
    else:
        for e in equivs:
            out.write("%s\n" % e)
    return 0


def cmd_attrs(args, out):
    import logicalline as ll
    index, mod = _load(args)
    try:
        impl = mod.impl
        cls = _scope_def(mod, args.cls, args.file, "class")
        if cls is None or cls.type != ll.kClassDefIndex:
            raise UsageError("%s: %r is not a class" % (args.file, args.cls))
        methods = args.methods
        attrs = {}
        for name, line in impl.GetInstanceAttributes(args.cls, methods) or ():
            lines = attrs.setdefault(name, [])
            if line.first_line not in lines:
                lines.append(line.first_line)
        result = []
        for name, lines in attrs.items():
            types = impl.FindInstAttribTypeEquivs(name, args.cls, methods)
            result.append({"name": name, "lines": lines,
                           "types": [{"method": m, "types": list(t)} for m, t in types]})
    finally:
        index.close()
    if args.json:
        out.write(json.dumps({"path": mod.fFileName, "class": args.cls, "attributes": result},
                             indent=1) + "\n")
        return 0
    for a in result:
        out.write("%s (line%s %s)\n" % (a["name"], "s" if len(a["lines"]) > 1 else "",
                                       ", ".join(map(str, a["lines"]))))
        for t in a["types"]:
            out.write("    %s: %s\n" % (t["method"], ", ".join(t["types"])))
    return 0


# -- argument parsing --------------------------------------------------------

def build_parser():
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--cache-dir", metavar="DIR", default=argparse.SUPPRESS,
                        help="the index folder's parent (default: $PYSOURCE_CACHE, else "
                             "$XDG_CACHE_HOME/pysource, else ~/.cache/pysource)")
    parser = argparse.ArgumentParser(
        prog=PROG, description="Analyse Python source: index files, find definitions, "
                               "and show scopes, types and instance attributes.")
    parser.add_argument("--cache-dir", metavar="DIR", default=None, help=argparse.SUPPRESS)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    p = sub.add_parser("index", parents=[common], help="analyse and index Python files",
                       description="Analyse every Python file under the paths (default: the "
                                   "standard library) and store the results in the index; "
                                   "files that have not changed are loaded, not analysed again.")
    p.add_argument("paths", nargs="*", metavar="PATH")
    p.set_defaults(func=cmd_index)

    p = sub.add_parser("find", parents=[common], help="find definitions in the indexed code",
                       description="Definitions whose name matches PATTERN, one per line as "
                                   "'path:line: kind full.name'.  Patterns are a name, or a "
                                   "name with one '*' standing for any text.")
    p.add_argument("pattern", metavar="PATTERN")
    p.add_argument("--scope", default="*", metavar="PATTERN",
                   help="full name of the scope the definitions are in ('' for module level); "
                        "may hold one '*' (default: any scope)")
    p.add_argument("--kind", type=kind_list, default=None, metavar="KINDS",
                   help="comma-separated kinds: class, function, import, generic (default: all)")
    p.add_argument("--path", action="extend", nargs="+", default=None, metavar="PATH",
                   help="search only files under these paths (indexing them first)")
    p.add_argument("--json", action="store_true", help="one JSON object per line")
    p.set_defaults(func=cmd_find)

    p = sub.add_parser("outline", parents=[common], help="the scope tree of a file",
                       description="Classes and functions of FILE with their bases, arguments "
                                   "and, for classes, the instance attributes their methods set.")
    p.add_argument("file", metavar="FILE")
    p.add_argument("--json", action="store_true")
    p.set_defaults(func=cmd_outline)

    p = sub.add_parser("types", parents=[common], help="what a name is equivalent to in a scope",
                       description="The type equivalences recorded for NAME in SCOPE (a full "
                                   "dotted name such as Class.method, or '' for module level).")
    p.add_argument("file", metavar="FILE")
    p.add_argument("scope", metavar="SCOPE")
    p.add_argument("name", metavar="NAME")
    p.add_argument("--json", action="store_true")
    p.set_defaults(func=cmd_types)

    p = sub.add_parser("attrs", parents=[common], help="instance attributes of a class",
                       description="The instance attributes the methods of CLASS (a full "
                                   "dotted name) set, the lines that set them and what they "
                                   "are equivalent to in each method.")
    p.add_argument("file", metavar="FILE")
    p.add_argument("cls", metavar="CLASS")
    p.add_argument("--methods", type=name_list, default=None, metavar="M1,M2",
                   help="only these methods (default: all)")
    p.add_argument("--json", action="store_true")
    p.set_defaults(func=cmd_attrs)

    p = sub.add_parser("lsp", parents=[common], help="run the language server (stdio)",
                       description="A language server for editors, over standard input and output.")
    from . import lsp_cli
    lsp_cli.add_arguments(p)
    p.set_defaults(func=lsp_cli.command)
    return parser


def main(argv=None):
    from .index import SourceError
    args = build_parser().parse_args(argv)
    out = sys.stdout
    try:
        return args.func(args, out)
    except (SourceError, UsageError) as e:
        sys.stderr.write("%s: %s\n" % (PROG, e))
        return 1
    except BrokenPipeError:
        # The reader went away (`pysource find x | head`): not an error.
        _silence(out)
        return 0
    except OSError as e:
        where = " (%s)" % e.filename if getattr(e, "filename", None) else ""
        sys.stderr.write("%s: %s%s\n" % (PROG, e.strerror or e, where))
        return 1
    except KeyboardInterrupt:
        sys.stderr.write("%s: interrupted\n" % PROG)
        return 130
    finally:
        try:
            out.flush()
        except BrokenPipeError:
            _silence(out)


def _silence(out):
    """Point `out` at the null device, so that the interpreter's last flush
    at exit does not fail again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, out.fileno())
    except (OSError, ValueError):
        pass


if __name__ == "__main__":
    sys.exit(main())
