"""An index of analysed source files in a cache folder.

Layout of the folder (one per interpreter, since the analysis depends on
its ``ast`` module and search path)::

    <cache>/index-<cache tag>/manifest.json
    <cache>/index-<cache tag>/modules/<hash of the source path>.pysl

Each source file (by real path) has a stored module (`pysource.store`)
whose extra value is ``{"path": source path, "lines": logical line count,
"defs": definitions table, "deps": star-import sources}``.  The definitions
table is what the attribute search (``SearchForAttribs``) finds in the
whole module with every option at its default, one row per hit::

    (kind, local name, scope name, line, imported module or None,
     name inside that module or None)

`find` filters these rows with the search's own pattern rules, so it reads
one small section of each stored file and never decodes logical lines.

The names a star import brings in are part of the importing module's
table, so that table depends on other files: "deps" lists them, with
transitive star imports, as (path, size, modification time); a module is
analysed again when one of them changed.

The manifest (json) lists the roots that were indexed and, per source
file, its stored file, size, modification time and counts, or the reason
it failed.  Nothing in the folder is trusted: stored files are checked
against their sources and checksums when used, a damaged manifest or
stored file is reported and rebuilt, and a file whose source changed is
analysed again.
"""

import hashlib
import io
import json
import os
import sys
import sysconfig
import time
import tokenize
import warnings

from . import store
from .analysis import Project

__all__ = ["Index", "SourceError", "default_cache_dir", "python_files", "read_python_source",
           "pattern_matcher", "KINDS"]

MANIFEST_FORMAT = 1

# Kind names of the command line -> the analyzer's attribute kinds.
KINDS = {"class": "class", "function": "function", "import": "imported", "generic": "generic"}
KIND_NAMES = {v: k for k, v in KINDS.items()}

SKIP_DIRS = frozenset(["__pycache__", "site-packages", "dist-packages"])
PY_SUFFIXES = (".py", ".pyw", ".pyi")


class SourceError(Exception):
    """A path given as input cannot be used; the message says which and
    why."""


def default_cache_dir():
    """$PYSOURCE_CACHE, else $XDG_CACHE_HOME/pysource, else
    ~/.cache/pysource."""
    d = os.environ.get("PYSOURCE_CACHE")
    if d:
        return d
    xdg = os.environ.get("XDG_CACHE_HOME")
    if xdg and os.path.isabs(xdg):
        return os.path.join(xdg, "pysource")
    return os.path.join(os.path.expanduser("~"), ".cache", "pysource")


def default_paths():
    """The running interpreter's standard library."""
    return [sysconfig.get_paths()["stdlib"]]


# -- source files --------------------------------------------------------------

def _looks_like_python(path, head):
    if b"\0" in head:
        return False
    if path.endswith(PY_SUFFIXES):
        return True
    first = head.split(b"\n", 1)[0]
    return first.startswith(b"#!") and b"python" in first


def read_python_source(path):
    """(bytes, text, stamp) of the Python source file `path`; raises
    `SourceError` when it is missing, unreadable, not Python (by name or
    first line, or holding null bytes) or not valid in its encoding (UTF-8
    unless it declares another)."""
    try:
        with open(path, "rb") as f:
            st = os.fstat(f.fileno())
            data = f.read()
    except FileNotFoundError:
        raise SourceError("%s: no such file" % path) from None
    except IsADirectoryError:
        raise SourceError("%s: is a folder, not a Python file" % path) from None
    except OSError as e:
        raise SourceError("%s: cannot read (%s)" % (path, e.strerror or e)) from None
    if not _looks_like_python(path, data[:4096]) or b"\0" in data:
        raise SourceError("%s: not a Python source file" % path)
    try:
        encoding, _ = tokenize.detect_encoding(io.BytesIO(data).readline)
    except SyntaxError as e:
        # A bad coding declaration, or bytes that are not UTF-8 in the
        # first two lines of a file that declares none.
        encoding = "utf-8"
        reason = str(e.msg if getattr(e, "msg", None) else e).split(" for ")[0]
        if "invalid or missing encoding declaration" not in reason:
            raise SourceError("%s: %s" % (path, reason)) from None
    try:
        text = data.decode(encoding)
    except UnicodeDecodeError as e:
        name = "UTF-8" if encoding.replace("_", "-").lower().startswith("utf-8") else encoding
        raise SourceError("%s: not valid %s (byte 0x%02x at offset %d)"
                          % (path, name, data[e.start], e.start)) from None
    if text.startswith("\ufeff"):
        text = text[1:]
    return data, text, store.SourceStamp(len(data), st.st_mtime_ns, store.digest(data))


def python_files(paths):
    """The real paths of the Python files named by `paths`, in order: a file
    as itself (it must be a Python file), a folder as the .py files under it
    (skipping __pycache__, site-packages, dist-packages and hidden
    folders).  Raises `SourceError` for a path that does not exist or a file
    that is not Python."""
    out = []
    seen = set()
    for p in paths:
        real = os.path.realpath(p)
        if os.path.isdir(real):
            for root, dirs, files in os.walk(real):
                dirs[:] = sorted(d for d in dirs if d not in SKIP_DIRS and not d.startswith("."))
                for f in sorted(files):
                    if f.endswith(".py"):
                        fp = os.path.join(root, f)
                        if fp not in seen:
                            seen.add(fp)
                            out.append(fp)
        elif os.path.isfile(real):
            try:
                with open(real, "rb") as f:
                    head = f.read(4096)
            except OSError as e:
                raise SourceError("%s: cannot read (%s)" % (p, e.strerror or e)) from None
            if not _looks_like_python(real, head):
                raise SourceError("%s: not a Python source file" % p)
            if real not in seen:
                seen.add(real)
                out.append(real)
        elif os.path.lexists(p):
            raise SourceError("%s: not a file or folder" % p)
        else:
            raise SourceError("%s: no such file or folder" % p)
    return out


def package_roots(paths):
    """The folders absolute imports of the modules under `paths` start from:
    for each path, the first folder above it that is not a package."""
    roots = []
    for p in paths:
        d = os.path.realpath(p)
        if not os.path.isdir(d):
            d = os.path.dirname(d)
        while os.path.isfile(os.path.join(d, "__init__.py")) and os.path.dirname(d) != d:
            d = os.path.dirname(d)
        if d not in roots:
            roots.append(d)
    return roots


def _under(path, folder):
    return path == folder or path.startswith(folder.rstrip(os.sep) + os.sep)


# -- the attribute search's patterns -----------------------------------------

def pattern_matcher(spec):
    """A test of texts against the pattern `spec` as the attribute search
    reads patterns: "*" matches everything; a pattern without '*' matches
    itself; otherwise a text must begin with what comes before the first
    '*' and end with what comes after it (a further '*' is an ordinary
    character), the two parts not overlapping."""
    if spec == "*":
        return lambda text: True
    star = spec.find("*")
    if star < 0:
        return spec.__eq__
    lead, trail = spec[:star], spec[star + 1:]
    need = len(lead) + len(trail)
    return lambda text: len(text) >= need and text.startswith(lead) and text.endswith(trail)


def definitions(mod):
    """The definitions table of an analysed module (see the module doc)."""
    from .analysis import ModuleAnalysis
    rows = []
    for r in mod.impl.SearchForAttribs({"update": 1}):
        local, full = r.fLocalName, r.fFullName
        scope = "" if full == local else full[:len(full) - len(local) - 1]
        module = target = None
        ref = r.fImportRef
        if type(ref) is tuple and len(ref) == 3:
            if isinstance(ref[1], ModuleAnalysis):
                module = ref[1].fLocalName
            if type(ref[2]) is str:
                target = ref[2]
        rows.append((str(r.fKind), str(local), str(scope), r.fLogical.first_line, module, target))
    return tuple(rows)


def star_sources(mod, project):
    """The source files whose names the star imports of `mod` bring in,
    directly or through star imports of their own, as (path, size,
    modification time), sorted."""
    from .splitter import kFromImportIndex
    out = []
    seen = {mod.fFileName}
    todo = [mod]
    while todo:
        m = todo.pop()
        for line in m.lines:
            toks = line.tokens
            if line.type != kFromImportIndex or "*" not in toks or "import" not in toks:
                continue
            path = project.find_module_path("".join(toks[1:toks.index("import")]), m.fPackageDir)
            if path is None:
                continue
            real = os.path.realpath(path)
            if real in seen:
                continue
            seen.add(real)
            try:
                st = os.stat(real)
            except OSError:
                continue
            out.append((real, st.st_size, st.st_mtime_ns))
            todo.append(project.module_for_path(real))
    return tuple(sorted(out))


def _valid_extra(extra, path):
    if type(extra) is not dict or extra.get("path") != path:
        return False
    rows = extra.get("defs")
    deps = extra.get("deps")
    if type(extra.get("lines")) is not int or type(rows) is not tuple or type(deps) is not tuple:
        return False
    if not all(type(d) is tuple and len(d) == 3 and type(d[0]) is str and type(d[1]) is int
               and type(d[2]) is int for d in deps):
        return False
    if not rows:
        return True
    if not all(type(r) is tuple and len(r) == 6 for r in rows):
        return False
    kinds, local, scope, line, module, target = zip(*rows)
    return (set(kinds) <= KIND_NAMES.keys() and set(map(type, local)) == {str}
            and set(map(type, scope)) == {str} and set(map(type, line)) == {int}
            and set(map(type, module)) <= {str, type(None)}
            and set(map(type, target)) <= {str, type(None)})


def _valid_entry(entry):
    """Whether `entry` has the shape of a manifest entry: a stored file
    with its source's size, time and counts, or a failure's reason."""
    if type(entry) is not dict:
        return False
    if "error" in entry:
        return (type(entry["error"]) is str and type(entry.get("size")) in (int, type(None))
                and type(entry.get("mtime_ns")) in (int, type(None)))
    return (type(entry.get("store")) is str and type(entry.get("size")) is int
            and type(entry.get("mtime_ns")) is int and type(entry.get("lines")) is int
            and type(entry.get("defs")) is int)


# -- the index -----------------------------------------------------------------

class Summary:
    """What an update did: counts, failures and time."""

    def __init__(self):
        self.files = 0
        self.analysed = 0
        self.loaded = 0
        self.lines = 0
        self.defs = 0
        self.failed = []        # (path, reason)
        self.seconds = 0.0

    def line(self):
        text = ("%d files (%d analysed, %d loaded), %d logical lines, %d definitions, %.1f s"
                % (self.files, self.analysed, self.loaded, self.lines, self.defs, self.seconds))
        if self.failed:
            reasons = {}
            for _, why in self.failed:
                why = why.split(" (")[0]
                reasons[why] = reasons.get(why, 0) + 1
            text += "; %d failed: %s" % (len(self.failed), ", ".join(
                "%s (%d)" % (why, n) if n > 1 else why for why, n in sorted(reasons.items())))
        else:
            text += "; none failed"
        return text


def _failure_reason(message, path):
    """The reason part of an error message that starts with the path."""
    prefix = path + ": "
    return message[len(prefix):] if message.startswith(prefix) else message


class Index:
    """The index in the cache folder `cache_dir`.

    `warn` is called with one line of text for each damaged thing found
    (and rebuilt); `progress`, when given to `update`, with (done, total,
    path) as files are done.
    """

    def __init__(self, cache_dir, warn=None):
        self.cache_dir = os.path.abspath(cache_dir)
        self.folder = os.path.join(self.cache_dir, "index-" + (sys.implementation.cache_tag or "python"))
        self.modules_dir = os.path.join(self.folder, "modules")
        self.manifest_path = os.path.join(self.folder, "manifest.json")
        self.warn = warn or (lambda text: None)
        self.roots = []
        self.files = {}
        self._dirty = False
        self._project = None
        self._project_roots = None
        self._stats = {}
        self._load_manifest()

    # -- manifest --------------------------------------------------------

    def _load_manifest(self):
        try:
            with open(self.manifest_path, "rb") as f:
                raw = f.read()
        except FileNotFoundError:
            return
        except OSError as e:
            self.warn("index manifest %s cannot be read (%s); rebuilding" % (self.manifest_path, e.strerror))
            return
        try:
            data = json.loads(raw.decode("utf-8"))
            ok = (type(data) is dict and type(data.get("roots")) is list
                  and all(type(r) is str for r in data["roots"])
                  and type(data.get("files")) is dict
                  and all(type(k) is str and _valid_entry(v) for k, v in data["files"].items()))
        except (UnicodeDecodeError, ValueError, RecursionError):
            ok = False
        if not ok:
            self.warn("index manifest %s is damaged; rebuilding" % self.manifest_path)
            self._dirty = True
            return
        if data.get("format") != MANIFEST_FORMAT or data.get("producer") != store.producer():
            # Made by another version: its stored files are refused one by
            # one; the roots still say what was indexed.
            self._dirty = True
            self.roots = data["roots"]
            return
        self.roots = data["roots"]
        self.files = data["files"]

    def save(self):
        """Write the manifest if anything changed."""
        if not self._dirty:
            return
        os.makedirs(self.folder, exist_ok=True)
        data = {"format": MANIFEST_FORMAT, "producer": store.producer(),
                "roots": self.roots, "files": self.files}
        store.write_atomic(self.manifest_path, json.dumps(data, indent=0, sort_keys=True).encode("utf-8"))
        self._dirty = False

    def add_roots(self, paths):
        for p in paths:
            real = os.path.realpath(p)
            if any(_under(real, r) for r in self.roots):
                continue
            self.roots = [r for r in self.roots if not _under(r, real)] + [real]
            self._dirty = True

    def store_path(self, path):
        name = hashlib.blake2b(os.fsencode(path), digest_size=16).hexdigest()
        return os.path.join(self.modules_dir, name + ".pysl")

    # -- one file --------------------------------------------------------

    def _stored(self, path, full):
        """The extra value of the stored module of `path` if it is there and
        good, checked against the source (and, with `full`, all its
        checksums); None when the file must be analysed again.  A touched
        source with unchanged content gets its stored file restamped."""
        spath = self.store_path(path)
        try:
            with open(spath, "rb") as f:
                if full:
                    blob = f.read()
                else:
                    blob = f.read(store.HEADER_SIZE)
                    if len(blob) == store.HEADER_SIZE:
                        h = store.read_header(blob, spath)
                        blob += f.read(h.extra_len)
            st = os.stat(path)
            if full:
                _, extra = store.loads(blob, source_path=path, where=spath, decode_lines=False)
            else:
                extra = store.read_extra(blob, source_path=path, where=spath)
        except FileNotFoundError:
            return None
        except store.StaleStoreError:
            return None
        except store.CorruptStoreError as e:
            self.warn("%s; analysing %s again" % (e, path))
            return None
        except OSError as e:
            self.warn("%s cannot be read (%s); analysing %s again" % (spath, e.strerror, path))
            return None
        if not _valid_extra(extra, path):
            self.warn("%s: damaged stored module (bad definitions table); analysing %s again" % (spath, path))
            return None
        for dep, size, mtime in extra["deps"]:
            if self._stat(dep) != (size, mtime):
                return None
        h = store.read_header(blob, spath)
        if h.stamp.mtime_ns != st.st_mtime_ns:
            try:
                store.restamp(spath, st.st_mtime_ns)
            except OSError:
                pass
        entry = {"store": os.path.basename(spath), "size": st.st_size, "mtime_ns": st.st_mtime_ns,
                 "lines": extra["lines"], "defs": len(extra["defs"])}
        if self.files.get(path) != entry:
            self.files[path] = entry
            self._dirty = True
        return extra

    def _stat(self, path):
        """(size, modification time) of `path`, or None; remembered for
        the length of one update."""
        try:
            return self._stats[path]
        except KeyError:
            pass
        try:
            st = os.stat(path)
            got = (st.st_size, st.st_mtime_ns)
        except OSError:
            got = None
        self._stats[path] = got
        return got

    def project(self, roots=()):
        """The factory analyses are made in: modules of indexed files are
        loaded from their stored form when it is good."""
        roots = package_roots(list(roots) + self.roots)
        if self._project is None or roots != self._project_roots:
            if self._project is not None:
                self._project.close()
            self._project = IndexedProject(self, roots)
            self._project_roots = roots
        return self._project

    def _analyse(self, path, project):
        """Analyses `path` and stores it; returns the extra value.  Raises
        `SourceError` when the file cannot be read, decoded or analysed,
        and OSError when the index cannot be written."""
        data, text, stamp = read_python_source(path)
        mod = project.module_for_path(path, source=text, load=False)
        try:
            with warnings.catch_warnings():
                # The grammar parses lines with `ast`, which warns about
                # things such as invalid escapes; not ours to report.
                warnings.simplefilter("ignore")
                mod.analyze()
                extra = {"path": path, "lines": len(mod.lines), "defs": definitions(mod),
                         "deps": star_sources(mod, project)}
        except (Exception, RecursionError) as e:
            raise SourceError("%s: analysis failed (%s: %s)" % (path, type(e).__name__, e)) from None
        os.makedirs(self.modules_dir, exist_ok=True)
        spath = self.store_path(path)
        store.write_atomic(spath, store.dumps(mod.lines, stamp, extra))
        self.files[path] = {"store": os.path.basename(spath), "size": stamp.size,
                            "mtime_ns": stamp.mtime_ns, "lines": extra["lines"],
                            "defs": len(extra["defs"])}
        self._dirty = True
        return extra

    def _fail(self, path, reason):
        try:
            st = os.stat(path)
            size, mtime = st.st_size, st.st_mtime_ns
        except OSError:
            size = mtime = None
        entry = {"error": reason, "size": size, "mtime_ns": mtime}
        if self.files.get(path) != entry:
            self.files[path] = entry
            self._dirty = True
        try:
            os.unlink(self.store_path(path))
        except OSError:
            pass

    # -- many files ------------------------------------------------------

    def update(self, paths, progress=None, full=True, tables=None):
        """Bring the index up to date for `paths` (files and folders): files
        whose stored form is good are loaded (checked, not analysed), the
        others analysed and stored; files under `paths` that are gone are
        dropped.  With `tables` a dict, the definitions table of each good
        file is put in it by path.  Returns a `Summary`.  Raises
        `SourceError` for a path that is missing or not Python."""
        t0 = time.perf_counter()
        self._stats = {}
        files = python_files(paths)
        summary = Summary()
        summary.files = len(files)
        project = None
        try:
            for n, path in enumerate(files):
                if progress is not None:
                    progress(n, len(files), path)
                entry = self.files.get(path)
                extra = None
                if entry is not None and "error" in entry:
                    try:
                        st = os.stat(path)
                        same = (st.st_size, st.st_mtime_ns) == (entry.get("size"), entry.get("mtime_ns"))
                    except OSError:
                        same = False
                    if same:
                        summary.failed.append((path, entry["error"]))
                        continue
                else:
                    extra = self._stored(path, full)
                if extra is not None:
                    summary.loaded += 1
                else:
                    if project is None:
                        project = self.project(paths)
                    try:
                        extra = self._analyse(path, project)
                    except SourceError as e:
                        reason = _failure_reason(str(e), path)
                        self._fail(path, reason)
                        summary.failed.append((path, reason))
                        continue
                    summary.analysed += 1
                summary.lines += extra["lines"]
                summary.defs += len(extra["defs"])
                if tables is not None:
                    tables[path] = extra["defs"]
            if progress is not None:
                progress(len(files), len(files), None)
            self._drop_missing(paths, set(files))
            self.add_roots(paths)
        finally:
            self.save()
        summary.seconds = time.perf_counter() - t0
        return summary

    def _drop_missing(self, paths, present):
        folders = [os.path.realpath(p) for p in paths]
        for path in list(self.files):
            if path not in present and any(_under(path, f) for f in folders):
                del self.files[path]
                self._dirty = True
                try:
                    os.unlink(self.store_path(path))
                except OSError:
                    pass

    # -- queries ---------------------------------------------------------

    def find(self, name_spec="*", scope_spec="*", kinds=None, paths=None, progress=None):
        """The definitions matching the patterns, as dicts (path, line, kind,
        name, local_name, scope, module, imported_name), sorted by path and
        line.  `kinds` is a set of command-line kind names (default: all);
        `paths` restricts the search to files under them (default: every
        indexed root).  Files not indexed yet, or changed since, are indexed
        first."""
        if paths:
            roots = list(paths)
        else:
            roots = []
            for r in list(self.roots):
                if os.path.exists(r):
                    roots.append(r)
                else:
                    self.warn("indexed path %s is gone; dropped from the index" % r)
                    self.roots.remove(r)
                    self._drop_missing([r], ())
                    self._dirty = True
        tables = {}
        self.update(roots, progress=progress, full=False, tables=tables)
        wanted = set(KINDS[k] for k in (kinds or KINDS))
        name_ok = pattern_matcher(name_spec)
        scope_ok = pattern_matcher(scope_spec)
        out = []
        for path in sorted(tables):
            for kind, local, scope, line, module, target in tables[path]:
                if kind in wanted and scope_ok(scope) and name_ok(local):
                    out.append({"path": path, "line": line, "kind": KIND_NAMES[kind],
                                "name": scope + "." + local if scope else local,
                                "local_name": local, "scope": scope,
                                "module": module, "imported_name": target})
        out.sort(key=lambda d: (d["path"], d["line"]))
        return out

    def module(self, path):
        """The analysis of the Python file `path`, from the index when it is
        indexed and current, else from its source.  Raises `SourceError`."""
        real = os.path.realpath(path)
        _, text, _ = read_python_source(path)
        project = self.project([real])
        mod = project.module_for_path(real, source=text)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            mod.analyze()
        return mod

    def close(self):
        if self._project is not None:
            self._project.close()
            self._project = None


class IndexedProject(Project):
    """A factory whose modules come from the index when their stored form is
    good (and from their sources otherwise)."""

    def __init__(self, index, roots):
        Project.__init__(self, roots=roots)
        self.index = index
        self._skip_load = False

    def module_for_path(self, path, name=None, source=None, load=True):
        self._skip_load = not load
        try:
            return Project.module_for_path(self, path, name, source)
        finally:
            self._skip_load = False

    def module_created(self, mod):
        path = mod.fFileName
        if self._skip_load or path not in self.index.files:
            return
        spath = self.index.store_path(path)
        try:
            store.load_module(mod, spath)
        except (store.StoreError, OSError):
            pass
