"""Quickstart: summary statistics of a data set streamed in chunks, in several threads.

Run it inside the development environment:

    tools/devenv run env PYTHONPATH=build/site python3.14 examples/quickstart.py
"""

import threading
from collections.abc import Iterator

import numpy as np
import numpy.typing as npt

from vornel import CyGroupedStreamStats, CyStreamStats

N_ROWS = 2_000_000
CHUNK = 100_000
N_THREADS = 4
N_SENSORS = 8


Chunk = tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]


def chunks(rng: np.random.Generator) -> Iterator[Chunk]:
    """A generated telemetry feed: (sensor id, reading) in chunks, as a reader would give them."""
    for start in range(0, N_ROWS, CHUNK):
        size = min(CHUNK, N_ROWS - start)
        sensors = rng.integers(0, N_SENSORS, size=size)
        readings = rng.normal(loc=20.0 + sensors, scale=1.5)
        yield sensors, readings


def main() -> None:
    rng = np.random.default_rng(42)
    data = list(chunks(rng))

    # One partial accumulator per thread; each add_values call releases the GIL while it runs.
    partials = [CyStreamStats() for _ in range(N_THREADS)]
    grouped = [CyGroupedStreamStats(N_SENSORS) for _ in range(N_THREADS)]

    def work(k: int) -> None:
        for sensors, readings in data[k::N_THREADS]:
            partials[k].add_values(readings)
            grouped[k].add(sensors, readings)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(N_THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()

    # Merge the partial results into one, then read it once.
    total = CyStreamStats()
    per_sensor = CyGroupedStreamStats(N_SENSORS)
    for p, gp in zip(partials, grouped):
        total.merge(p)
        per_sensor.merge(gp)

    # NumPy sums pairwise, vornel in arrival order: the two agree up to rounding.
    values = np.concatenate([r for _, r in data])
    sensors = np.concatenate([s for s, _ in data])
    print("all readings")
    print(f"  {'':6} {'vornel':>22} {'numpy':>22}")
    res = total.result()
    ref: dict[str, int | float] = dict(
        count=int(values.size), sum=float(values.sum()), mean=float(values.mean()),
        min=float(values.min()), max=float(values.max()), var=float(values.var()),
        std=float(values.std()))
    for key, got in res.items():
        print(f"  {key:6} {got!r:>22} {ref[key]!r:>22}")

    print("\nper sensor (count, mean, std)")
    cols = per_sensor.result_arrays()
    for s in range(N_SENSORS):
        mine = values[sensors == s]
        print(f"  sensor {s}: {cols['count'][s]:7d} {cols['mean'][s]:10.6f} {cols['std'][s]:9.6f}"
              f"   numpy: {mine.size:7d} {mine.mean():10.6f} {mine.std():9.6f}")


if __name__ == "__main__":
    main()
