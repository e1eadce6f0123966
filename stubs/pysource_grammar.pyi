"""Native line grammar and transformer of the analyzer."""

from typing import Any, Final

kFileInputIndex: Final[int]

class Parsed:
    """The parse of one logical line, for the Transformer."""

class Parser:
    def AddToken(self, token: str, /) -> None: ...
    def Finish(self) -> Any: ...

class Grammar:
    def __init__(self) -> None: ...
    def CreateParser(self, symbol: int, /) -> Parser: ...

class Transformer:
    pool: dict[str, str]
    nonself_defs: set[tuple[str, ...]]
    def __init__(self, pool: dict[str, str] | None = ..., nonself_defs: set[tuple[str, ...]] | None = ...) -> None: ...
    def TransformNode(self, tree: Any, /) -> Any: ...

def counts() -> dict[str, int]: ...
