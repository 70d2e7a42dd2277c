"""Writes a seed corpus for the format fuzzer: every short string constant of the tests.

Format strings sit in parametrize lists and helper calls all over the tests; taking every
short string literal (names and messages too) is simpler than finding them and costs only
a few seeds that the fuzzer soon discards.

    python3 tools/fuzz_seeds.py OUT_DIR
"""

import ast
import hashlib
import pathlib
import sys

TESTS = pathlib.Path(__file__).resolve().parent.parent / "tests"


def strings(path):
    for node in ast.walk(ast.parse(path.read_text(), str(path))):
        if isinstance(node, ast.Constant) and isinstance(node.value, (str, bytes)):
            value = node.value.encode("latin-1", "replace") if isinstance(node.value, str) else node.value
            if len(value) <= 64:
                yield value


def main(out):
    out = pathlib.Path(out)
    out.mkdir(parents=True, exist_ok=True)
    seeds = {s for path in sorted(TESTS.glob("test_*.py")) for s in strings(path)}
    # Deep nesting is built at run time in the tests; give the fuzzer one such string.
    seeds.add(b"T{" * 100 + b"d" + b"}" * 100)
    for s in seeds:
        (out / hashlib.sha1(s).hexdigest()).write_bytes(s)
    print(f"{len(seeds)} seeds in {out}")


if __name__ == "__main__":
    main(sys.argv[1])
