"""vornel: one-pass, mergeable, bit-exact summary statistics over float64 data."""

from typing import TYPE_CHECKING

from vornel._cycore import CyGroupedStreamStats, CyStreamStats

if TYPE_CHECKING:
    # Shapes of the result dicts; they exist for type checkers only.
    from vornel._cycore import GroupedColumns, StreamResult

__all__ = ["CyStreamStats", "CyGroupedStreamStats", "__version__"]
__version__ = "0.1.0"
