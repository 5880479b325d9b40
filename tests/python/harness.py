"""Programs run in an interpreter of their own, so that a crash, an abort or a
sanitizer's report shows as one: the Python tests and the pybind11 patches'
own tests (tests/pybind11) run every such program through `run`."""

import os
import subprocess
import sys
import textwrap

import pytest

# The suite runs with AddressSanitizer's runtime preloaded (./dev sanitize);
# the children inherit it.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
# How the sanitizers begin a report (their warnings, such as an allocation
# refused under allocator_may_return_null, are not reports).
SANITIZER_REPORTS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", ": runtime error: ")

# Defined ahead of a program run with `memory_limit`: limit(extra) caps the
# address space `extra` bytes above what is in use when it is called,
# unlimit() lifts the cap, and exhaust(make) keeps what make() returns until
# MemoryError and gives back the list.
#
# With memory exhausted, any bytecode that allocates can raise MemoryError,
# in a handler too, and outside a try that ends the program. So unlimit()
# allocates nothing (no frame of its own), and between limit() and unlimit()
# a program allocates only inside a try that catches MemoryError: it binds
# its names and the tuples it catches (`except (A, B)` builds one) first,
# loops with a counter rather than an iterator, and prints afterwards.
MEMORY = """
import functools as _functools, resource as _resource
_LIMITS = _resource.getrlimit(_resource.RLIMIT_AS)
def limit(extra):
    with open("/proc/self/statm") as f:
        used = int(f.read().split()[0]) * _resource.getpagesize()
    _resource.setrlimit(_resource.RLIMIT_AS, (used + extra, _LIMITS[1]))
unlimit = _functools.partial(_resource.setrlimit, _resource.RLIMIT_AS, _LIMITS)
def exhaust(make):
    kept = []
    try:
        while True:
            kept.append(make())
    except MemoryError:
        return kept
"""


# Run with `memory_limit`: imports module `sys.argv[2]` with the address
# space full but for `sys.argv[1]` blocks of 1000 bytes, so that it runs out
# of memory at one step of its set-up or another; then, with the limit lifted,
# imports it again and prints `sys.argv[3]` evaluated in it.
IMPORT_OUT_OF_MEMORY = """
import ctypes, gc, importlib, importlib.util, sys
ctypes.CDLL(importlib.util.find_spec(sys.argv[2]).origin)  # mapped before the limit
FAILED_IMPORT, junk, freed, FREE = (ImportError, MemoryError), None, 0, int(sys.argv[1])
limit(4 << 20)
junk = exhaust(lambda: bytearray(1000))
while freed < FREE:
    freed += 1
    junk.pop()
try:
    importlib.import_module(sys.argv[2])
except FAILED_IMPORT:
    pass
unlimit()
junk.clear()
gc.collect()
print(eval(sys.argv[3], vars(importlib.import_module(sys.argv[2]))))
"""


# What an integer conversion (the module's shapes, pybind11's numbers) does
# with an exception that an entry's __index__ raises: (the exception, what
# the call ends in and whether as a refusal, "incompatible function
# arguments"). A refusal stays a refusal; anything else passes unchanged.
USER_EXCEPTIONS = [
    ("TypeError('no')", "TypeError True"),
    ("OverflowError('big')", "TypeError True"),
    ("KeyboardInterrupt", "KeyboardInterrupt False"),
    ("SystemExit(3)", "SystemExit False"),
    ("MemoryError", "MemoryError False"),
    ("RecursionError('deep')", "RecursionError False"),
    ("ValueError('odd')", "ValueError False"),
]


def limits_memory(test):
    """Marks a test whose programs run with `memory_limit`."""
    test = pytest.mark.linux_only("/proc and RLIMIT_AS cap the child's memory")(test)
    return pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer maps its own memory beyond any RLIMIT_AS")(test)


def run(program, *args, env=None, memory_limit=False, stack=None, python=sys.executable, timeout=120, check=True):
    """The finished run of `program` (dedented) with `args` as sys.argv[1:].

    env: variables set over this process's (None unsets one). memory_limit:
    MEMORY's functions are defined first. stack: the soft RLIMIT_STACK, set
    before exec. check: the run must exit with 0 and no sanitizer report."""
    program = textwrap.dedent(program)
    if memory_limit:
        program = MEMORY + program
    environ = dict(os.environ)
    for name, value in (env or {}).items():
        if value is None:
            environ.pop(name, None)
        else:
            environ[name] = value

    def limit_stack():
        import resource

        resource.setrlimit(resource.RLIMIT_STACK, (stack, resource.getrlimit(resource.RLIMIT_STACK)[1]))

    out = subprocess.run(
        [python, "-c", program, *map(str, args)],
        capture_output=True,
        text=True,
        env=environ,
        timeout=timeout,
        preexec_fn=None if stack is None else limit_stack,
    )
    if check:
        assert out.returncode == 0, f"exit {out.returncode}\n{out.stderr[-3000:]}"
        assert not any(report in out.stderr for report in SANITIZER_REPORTS), out.stderr[-3000:]
    return out


def lines(program, *args, **options):
    """The lines `program` printed (see run)."""
    return run(program, *args, **options).stdout.splitlines()
