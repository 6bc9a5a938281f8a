import datetime
from collections.abc import Callable, Iterator
from typing import Any, Final, Literal, Protocol, TypeAlias, final

from typing_extensions import Buffer

__version__: str

class CBORDecodeError(ValueError): ...

class _Reader(Protocol):
    def read(self, size: int = ..., /) -> bytes | None: ...

class _Writer(Protocol):
    def write(self, data: bytes, /) -> int | None: ...

@final
class Tag:
    def __init__(self, tag: int, value: Any) -> None: ...
    @property
    def tag(self) -> int: ...
    @property
    def value(self) -> Any: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

@final
class Simple:
    def __init__(self, value: int) -> None: ...
    @property
    def value(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

# The type of `undefined`; calling it gives `undefined` again.
@final
class _UndefinedType: ...

undefined: Final[_UndefinedType]

# What dumps encodes.  Containers are typed loosely: their elements are
# checked when they are encoded, and list invariance would otherwise refuse
# a list[int] where a list of encodable values is expected.
# numpy's scalars are encodable too; they are not named here, so that the
# stubs need no numpy.
_Encodable: TypeAlias = (
    None | bool | int | float | str | bytes | bytearray | memoryview | list[Any] | tuple[Any, ...]
    | dict[Any, Any] | Tag | Simple | _UndefinedType
)

def dumps(value: _Encodable, indefinite: bool = True, max_depth: int = 0) -> bytes: ...
def loads(
    data: Buffer,
    *,
    max_depth: int = 1000,
    tag_hook: Callable[[Tag], Any] | None = None,
    object_hook: Callable[[dict[Any, Any]], Any] | None = None,
    deterministic: Literal["core", "length_first"] | None = None,
    duplicate_keys: Literal["last", "error"] = "last",
) -> Any: ...
def loads_sequence(
    data: Buffer,
    *,
    max_depth: int = 1000,
    tag_hook: Callable[[Tag], Any] | None = None,
    object_hook: Callable[[dict[Any, Any]], Any] | None = None,
    deterministic: Literal["core", "length_first"] | None = None,
    duplicate_keys: Literal["last", "error"] = "last",
) -> list[Any]: ...

def load(
    fp: _Reader,
    *,
    max_depth: int = 1000,
    tag_hook: Callable[[Tag], Any] | None = None,
    object_hook: Callable[[dict[Any, Any]], Any] | None = None,
    deterministic: Literal["core", "length_first"] | None = None,
    duplicate_keys: Literal["last", "error"] = "last",
) -> Any: ...
def iter_load(
    fp: _Reader,
    *,
    chunk_size: int = 65536,
    max_depth: int = 1000,
    tag_hook: Callable[[Tag], Any] | None = None,
    object_hook: Callable[[dict[Any, Any]], Any] | None = None,
    deterministic: Literal["core", "length_first"] | None = None,
    duplicate_keys: Literal["last", "error"] = "last",
) -> Iterator[Any]: ...

@final
class SequenceDecoder:
    def __init__(
        self,
        *,
        max_depth: int = 1000,
        tag_hook: Callable[[Tag], Any] | None = None,
        object_hook: Callable[[dict[Any, Any]], Any] | None = None,
        deterministic: Literal["core", "length_first"] | None = None,
        duplicate_keys: Literal["last", "error"] = "last",
    ) -> None: ...
    def feed(self, data: Buffer) -> list[Any]: ...
    def close(self) -> None: ...
    @property
    def pending(self) -> int: ...
    @property
    def position(self) -> int: ...

@final
class Encoder:
    def __init__(
        self,
        *,
        default: Callable[[Any], Any] | None = None,
        datetime_as_timestamp: bool = False,
        timezone: datetime.tzinfo | None = None,
        indefinite: bool = False,
        max_depth: int = 0,
        deterministic: Literal["core", "length_first"] | None = None,
    ) -> None: ...
    # Any value: what cannot be encoded goes to default, or raises.
    def encode(self, value: Any) -> bytes: ...
    def dump(self, value: Any, fp: _Writer) -> None: ...
    @property
    def default(self) -> Callable[[Any], Any] | None: ...
    @property
    def datetime_as_timestamp(self) -> bool: ...
    @property
    def timezone(self) -> datetime.tzinfo | None: ...
    @property
    def indefinite(self) -> bool: ...
    @property
    def max_depth(self) -> int: ...
    @property
    def deterministic(self) -> Literal["core", "length_first"] | None: ...
