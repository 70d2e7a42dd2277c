"""Writes benchmark results into docs/: a section of docs/benchmarks.md per script, between
markers, so each script replaces only its own part, and PNG plots under docs/img/."""

import os
import platform
import re
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOCS = os.path.join(REPO, "docs")
PAGE = os.path.join(DOCS, "benchmarks.md")
IMG = os.path.join(DOCS, "img")

INTRO = """# Benchmarks

Each section below is written by the script it names, from the run shown in its header;
rerun a script to refresh its section (and its plot). Ratios compare peers measured in the
same run, so they say more than the absolute times, which depend on the machine and on
other load at the time.
"""


def machine():
    cpus = getattr(os, "process_cpu_count", os.cpu_count)()
    return (f"{platform.machine()}, {cpus} CPUs, Python {platform.python_version()}, "
            f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}")


def md_table(head, rows):
    """A markdown table; cells are used as given (format numbers before)."""
    out = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    out += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return "\n".join(out) + "\n"


def write_section(name, title, body, script=None):
    """Replaces (or appends) section `name` of docs/benchmarks.md, written by bench/<script>.py
    (by default the script of the same name: a script may write more than one section)."""
    os.makedirs(DOCS, exist_ok=True)
    text = open(PAGE).read() if os.path.exists(PAGE) else INTRO
    start, end = f"<!-- {name}:start -->", f"<!-- {name}:end -->"
    section = (f"{start}\n## {title}\n\nWritten by `bench/{script or name}.py` ({machine()}).\n\n"
               f"{body.rstrip()}\n{end}")
    pattern = re.compile(re.escape(start) + ".*?" + re.escape(end), re.S)
    text = pattern.sub(lambda _: section, text) if pattern.search(text) else \
        text.rstrip() + "\n\n" + section + "\n"
    with open(PAGE, "w") as f:
        f.write(text)
    print(f"wrote section '{name}' of {os.path.relpath(PAGE, REPO)}")


def pyplot():
    """matplotlib's pyplot on the headless Agg backend, or None without matplotlib."""
    try:
        import matplotlib
    except ImportError:
        return None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


def save_plot(fig, name):
    """Saves fig as docs/img/<name>.png; returns the markdown that shows it."""
    os.makedirs(IMG, exist_ok=True)
    path = os.path.join(IMG, f"{name}.png")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"wrote {os.path.relpath(path, REPO)}")
    return f"![{name}](img/{name}.png)\n"


def bar_plot(plot, name, title, *, size, log=False):
    """Grouped bars of ns per element: plot maps case -> {peer: ns}. Writes
    docs/img/<name>.png and returns its markdown, or "" without matplotlib."""
    plt = pyplot()
    if plt is None:
        return ""
    cases = list(plot)
    peers = list(plot[cases[0]])
    fig, ax = plt.subplots(figsize=size)
    width = 0.8 / len(peers)
    for i, peer in enumerate(peers):
        ax.bar([c + i * width for c in range(len(cases))],
               [plot[case][peer] for case in cases], width, label=peer)
    ax.set_xticks([c + width * (len(peers) - 1) / 2 for c in range(len(cases))], cases)
    if log:
        ax.set_yscale("log")
    ax.set_ylabel("ns per element (log scale)" if log else "ns per element")
    ax.set_title(title)
    ax.legend(fontsize="small")
    return "\n" + save_plot(fig, name)
