"""Helpers of the pybind11 patches' own tests (conftest.py)."""

import os
import subprocess
import sys
import textwrap

MODULES = os.environ.get("TOLVANE_PATCH_TEST_MODULES")
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def run(script, *args, timeout=120, check=True):
    """The script's run in a new interpreter that imports the built modules."""
    env = {**os.environ, "PYTHONPATH": MODULES or ""}
    out = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script), *args], capture_output=True, text=True, timeout=timeout, env=env
    )
    if check:
        assert out.returncode == 0, f"exit {out.returncode}\n{out.stderr[-3000:]}"
    return out


def lines(script, *args, **kwargs):
    return run(script, *args, **kwargs).stdout.splitlines()


# Caps the address space `extra` bytes above what is in use (limit) and
# lifts the cap again (unlimit).
LIMIT = """
import resource
with open("/proc/self/statm") as f:
    used = int(f.read().split()[0]) * resource.getpagesize()
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
def limit(extra):
    resource.setrlimit(resource.RLIMIT_AS, (used + extra, hard))
def unlimit():
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
"""


# Fills the address space up to `sys.argv[1]` bytes beyond what is in use,
# with blocks of `sys.argv[2]` bytes, runs `exhausted()`, and frees it again.
EXHAUSTED = (
    LIMIT
    + """
import sys
def run_exhausted(exhausted):
    limit(int(sys.argv[1]))
    keep = []
    try:
        while True:
            keep.append(b"x" * int(sys.argv[2]))
    except MemoryError:
        pass
    try:
        exhausted()
    finally:
        keep.clear()
        unlimit()
"""
)


# Imports module `sys.argv[2]` with the address space full but for
# `sys.argv[1]` blocks of 1000 bytes, so that it runs out of memory at one
# step of its set-up or another; then, with the limit lifted, imports it again.
IMPORT_OUT_OF_MEMORY = (
    """
import ctypes, gc, importlib, importlib.util, sys
ctypes.CDLL(importlib.util.find_spec(sys.argv[2]).origin)  # mapped before the limit
"""
    + LIMIT
    + """
limit(4 << 20)
junk = []
try:
    while True:
        junk.append(bytearray(1000))
except MemoryError:
    pass
del junk[len(junk) - int(sys.argv[1]):]
try:
    importlib.import_module(sys.argv[2])
except (ImportError, MemoryError):
    pass
junk.clear()
unlimit()
gc.collect()
module = importlib.import_module(sys.argv[2])
print(module.check())
"""
)
