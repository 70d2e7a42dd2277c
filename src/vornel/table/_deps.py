"""The optional libraries of the table layer, imported when first used (they are slow to
import, and a session that never reads a table should not pay for them)."""

from __future__ import annotations

from typing import Any


def pa() -> Any:
    import pyarrow  # type: ignore[import-untyped, unused-ignore]

    return pyarrow


def pc() -> Any:
    import pyarrow.compute  # type: ignore[import-untyped, unused-ignore]

    return pyarrow.compute


def pcsv() -> Any:
    import pyarrow.csv  # type: ignore[import-untyped, unused-ignore]

    return pyarrow.csv


def pq() -> Any:
    import pyarrow.parquet  # type: ignore[import-untyped, unused-ignore]

    return pyarrow.parquet


def pd() -> Any:
    import pandas  # type: ignore[import-untyped, unused-ignore]

    return pandas


def pandas_or_none() -> Any:
    try:
        return pd()
    except ImportError:
        return None
