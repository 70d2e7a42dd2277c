"""vornel: one-pass, mergeable, bit-exact summary statistics over float64 data."""

from typing import TYPE_CHECKING, Any

from vornel._cycore import CyGroupedStreamStats, CyStreamStats

if TYPE_CHECKING:
    # Shapes of the result dicts; they exist for type checkers only.
    from vornel._cycore import GroupedColumns, StreamResult
    from vornel.sketch import GroupedQuantileSketch, QuantileSketch
    from vornel.table import Summary, describe

__all__ = ["CyStreamStats", "CyGroupedStreamStats", "describe", "Summary", "QuantileSketch",
           "GroupedQuantileSketch", "__version__"]
__version__ = "0.1.0"


def __getattr__(name: str) -> Any:
    # The table layer needs pyarrow; importing it only when asked keeps `import vornel` light.
    if name in ("describe", "Summary"):
        from vornel import table

        return getattr(table, name)
    if name in ("QuantileSketch", "GroupedQuantileSketch"):
        from vornel import sketch

        return getattr(sketch, name)
    raise AttributeError(f"module 'vornel' has no attribute {name!r}")
