# Types of the private CSV scanner of vornel.table.
from collections.abc import Buffer, Sequence
from typing import Any, final

import numpy as np
from numpy.typing import NDArray

@final
class KeyMap:
    def __init__(self, n_parts: int) -> None: ...
    def __len__(self) -> int: ...
    def map_arrow(self, columns: list[tuple[Any, Any, Any, int, bool]], n: int,
                  seq: int) -> NDArray[np.int32]: ...
    def keys(self) -> tuple[NDArray[np.int64],
                            list[tuple[NDArray[np.int64], bytes, NDArray[np.uint8] | None]]]: ...

@final
class Scanner:
    def __init__(self, n_fields: int, value_fields: Sequence[int], key_fields: Sequence[int],
                 na: tuple[bytes, ...], key_na: tuple[bytes, ...],
                 keymap: KeyMap | None) -> None: ...
    def scan(self, data: Buffer, range: int, skip: tuple[bool, ...]) -> tuple[
        int, int, NDArray[np.int32] | None, list[NDArray[np.float64] | None],
        list[NDArray[np.bool_] | None], list[tuple[bool, int, int, int]],
        tuple[int, int, int, int] | None]: ...

def write_lines(json: bool, keys: list[tuple[Any, Any, Any, int, bool]], key_modes: list[int],
                key_names: list[bytes], names: list[bytes], stat_names: list[bytes],
                kinds: list[int], stats: list[list[NDArray[Any]]], lo: int, hi: int) -> bytes: ...
