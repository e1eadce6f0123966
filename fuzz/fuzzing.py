"""What the fuzz harnesses share: seed inputs made from real modules, the
byte reader that turns fuzz input into choices, and the runner around
atheris.

Each harness is a script with a `check(data: bytes) -> None` that raises
only when it finds a fault, and a `main()` that hands `check` to atheris.
The runner takes libFuzzer's own flags; without a corpus folder among them
it uses build/fuzz/<harness>/, filled with the harness's seeds when empty::

    python fuzz/fuzz_splitter.py -max_total_time=60   # a minute
    python fuzz/fuzz_splitter.py -runs=5000           # 5000 inputs
    python fuzz/fuzz_splitter.py                      # until a fault is found

`check` needs no atheris, so tests can replay inputs through it.
"""

from __future__ import annotations

import gc
import hashlib
import os
import sys
import sysconfig
import types
from collections.abc import Callable, Iterable, Iterator
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def stdlib_sources(count: int = 40, low: int = 800, high: int = 4000) -> list[str]:
    """The text of `count` standard-library modules between `low` and
    `high` bytes long, spread evenly over the sorted list of candidates, so
    that every run starts from the same seeds."""
    top = sysconfig.get_paths()["stdlib"]
    found = []
    for folder, dirs, files in os.walk(top):
        dirs[:] = sorted(d for d in dirs if d not in ("site-packages", "test", "tests", "idle_test",
                                                      "lib2to3", "__pycache__"))
        for name in sorted(files):
            if not name.endswith(".py"):
                continue
            path = os.path.join(folder, name)
            try:
                size = os.path.getsize(path)
            except OSError:
                continue
            if low <= size <= high:
                found.append(path)
    found.sort()
    step = max(1, len(found) // count)
    texts = []
    for path in found[::step][:count]:
        with open(path, "rb") as f:
            raw = f.read()
        try:
            texts.append(raw.decode("utf-8"))
        except UnicodeDecodeError:
            continue
    return texts


class Choices:
    """Reads small decisions from fuzz input, front to back; once the input
    is used up every answer is the smallest one, so any input is valid."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.at = 0

    def byte(self) -> int:
        if self.at >= len(self.data):
            return 0
        b = self.data[self.at]
        self.at += 1
        return b

    def below(self, n: int) -> int:
        """A number in 0..n-1 (n at most 65536)."""
        if n <= 1:
            return 0
        v = self.byte() if n <= 256 else self.byte() | self.byte() << 8
        return v % n

    def chance(self, one_in: int) -> bool:
        return self.below(one_in) == 0

    def pick(self, items: list[str]) -> str:
        return items[self.below(len(items))]

    def rest(self) -> bytes:
        out = self.data[self.at:]
        self.at = len(self.data)
        return out


def _has_corpus(args: list[str]) -> bool:
    return any(not a.startswith("-") for a in args)


def _fill(folder: str, seeds: Iterable[bytes]) -> None:
    os.makedirs(folder, exist_ok=True)
    if os.listdir(folder):
        return
    for seed in seeds:
        name = hashlib.sha1(seed).hexdigest()
        with open(os.path.join(folder, name), "wb") as f:
            f.write(seed)


def _ours(module: str) -> bool:
    return (module == "__main__" or module == "fuzzing" or module.startswith("fuzz_")
            or module == "pysource" or module.startswith("pysource."))


def _instrument(atheris: Any) -> None:
    """Instruments the functions of our own modules only: instrumenting
    everything loaded takes minutes under the sanitizer build."""
    for obj in gc.get_objects():
        if (type(obj) is types.FunctionType and isinstance(getattr(obj, "__module__", None), str)
                and _ours(obj.__module__)):
            atheris.instrument_func(obj)


def run(name: str, check: Callable[[bytes], None], seeds: Callable[[], Iterator[bytes]]) -> None:
    """Hands `check` to atheris with this script's command line; adds the
    default corpus folder (seeded) when the command line names none.

    The host package and the harnesses are instrumented for coverage (the
    harness's own tree builder and rules tell the search which shapes it
    has tried).  The native modules are built without libFuzzer's
    instrumentation (g++ has none), so the search is guided by the Python
    side only."""
    import atheris  # type: ignore[import-untyped]

    args = sys.argv[1:]
    if not _has_corpus(args):
        folder = os.path.join(ROOT, "build", "fuzz", name)
        _fill(folder, seeds())
        args.append(folder)
    # The sanitizer build keeps freed memory aside for a while and the
    # interpreter allocates through it, so allow more than the default 2 GB;
    # leaks are the suite's business (leak loops), not the fuzzer's.
    for flag, default in (("-rss_limit_mb=", "4096"), ("-detect_leaks=", "0")):
        if not any(a.startswith(flag) for a in args):
            args.insert(0, flag + default)
    if not any(a.startswith("-artifact_prefix=") for a in args):
        crashes = os.path.join(ROOT, "build", "fuzz", "crashes")
        os.makedirs(crashes, exist_ok=True)
        args.insert(0, "-artifact_prefix=%s/%s-" % (crashes, name))
    _instrument(atheris)
    atheris.Setup([sys.argv[0]] + args, check)
    atheris.Fuzz()
