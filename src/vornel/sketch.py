"""Quantile sketches: quantiles within a relative error, the same for any split of the data.

`QuantileSketch` summarises one stream, `GroupedQuantileSketch` one stream per group id.
Both follow the relative-error log-bucket sketch of Masson, Rim and Lee ("DDSketch", VLDB
2019): a value falls in a bucket that only counts, so merging adds counts, and the content
of a sketch depends only on the values it was given, never on how they were split into
adds and merges, in which order, in how many threads, processes or Dask workers, on which
machine. Bucket indices come from the IEEE bits of a value (its exponent and a cubic on its
mantissa), never from a C library's log, whose last bits differ between machines.

Accuracy: for n values and q in [0, 1], let r = floor(q (n - 1)) as NumPy computes it in
float64, and x_q the value of rank r (NumPy's method="lower"). For x_q a normal double,
quantile(q) returns v with |v - x_q| <= relative_accuracy * |x_q|; every answer lies in
[min, max], and q = 0 and q = 1 give min and max exactly. Zeros and subnormals share one
bucket, which answers 0; infinities count apart and answer themselves; NaN is skipped.

Sketches pickle, and `vornel.state.dumps`/`loads` store them (equal sketches, equal bytes).
"""

from vornel._sketch import GroupedQuantileSketch, QuantileSketch

__all__ = ["QuantileSketch", "GroupedQuantileSketch"]
