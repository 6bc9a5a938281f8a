from typing import Any, TypeAlias

__version__: str

# What dumps encodes.  Containers are typed loosely: their elements are
# checked when they are encoded, and list invariance would otherwise refuse
# a list[int] where a list of encodable values is expected.
_Encodable: TypeAlias = (
    None | bool | int | float | str | bytes | bytearray | list[Any] | tuple[Any, ...] | dict[Any, Any]
)

def dumps(value: _Encodable, indefinite: bool = True, max_depth: int = 0) -> bytes: ...
