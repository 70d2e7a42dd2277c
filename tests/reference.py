"""Plain-Python reference of the moment record, in the module's exact operation order.

Python floats are IEEE doubles with each operation rounded by itself, so this reference
gives the same bits as the extension for the same inputs in the same order.
"""

import math
from dataclasses import dataclass

DBL_MAX = 1.7976931348623157e308


@dataclass
class Record:
    count: int = 0
    sum: float = 0.0
    mean: float = 0.0
    m2: float = 0.0
    min: float = DBL_MAX
    max: float = -DBL_MAX

    def update(self, x: float) -> None:
        self.count += 1
        self.sum = self.sum + x
        if self.min > x:
            self.min = x
        if x > self.max:
            self.max = x
        delta = x - self.mean
        self.mean = self.mean + delta / float(self.count)
        self.m2 = self.m2 + (x - self.mean) * delta

    def merge(self, b: "Record") -> None:
        if b.count == 0:
            return
        if self.count == 0:
            self.count, self.sum, self.mean = b.count, b.sum, b.mean
            self.m2, self.min, self.max = b.m2, b.min, b.max
            return
        n = self.count + b.count
        N, A, B = float(n), float(self.count), float(b.count)
        delta = b.mean - self.mean
        mean = (B * b.mean + A * self.mean) / N
        m2 = (((delta * delta) * A) * B) / N + (self.m2 + b.m2)
        total = self.sum + b.sum
        mn = b.min if self.min > b.min else self.min
        mx = b.max if b.max > self.max else self.max
        self.count, self.mean, self.m2, self.sum, self.min, self.max = n, mean, m2, total, mn, mx

    def result(self) -> dict:
        if self.count == 0:
            return dict(count=0, sum=0.0, mean=None, min=None, max=None, var=None, std=None)
        var = self.m2 / float(self.count)
        if 0.0 > var:
            var = 0.0
        return dict(count=self.count, sum=self.sum, mean=self.mean, min=self.min,
                    max=self.max, var=var, std=math.sqrt(var))


def of(values) -> Record:
    r = Record()
    for x in values:
        r.update(float(x))
    return r


def same_bits(a, b) -> bool:
    """Equality of result values that tells NaN from NaN-free and -0.0 from 0.0.

    The sign of a NaN is not compared: IEEE 754 leaves it open, and which operand's NaN an
    addition passes on changes with the compiler's choice of operand order (a sanitizer
    build differs from the regular one there).
    """
    if isinstance(a, float) and isinstance(b, float):
        if math.isnan(a) or math.isnan(b):
            return math.isnan(a) and math.isnan(b)
        return math.copysign(1.0, a) == math.copysign(1.0, b) and a == b
    return type(a) is type(b) and a == b


def assert_same_result(got: dict, want: dict) -> None:
    assert list(got) == list(want)
    for k in want:
        assert same_bits(got[k], want[k]), (k, got[k], want[k])
