"""Dask: summaries of chunked arrays on a cluster of worker processes, the same bits as one thread.

Needs the dask extra (pip install 'vornel[dask]'). Run it inside the development environment:

    tools/devenv run env PYTHONPATH=build/site python3.14 examples/dask_cluster.py
"""

# dask and distributed ship type hints, but leave most of their functions unannotated.
# mypy: disable-error-code="no-untyped-call"

import dask
from dask.array.core import Array, from_array
from dask.array.random import default_rng
from distributed import Client, LocalCluster, wait

from vornel.dask import grouped_stats, stream_stats
from vornel.state import to_records

N_ROWS = 2_000_000
CHUNK = 125_000  # 16 chunks
N_SENSORS = 8


def telemetry() -> tuple[Array, Array]:
    """(sensor id, reading) as dask arrays; each chunk is generated where it is computed."""
    rng = default_rng(42)
    sensors = rng.integers(0, N_SENSORS, N_ROWS, chunks=CHUNK)
    readings = rng.normal(0.0, 1.5, N_ROWS, chunks=CHUNK) + 20.0 + sensors
    return sensors, readings


def main() -> None:
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=":0", host="127.0.0.1") as cluster, \
            Client(cluster) as client:  # the default scheduler while it is open
        sensors, readings = client.persist(list(telemetry()))
        wait([sensors, readings])
        # The chunks stay in the workers; only records (48 bytes per group) come back.
        total = stream_stats(readings)
        per_sensor = grouped_stats(sensors, readings, N_SENSORS)
        local = readings.compute()

    # The same values in the same chunks, on this thread alone: the same bits.
    with dask.config.set(scheduler="sync"):
        again = stream_stats(from_array(local, chunks=CHUNK))
    same = to_records(again).tobytes() == to_records(total).tobytes()

    print(f"all readings ({len(local) // CHUNK} chunks, 2 worker processes)")
    for key, value in total.result().items():
        print(f"  {key:6} {value!r}")
    print(f"  identical bits on the synchronous scheduler: {same}")
    print("\nper sensor (count, mean, std)")
    cols = per_sensor.result_arrays()
    for s in range(N_SENSORS):
        print(f"  sensor {s}: {cols['count'][s]:7d} {cols['mean'][s]:10.6f} {cols['std'][s]:9.6f}")


if __name__ == "__main__":
    main()
