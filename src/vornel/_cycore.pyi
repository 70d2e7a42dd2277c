"""Types of the native core: one-pass, mergeable float64 summary statistics."""

from collections.abc import Buffer, Iterable
from typing import NoReturn, SupportsFloat, SupportsIndex, SupportsInt, TypedDict

# What the item conversion of the iterable path turns into a double, as float() does.
_Value = SupportsFloat | SupportsIndex | str | bytes | bytearray
# What int() turns into a group id.
_GroupId = SupportsInt | SupportsIndex | str | bytes | bytearray

class StreamResult(TypedDict):
    """One summary; mean, min, max, var and std are None while count is 0."""

    count: int
    sum: float
    mean: float | None
    min: float | None
    max: float | None
    var: float | None
    std: float | None

class GroupedColumns(TypedDict):
    """One list per statistic, indexed by group id; NaN (sum 0.0) for an empty group."""

    count: list[int]
    sum: list[float]
    mean: list[float]
    min: list[float]
    max: list[float]
    var: list[float]
    std: list[float]

class CyStreamStats:
    # Construction ignores its arguments.
    def __init__(self, *args: object, **kwargs: object) -> None: ...
    def add_values(self, values: Buffer | Iterable[_Value] | None) -> None:
        """Add values: a writable 1-d float64 buffer (fast path) or any iterable."""
    def merge(self, other: CyStreamStats) -> None: ...
    def result(self) -> StreamResult: ...
    # Instances refuse pickling and copying: both raise TypeError.
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object) -> NoReturn: ...

class CyGroupedStreamStats:
    def __init__(self, n_groups: SupportsInt) -> None: ...
    def add(
        self,
        group_ids: Buffer | Iterable[_GroupId] | None,
        values: Buffer | Iterable[_Value] | None,
    ) -> None: ...
    def merge(self, other: CyGroupedStreamStats) -> None: ...
    def to_dict(self) -> dict[int, StreamResult]: ...
    def result_arrays(self) -> GroupedColumns: ...
    # Instances refuse pickling and copying: both raise TypeError.
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object) -> NoReturn: ...
