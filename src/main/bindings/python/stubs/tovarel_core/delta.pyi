from collections.abc import Iterator
from typing import ClassVar, Literal, NamedTuple, final, overload

from typing_extensions import Buffer

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
    @overload
    def __getitem__(self, index: int, /) -> int: ...
    @overload
    def __getitem__(self, index: slice, /) -> bytes: ...
    def __iter__(self) -> Iterator[int]: ...
    def hex(self, sep: str | bytes = ..., bytes_per_sep: int = ..., /) -> str: ...
    def __add__(self, other: Buffer, /) -> bytes: ...
    def __radd__(self, other: Buffer, /) -> bytes: ...

def diff(
    old_value: bytes | PythonInBuf | PythonOutBuf, new_value: bytes | PythonInBuf | PythonOutBuf
) -> PythonOutBuf: ...
def patch(
    old_value: bytes | PythonInBuf | PythonOutBuf, diff: bytes | PythonInBuf | PythonOutBuf
) -> PythonOutBuf: ...

class DeltaInfo(NamedTuple):
    """What a delta holds, read without the old value."""

    form: Literal["plain", "checked", "replacement", "no-change", "compact"]
    old_size: int | None
    new_size: int | None
    copies: int
    copied_bytes: int
    inserted_bytes: int
    body: Literal["plain", "replacement", "no-change", "compact"]

def inspect(delta: Buffer | PythonInBuf) -> DeltaInfo: ...
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
        checked: bool = False,
        compact: bool = False,
    ) -> None: ...
    def diff(self, old_value: Buffer | PythonInBuf, new_value: Buffer | PythonInBuf) -> PythonOutBuf: ...
    def patch(self, old_value: Buffer | PythonInBuf, delta: Buffer | PythonInBuf) -> PythonOutBuf: ...
    @property
    def level(self) -> int: ...
    @property
    def step_budget(self) -> int: ...
    @property
    def adaptive(self) -> bool: ...
    @property
    def method(self) -> Literal["myers", "index"]: ...
    @property
    def checked(self) -> bool: ...
    @property
    def compact(self) -> bool: ...
    @property
    def last_level(self) -> int | None: ...
