"""Logical lines: one statement line of a Python module with its tokens,
positions, kind and the facts the analyzer records on it."""

from typing import Any, Final, Iterable, Sequence, final

kUnknownIndex: Final[int]
kClassDefIndex: Final[int]
kFunctionDefIndex: Final[int]
kStringExpressionIndex: Final[int]
kAssignmentIndex: Final[int]
kIfBeginningIndex: Final[int]
kElseBeginningIndex: Final[int]
kWhileBeginningIndex: Final[int]
kForBeginningIndex: Final[int]
kPassIndex: Final[int]
kRaiseIndex: Final[int]
kTryIndex: Final[int]
kExceptIndex: Final[int]
kFinallyIndex: Final[int]
kAssertIndex: Final[int]
kReturnIndex: Final[int]
kImportIndex: Final[int]
kFromImportIndex: Final[int]
kPrintIndex: Final[int]
kDeleteIndex: Final[int]
kElifBeginningIndex: Final[int]
kCommentIndex: Final[int]
kBlankLineIndex: Final[int]
kBreakIndex: Final[int]

kClassAttribKind: Final[object]
kFunctionAttribKind: Final[object]
kGenericAttribKind: Final[object]
kImportedAttribKind: Final[object]

# The type takes its arguments in __new__ and cannot be subclassed.
@final
class LogicalLine:
    def __new__(
        cls,
        tokens: Sequence[str],
        first_line: int = ...,
        indent: int = ...,
        line_count: int = ...,
        type: int = ...,
        positions: Iterable[tuple[int, int]] | None = ...,
        parsed: bool = ...,
        tabs_in_indent: bool = ...,
        spaces_in_indent: bool = ...,
    ) -> LogicalLine: ...
    @property
    def tokens(self) -> tuple[str, ...]: ...
    @property
    def positions(self) -> tuple[tuple[int, int], ...]: ...
    first_line: int
    @property
    def indent(self) -> int: ...
    @property
    def line_count(self) -> int: ...
    @property
    def type(self) -> int: ...
    @property
    def parsed(self) -> bool: ...
    @property
    def tabs_in_indent(self) -> bool: ...
    @property
    def spaces_in_indent(self) -> bool: ...
    @property
    def scope_name(self) -> str | None: ...
    @property
    def objs(self) -> tuple[Any, ...]: ...
    @property
    def type_equivs(self) -> tuple[tuple[Any, Any], ...]: ...

def GetDirectLogicalLineFunctionTable() -> object: ...

# The native splitter.  A record: (tokens, positions, first_line, line_count,
# indent, kind, tabs_in_indent, spaces_in_indent).
_Record = tuple[list[str], list[tuple[int, int]], int, int, int, int, bool, bool]

def split_logical_lines(text: str, pool: dict[str, str] | None = ...) -> list[LogicalLine]: ...
def scan_logical_lines(text: str, pool: dict[str, str] | None = ...) -> list[_Record]: ...
def rescan_logical_lines(
    old_text: str, old_records: list[_Record], new_text: str, pool: dict[str, str] | None = ..., tries: int = ...
) -> list[_Record]: ...
def rescan_window(
    base: str, hole_start: int, hole_end: int, hole: str, records: list[_Record], prefix: int, new_end: int,
    first_row: int, last_old_row: int, delta: int, added_rows: int, pool: dict[str, str], tries: int = ...,
    hint: int = ...
) -> tuple[list[_Record], int, int, list[_Record] | None] | None: ...
def common_ends(old_text: str, new_text: str) -> tuple[int, int]: ...
def nonself_def_keys(lines: Sequence[LogicalLine]) -> set[tuple[str, ...]]: ...
def key_set() -> set[tuple[str, ...]]: ...
