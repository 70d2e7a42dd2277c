"""Tables: summaries of data frames, Arrow data, arrays and files (sources -> blocks ->
summary -> output), shared by vornel.describe, the command line and vornel.dask."""

from vornel.table.blocks import InputError
from vornel.table.api import describe
from vornel.table.summary import Summary

__all__ = ["describe", "Summary", "InputError"]
