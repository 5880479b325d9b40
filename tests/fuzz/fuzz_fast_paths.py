"""The fast paths' differential test, coverage-guided: atheris chooses the
calls that tests/python/differential.py makes, and each input's calls run
with the fast paths (a fork of this process) and without them (a fork of a
server that imported the module with TOLVANE_PLAIN_PYBIND11=1); their
outcomes must agree. Forks keep each process's graph, which never frees,
from growing with the run. `./dev fuzz` runs it."""

import json
import os
import pathlib
import subprocess
import sys

import atheris

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "python"))
with atheris.instrument_imports():
    import differential

import _tolvane  # noqa: F401  (imported before the forks, with the fast paths)

CALLS_PER_INPUT = 8

# Reads one JSON list of calls per line and answers with their outcomes, each
# batch evaluated in a fork.
SERVER = """
import json, os, sys
sys.path.insert(0, sys.argv[1])
import differential
import _tolvane
for line in sys.stdin:
    read, write = os.pipe()
    if os.fork() == 0:
        namespace = {}
        exec(differential.SETUP, namespace)
        with os.fdopen(write, "w") as out:
            out.write(json.dumps(differential.outcomes(json.loads(line), namespace)))
        os._exit(0)
    os.close(write)
    with os.fdopen(read) as answer:
        result = answer.read()
    _, status = os.wait()
    print(result if status == 0 else json.dumps(f"the plain side died: {status}"), flush=True)
"""


def in_fork(exprs):
    """The outcomes of `exprs` with the fast paths, in a fork of this process."""
    read, write = os.pipe()
    if os.fork() == 0:
        namespace = {}
        exec(differential.SETUP, namespace)
        with os.fdopen(write, "w") as out:
            out.write(json.dumps(differential.outcomes(exprs, namespace)))
        os._exit(0)
    os.close(write)
    with os.fdopen(read) as answer:
        result = answer.read()
    _, status = os.wait()
    if status != 0:
        raise RuntimeError(f"the fast side died ({status}) on {exprs}")
    return json.loads(result)


plain = subprocess.Popen(
    [sys.executable, "-c", SERVER, str(pathlib.Path(differential.__file__).parent)],
    stdin=subprocess.PIPE,
    stdout=subprocess.PIPE,
    text=True,
    env=dict(os.environ, TOLVANE_PLAIN_PYBIND11="1"),
)


def test_one_input(data):
    provider = atheris.FuzzedDataProvider(data)

    def choose(options):
        return options[provider.ConsumeIntInRange(0, len(options) - 1)]

    exprs = [differential.expression(choose) for _ in range(CALLS_PER_INPUT)]
    plain.stdin.write(json.dumps(exprs) + "\n")
    plain.stdin.flush()
    expected = json.loads(plain.stdout.readline())
    found = in_fork(exprs)
    if found != expected:
        differ = [(e, f, p) for e, f, p in zip(exprs, found, expected, strict=False) if f != p]
        raise AssertionError(f"the fast paths differ from pybind11's functions: {differ or expected}")


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
