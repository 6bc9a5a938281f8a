from typing import ClassVar, Literal, final

__version__: str

@final
class PythonInBuf:
    """Holds a bytes value for repeated use as an input; keeps it alive."""

    def __init__(self, value: bytes, /) -> None: ...

@final
class PythonOutBuf:
    """A result in native memory, read through the buffer protocol."""

    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __len__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

def diff(old_value: bytes | PythonInBuf, new_value: bytes | PythonInBuf) -> PythonOutBuf: ...
def patch(old_value: bytes | PythonInBuf, diff: bytes | PythonInBuf) -> PythonOutBuf: ...
@final
class Differ:
    """A reusable diff configuration."""

    def __init__(
        self,
        *,
        level: int = 0,
        step_budget: int = 10000,
        adaptive: bool = False,
        method: Literal["myers", "index"] = "myers",
        compact: bool = False,
    ) -> None: ...
    def diff(self, old_value: bytes | PythonInBuf, new_value: bytes | PythonInBuf) -> PythonOutBuf: ...
    @property
    def level(self) -> int: ...
    @property
    def step_budget(self) -> int: ...
    @property
    def adaptive(self) -> bool: ...
    @property
    def method(self) -> Literal["myers", "index"]: ...
    @property
    def compact(self) -> bool: ...
    @property
    def last_level(self) -> int | None: ...
