"""Checkpoint and resume: a stream summarised in pieces across two runs of this program.

The first run summarises the first half of a generated feed and stores the accumulator with
vornel.state.dumps; the second run loads it, carries on with the second half and prints the
result, which is bit for bit that of one uninterrupted pass. Run it twice:

    tools/devenv run python examples/checkpoint.py     # stores the checkpoint
    tools/devenv run python examples/checkpoint.py     # resumes and prints the result

The checkpoint goes to vornel-checkpoint.bin in the temporary directory (or the path given
as the first argument) and is removed once the feed is done.
"""

import os
import sys
import tempfile

import numpy as np
import numpy.typing as npt

from vornel import CyStreamStats, state

PIECES = 8
PIECE = 250_000


def piece(i: int) -> npt.NDArray[np.float64]:
    """Piece i of the feed: the same values on every run, as a file read in blocks gives."""
    rng = np.random.default_rng(1000 + i)
    return rng.normal(loc=20.0, scale=3.0, size=PIECE)


def load(path: str) -> tuple[CyStreamStats, int]:
    """The stored accumulator and the next piece to read, or a fresh start."""
    if not os.path.exists(path):
        return CyStreamStats(), 0
    with open(path, "rb") as f:
        next_piece = int.from_bytes(f.read(4), "little")
        acc = state.loads(f.read())
    if not isinstance(acc, CyStreamStats):
        raise SystemExit(f"{path} holds no stream checkpoint")
    return acc, next_piece


def save(path: str, acc: CyStreamStats, next_piece: int) -> None:
    # Written to a temporary name and renamed, so a crash never leaves half a checkpoint.
    with open(path + ".new", "wb") as f:
        f.write(next_piece.to_bytes(4, "little") + state.dumps(acc))
    os.replace(path + ".new", path)


def main() -> None:
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(tempfile.gettempdir(),
                                                              "vornel-checkpoint.bin")
    acc, start = load(path)
    stop = PIECES if start else PIECES // 2  # the first run stops half-way, as if interrupted
    for i in range(start, stop):
        acc.add_values(piece(i))
    if stop < PIECES:
        save(path, acc, stop)
        print(f"summarised pieces 0..{stop - 1}; checkpoint in {path}: run again to resume")
        return
    if os.path.exists(path):
        os.remove(path)
    one_pass = CyStreamStats()
    for i in range(PIECES):
        one_pass.add_values(piece(i))
    result = acc.result()
    print(f"resumed at piece {start}: " + ", ".join(f"{k} {v}" for k, v in result.items()))
    same = state.to_records(acc).tobytes() == state.to_records(one_pass).tobytes()
    print("bit for bit the result of one uninterrupted pass:", same)


if __name__ == "__main__":
    main()
