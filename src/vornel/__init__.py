"""vornel: one-pass, mergeable, bit-exact summary statistics over float64 data."""

from vornel._cycore import CyGroupedStreamStats, CyStreamStats

__all__ = ["CyStreamStats", "CyGroupedStreamStats", "__version__"]
__version__ = "0.1.0"
