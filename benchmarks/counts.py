"""Figures that hold still between runs, beside the wall-clock ones.

On a virtual machine a first touch of a page costs microseconds and the host
prices it differently from run to run, so the wall time of work that grows
memory swings several-fold. These do not move: instructions (callgrind,
counting only the measured window), last-level cache misses (callgrind's
cache simulation), page faults and heap bytes, and CPU time with the heap
pre-faulted (freed memory kept mapped and touched before the window).
"""

import json
import re
import shutil
import subprocess
import sys
import textwrap

# Runs `setup`, then (argv[1] == "1") `window` over `units` units, and prints
# per unit: the page faults, the heap bytes taken (glibc's count of what is
# in use) and the CPU seconds of the window. argv[3] bytes of heap are
# pre-faulted first. The window runs inside operator.call, the one call of
# that C function, so that callgrind can count it alone (--toggle-collect).
SCRIPT = """
import ctypes, json, operator, resource, sys, time
libc = ctypes.CDLL(None)
class Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]
libc.mallinfo2.restype = Mallinfo2
libc.malloc.restype = ctypes.c_void_p
libc.free.argtypes = [ctypes.c_void_p]
def heap():
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd
def prefault(size):
    libc.mallopt(-1, 2**31 - 1)  # M_TRIM_THRESHOLD: what is freed stays mapped
    blocks = [libc.malloc(1 << 16) for _ in range(size >> 16)]
    for block in blocks:
        ctypes.memset(block, 0, 1 << 16)
    for block in blocks:
        libc.free(block)
run_window, units, prefault_bytes = sys.argv[1] == "1", int(sys.argv[2]), int(sys.argv[3])
{setup}
window = compile({window!r}, "window", "exec")
if prefault_bytes:
    prefault(prefault_bytes)
faults, taken, cpu = resource.getrusage(resource.RUSAGE_SELF).ru_minflt, heap(), time.process_time()
if run_window:
    operator.call(exec, window, globals())
cpu = time.process_time() - cpu
faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults
print(json.dumps({{"faults": faults / units, "heap_bytes": (heap() - taken) / units, "cpu": cpu / units}}))
"""


def script(setup, window):
    return SCRIPT.format(setup=textwrap.dedent(setup).strip(), window=textwrap.dedent(window).strip())


def run(python, text, window, units, prefault=0, env=None, tool=()):
    out = subprocess.run(
        [*tool, python, "-c", text, "1" if window else "0", str(units), str(prefault)],
        capture_output=True,
        text=True,
        env=env,
        timeout=1800,
    )
    if out.returncode != 0:
        raise RuntimeError(out.stderr.strip().splitlines()[-1] if out.stderr.strip() else f"exit {out.returncode}")
    return out


def callgrind(cache=False, toggle="_operator_call*"):
    tool = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"]
    if cache:
        tool.append("--cache-sim=yes")
    if toggle:
        tool.append(f"--toggle-collect={toggle}")
    return tool


def collected(stderr):
    """Instructions and last-level misses from callgrind's summary."""
    ir = int(re.search(r"Collected : (\d+)", stderr)[1])
    misses = re.search(r"LL misses:\s+([\d,]+)", stderr)
    return ir, int(misses[1].replace(",", "")) if misses else None


def instructions(python, setup, window, units, baseline="pass", env=None, cache=False):
    """Per unit: instructions of `window` less those of `baseline` (and the
    last-level misses when `cache`), each counted alone after the same setup."""
    if shutil.which("valgrind") is None:
        return "missing: valgrind"
    tool = callgrind(cache)
    ran = run(python, script(setup, window), True, units, env=env, tool=tool).stderr
    base = run(python, script(setup, baseline), True, units, env=env, tool=tool).stderr
    (ir, miss), (ir0, miss0) = collected(ran), collected(base)
    result = {"instructions": (ir - ir0) / units}
    if cache:
        result["ll_misses"] = (miss - miss0) / units
    return result


def measures(python, setup, window, units, prefault, env=None):
    """Per unit: page faults and heap bytes (nothing pre-faulted), and CPU
    seconds with `prefault` bytes of heap pre-faulted."""
    cold = json.loads(run(python, script(setup, window), True, units, env=env).stdout)
    warm = json.loads(run(python, script(setup, window), True, units, prefault, env=env).stdout)
    return {"faults": cold["faults"], "heap_bytes": cold["heap_bytes"], "cpu_prefaulted": warm["cpu"]}


def floor_counts(exe, name, nodes, count=True):
    """The physical floor's figures per node from cpp_floors: instructions and
    last-level misses of its execute alone (callgrind), and faults, heap
    bytes and pre-faulted CPU time (each benchmark in a process of its own,
    so that none inherits another's freed memory)."""
    result = {}
    if count and shutil.which("valgrind"):
        out = subprocess.run(
            [*callgrind(True, "*PhysicalGraph::execute*"), str(exe), f"--benchmark_filter=^{name}/0/"],
            capture_output=True,
            text=True,
            timeout=1800,
        )
        ir, misses = collected(out.stderr)
        iterations = 3
        result["instructions"] = ir / (nodes * iterations)
        result["ll_misses"] = misses / (nodes * iterations) if misses is not None else None
    for prefaulted in (0, 1):
        out = subprocess.run(
            [str(exe), f"--benchmark_filter=^{name}/{prefaulted}/", "--benchmark_format=json"],
            capture_output=True,
            text=True,
            check=True,
            timeout=1800,
        )
        (bench,) = json.loads(out.stdout)["benchmarks"]
        if prefaulted:
            scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[bench["time_unit"]]
            result["cpu_prefaulted"] = bench["cpu_time"] * scale / nodes
        else:
            result["faults"] = bench["faults_per_node"]
            result["heap_bytes"] = bench["heap_bytes_per_node"]
    return result


if __name__ == "__main__":
    sys.exit("run through benchmarks/run.py")
