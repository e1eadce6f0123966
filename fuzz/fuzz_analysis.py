"""Fuzzes the whole analysis and its queries on mutated real source.

Each input is a module's source: it is analysed (`Project.analyze_source`),
every query an editor makes is asked of it (scopes of every line, full
names and their definitions and bodies, the attribute search, type
equivalences, instance attributes), then an edit chosen by the input's last
bytes is folded in and the queries are asked again.  No query may fail on
names the analyzer itself handed out, whatever the text.

    python fuzz/fuzz_analysis.py -max_total_time=60
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

import fuzzing
import logicalline
import pysource
from pysource import ModuleAnalysis

# What an editor's buffer goes through while code is typed.
EDITS = ["def", "def ", "class ", "class 'x.y':", "(", ")", "[", "]", "'", '"""', ":", "\n",
         "\n    ", "\n        self.y = {}\n", "\\\n", "import os\n", "from . import *\n",
         "from __future__ import annotations\n", "if x:\n    ", "  # to do", "@d\n",
         "lambda: 0", "x = y = f()\n", "isinstance(a, (A, B))", "\t", "return self.x\n", ""]

# Bounds on the queries asked per input, so one large input stays cheap.
MAX_SCOPES = 40
MAX_REFS = 60


def seeds() -> Iterator[bytes]:
    for text in fuzzing.stdlib_sources():
        yield text.encode("utf-8")


def exercise(mod: ModuleAnalysis) -> None:
    """Every query of an editor on the module `mod`, over the names the
    analyzer gives back; fails (AssertionError or the analyzer's error) on
    any answer that does not hold together."""
    mod.analyze()
    impl = mod.impl
    lines = mod.lines
    defs = (logicalline.kClassDefIndex, logicalline.kFunctionDefIndex)
    classes: list[str] = []
    scopes: list[str] = [""]
    for line in lines:
        name = impl.GetFullNameForScopeDef(impl.FindScopeForLine(line))
        assert type(name) is str, name
        if line.type in defs and len(scopes) < MAX_SCOPES:
            full = impl.GetFullNameForScopeDef(line)
            found = impl.GetScopeDefForFullName(full)
            # A name defined more than once (a def, then a class of that
            # name) stands for one of its definitions: the first in the
            # module, or the one an edit added last.
            assert found in lines and found.type in defs, (full, found)
            assert impl.GetFullNameForScopeDef(found) == full, (full, found.tokens[:3])
            scopes.append(full)
            if line.type == logicalline.kClassDefIndex:
                classes.append(full)
    for full in scopes:
        for member in impl.GetBodyOfScope(full):
            assert type(member) is logicalline.LogicalLine

    refs: list[Any] = impl.SearchForAttribs({"scope_name": "*", "local_name": "*", "find_all": 1})
    for ref in refs[:MAX_REFS]:
        assert ref.fLogical in lines or ref.fKind == logicalline.kImportedAttribKind, ref
        scope = ref.fFullName.rpartition(".")[0] if "." in ref.fFullName else ""
        # A name with a NUL (only stored data can hold one) is refused by
        # the type queries with ValueError, which is fair.
        if scope in scopes and "\0" not in ref.fLocalName:
            impl.FindTypeEquivs(ref.fLocalName, scope)
    for full in scopes[:MAX_SCOPES]:
        impl.SearchForAttribs({"scope_name": full, "local_name": "*", "dotted_names_valid": 1})
        impl.FindTypeEquivs("self", full)
    for full in classes:
        attribs = impl.GetInstanceAttributes(full, None)
        for name, _line in (attribs or [])[:10]:
            if "\0" not in name:  # refused with ValueError, as above
                impl.FindInstAttribTypeEquivs(name, full, None)
    mod.future_features()
    mod.names()


def check(data: bytes) -> None:
    text = data.decode("utf-8", "replace")
    with pysource.Project(search_path=[]) as project:
        mod = project.analyze_source(text, module_name="fuzzed")
        try:
            exercise(mod)
            pick = fuzzing.Choices(data[-4:])
            at = pick.below(min(len(text), 65536) + 1)
            edited = text[:at] + pick.pick(EDITS) + text[at + pick.below(16):]
            mod.set_source(edited)
            mod.UpdateFromCache()
            exercise(mod)
        finally:
            mod.close()


def main() -> None:
    fuzzing.run("analysis", check, seeds)


if __name__ == "__main__":
    main()
