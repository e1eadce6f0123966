"""Native line grammar and transformer of the analyzer."""

from typing import Any, Final, final

kFileInputIndex: Final[int]

@final
class Parsed:
    """The parse of one logical line, for the Transformer."""

@final
class Parser:
    def AddToken(self, token: str, /) -> None: ...
    def Finish(self) -> Any: ...

@final
class Grammar:
    def CreateParser(self, symbol: int, /) -> Parser: ...

@final
class Transformer:
    @property
    def pool(self) -> dict[str, str]: ...
    @property
    def nonself_defs(self) -> set[tuple[str, ...]]: ...
    def __init__(self, pool: dict[str, str] | None = None,
                 nonself_defs: set[tuple[str, ...]] | None = None) -> None: ...
    def TransformNode(self, tree: Any, /) -> Any: ...

def counts() -> dict[str, int]: ...
