"""Group keys: each block's key columns encoded to dense codes, then mapped to group ids that
grow in order of first appearance across all blocks."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from vornel.table.blocks import InputError, KeyColumn

IDS = np.int32  # group ids: the grouped loop takes int32, and half the bytes of int64
MAX_GROUPS = 2**31 - 1


def _normal(key: Any) -> Any:
    """One Python value per key: every missing marker (None, NaN, NaT, pandas' NA) is None,
    and -0.0 is 0.0, so equal keys meet in one dict entry."""
    if key is None:
        return None
    if isinstance(key, float):
        return None if math.isnan(key) else key + 0.0
    try:
        if key != key:  # NaT, and NaN of other float types
            return None
    except (TypeError, ValueError):  # pandas' NA has no truth value
        return None
    return key


def encode(column: KeyColumn) -> tuple[npt.NDArray[np.integer[Any]], list[Any]]:
    """Codes in [0, K) per row and the K distinct keys in order of first appearance in the
    block (missing keys included, as None)."""
    codes, uniques = column.encode()
    return codes, [_normal(u) for u in uniques]


class KeyMap:
    """Key (or key tuple) -> group id, ids given in order of first appearance."""

    def __init__(self, names: Sequence[str]) -> None:
        self.names = list(names)
        self.keys: list[Any] = []  # by group id: a value, or a tuple with several key columns
        self._ids: dict[Any, int] = {}

    def __len__(self) -> int:
        return len(self.keys)

    def _lookup(self, uniques: Sequence[Any], name: str) -> npt.NDArray[np.int32]:
        ids, keys = self._ids, self.keys
        out = np.empty(len(uniques), IDS)
        for j, u in enumerate(uniques):
            try:
                g = ids.get(u)
            except TypeError:
                raise InputError(f"group key {u!r} is not hashable", column=name) from None
            if g is None:
                g = ids[u] = len(keys)
                if g >= MAX_GROUPS:
                    raise InputError(f"more than {MAX_GROUPS} groups", column=name)
                keys.append(u)
            out[j] = g
        return out

    def ids(self, columns: Sequence[KeyColumn]) -> npt.NDArray[np.int32]:
        """The group id of every row of a block."""
        if len(columns) == 1:
            codes, uniques = encode(columns[0])
            one: npt.NDArray[np.int32] = self._lookup(uniques, self.names[0])[codes]
            return one
        # Several key columns: a row's key is the tuple of its values; the block's distinct
        # tuples come from encoding the pairs of per-column codes.
        combined: npt.NDArray[np.int64] | None = None
        parts: list[list[Any]] = []
        for column in columns:
            codes, uniques = encode(column)
            if combined is None:
                combined = codes.astype(np.int64)
                parts = [[(u,) for u in uniques]]
                continue
            pair = combined * len(uniques) + codes
            pair_codes, first = _first_appearance(pair)
            width = len(uniques)
            prev = parts[-1]
            parts.append([prev[p // width] + (uniques[p % width],) for p in first.tolist()])
            combined = pair_codes
        assert combined is not None
        ids: npt.NDArray[np.int32] = self._lookup(parts[-1], ", ".join(self.names))[combined]
        return ids


def _first_appearance(values: npt.NDArray[np.int64]) -> tuple[npt.NDArray[np.int64],
                                                              npt.NDArray[np.int64]]:
    """Codes of int64 values numbered by first appearance, and the distinct values in that
    order."""
    uniq, first, inverse = np.unique(values, return_index=True, return_inverse=True)
    order = np.argsort(first, kind="stable")
    rank = np.empty(len(uniq), np.int64)
    rank[order] = np.arange(len(uniq))
    return rank[inverse.reshape(-1)], uniq[order]
