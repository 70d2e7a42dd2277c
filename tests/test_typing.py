"""The type stubs: examples and package code pass mypy --strict against the installed package,
and the stubs are strict enough to reject misuse."""

import importlib.metadata
import importlib.util
import os
import re
import site
import subprocess
import sys
import textwrap

import pytest

import vornel

pytestmark = pytest.mark.skipif(importlib.util.find_spec("mypy") is None,
                                reason="mypy is not installed")

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SITE = os.path.dirname(os.path.dirname(os.path.abspath(vornel.__file__)))


def installed_in_site_packages():
    sites = site.getsitepackages() + [site.getusersitepackages()]
    return os.path.realpath(SITE) in {os.path.realpath(p) for p in sites}


def missing_extras():
    """Top-level modules of the optional dependencies (extras) that are not installed."""
    names = {re.match(r"[\w.-]+", req)[0].replace("-", "_").lower()
             for req in importlib.metadata.requires("vornel") or () if "extra ==" in req}
    return sorted(n for n in names if importlib.util.find_spec(n) is None)


def mypy(tmp_path, *args):
    # Run outside the checkout, so the installed package (stubs and py.typed) is what counts.
    # mypy takes PYTHONPATH entries for user code: a site-packages there makes each module in it
    # "shadow" its library stubs. So name the package's directory only when it is an extra
    # one (a --target install such as build/site; made absolute, as the cwd changes).
    env = dict(os.environ, MYPYPATH="")
    env.pop("PYTHONPATH", None)
    if not installed_in_site_packages():
        env["PYTHONPATH"] = SITE
    # Code behind an extra that is not installed (vornel.dask without dask) is checked with
    # that library as Any; the ignores and casts it needs when typed are then redundant.
    config = "[mypy]\n"
    if missing := missing_extras():
        config += "disable_error_code = unused-ignore, redundant-cast\n"
        config += f"[mypy-{','.join(f'{m},{m}.*' for m in missing)}]\nignore_missing_imports = True\n"
    (tmp_path / "mypy.ini").write_text(config)
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                           "--cache-dir", os.devnull, "--config-file", "mypy.ini", *args],
                          capture_output=True, text=True, cwd=tmp_path, env=env)


def test_installed_package_ships_types():
    pkg = os.path.dirname(vornel.__file__)
    assert os.path.exists(os.path.join(pkg, "py.typed"))
    assert os.path.exists(os.path.join(pkg, "_cycore.pyi"))


# The package by name, not by directory: a directory makes its parent (site-packages) a root
# of user code too. mypy takes a package or files, not both, so two runs.
@pytest.mark.parametrize("target", [["-p", "vornel"], [os.path.join(REPO, "examples")]],
                         ids=["package", "examples"])
def test_examples_and_package_pass_strict(tmp_path, target):
    out = mypy(tmp_path, *target)
    assert out.returncode == 0, out.stdout + out.stderr


GOOD = """
    import numpy as np
    from vornel import CyGroupedStreamStats, CyStreamStats
    from vornel.parallel import grouped_stats, stream_stats

    s = CyStreamStats()
    s.add_values(values=np.zeros(3))
    s.add_values([1, 2.5, "3"])
    s.add_values(None)
    s.merge(other=stream_stats(np.zeros(3), threads=2))
    n: int = s.result()["count"]
    m: float | None = s.result()["mean"]
    g = CyGroupedStreamStats(n_groups=2)
    g.add(group_ids=np.zeros(3, np.int32), values=np.ones(3))
    g.merge(other=grouped_stats(np.zeros(3, np.int64), np.ones(3), 2, chunk_size=1))
    means: list[float] = g.result_arrays()["mean"]
    first: int = g.to_dict()[0]["count"]

    from vornel import state
    recs = state.to_records(g)
    g2 = state.from_records(state.merge_records(recs, state.summarise_grouped(
        np.zeros(3, np.int64), np.ones(3), 2, skipna=True)))
    cols: dict[str, np.typing.NDArray[np.generic]] = state.finalise(state.summarise(np.ones(2)))
    blob: bytes = state.dumps(g2)
    back = state.loads(blob, records=True)
    state.summarise(np.ones(2), into=back[0])
"""

# Each line must be rejected on its own.
BAD = [
    "CyStreamStats().merge(CyGroupedStreamStats(1))",
    "CyGroupedStreamStats(1).merge(CyStreamStats())",
    "CyStreamStats().add_values(vals=[1.0])",
    "CyStreamStats().add_values(1.0)",
    "CyGroupedStreamStats()",
    "CyGroupedStreamStats(1).add([0])",
    "x: str = CyStreamStats().result()['sum']",
    "y: float = CyStreamStats().result()['mean']",
    "CyStreamStats().result()['median']",
    "z: list[int] = CyGroupedStreamStats(1).result_arrays()['mean']",
    "stream_stats(np.zeros(3), 2)",
    "state.summarise(np.zeros(3), None)",
    "state.loads('text')",
    "b: str = state.dumps(CyStreamStats())",
]


def test_correct_use_passes(tmp_path):
    (tmp_path / "good.py").write_text(textwrap.dedent(GOOD))
    out = mypy(tmp_path, "good.py")
    assert out.returncode == 0, out.stdout + out.stderr


def test_misuse_is_rejected(tmp_path):
    head = ("import numpy as np\nfrom vornel import CyGroupedStreamStats, CyStreamStats\n"
            "from vornel import state\nfrom vornel.parallel import stream_stats\n")
    body = "".join(f"def case{i}() -> None:\n    {line}\n" for i, line in enumerate(BAD))
    (tmp_path / "bad.py").write_text(head + body)
    out = mypy(tmp_path, "bad.py")
    flagged = {int(line.split(":")[1]) for line in out.stdout.splitlines() if ": error:" in line}
    missed = [line for i, line in enumerate(BAD) if 6 + 2 * i not in flagged]
    assert not missed, out.stdout
