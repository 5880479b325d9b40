"""The benchmark runner: tolvane beside its baselines and peers, in one run.

    ./dev bench            full run; figures go to benchmarks/results/
    ./dev bench --quick    tiny sizes, no torch (CI); figures go to build/bench/quick/

The counts decide: instructions (callgrind, counting only the measured
window), last-level cache misses (callgrind's cache simulation), page faults
and heap bytes, and CPU time with the heap pre-faulted (freed memory kept
mapped and touched before the window). On a virtual machine a first touch of
a page costs microseconds and the host prices it differently from run to run,
so wall time swings; it is measured for the README's table only (pyperf for
the calls, the median of fresh processes for execute and the fills). Nothing
here asserts a speed.
"""

import argparse
import functools
import json
import os
import pathlib
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap

import pyperf

ROOT = pathlib.Path(__file__).resolve().parent.parent
BENCH_BUILD = ROOT / "build" / "bench"
FLOOR_DIR = BENCH_BUILD / "benchmarks"  # where the bench preset builds the baselines
FLOORS_EXE = FLOOR_DIR / "cpp_floors"
TORCH_PYTHON = BENCH_BUILD / "torch-py311" / "bin" / "python"

OURS = "from _tolvane import Tensor, execute\n"
CAPI = "from _capi_floor import Tensor, execute\n"
NUMPY = "import numpy\n"
TORCH = "import torch\n"


def member(stmt, setup="t = Tensor([2, 3])", **peers):
    """A call: ours and its C-API twin after `setup`, and the peers' own
    calls on a 2x3 `t`."""
    row = {"ours": (OURS + setup, stmt), "capi": (CAPI + setup, stmt)}
    made = {"numpy": (NUMPY, "numpy.empty((2, 3))"), "torch": (TORCH, "torch.empty(2, 3)")}
    for peer, call in peers.items():
        module, empty = made[peer]
        row[peer] = (module + setup.replace("Tensor([2, 3])", empty), call)
    return row


AB = "a = Tensor([2, 3]); b = Tensor([2, 3])"
# case -> {implementation: (setup, statement)}
CALLS = {
    "create Tensor([2, 3])": member("Tensor([2, 3])", "", numpy="numpy.empty((2, 3))", torch="torch.empty(2, 3)"),
    "read t.shape": member("t.shape", numpy="t.shape", torch="t.shape"),
    "record a + b (2x3)": member("a + b", AB, numpy="a + b", torch="a + b"),
    "t.view([3, 2])": member("t.view([3, 2])", numpy="t.reshape(3, 2)", torch="t.view(3, 2)"),
    "t.reshape([-1])": member("t.reshape([-1])", numpy="t.reshape(-1)", torch="t.view(-1)"),
    "t.numel()": member("t.numel()"),
    "t.nbytes()": member("t.nbytes()"),
    "read t.strides": member("t.strides"),
    "read t.dtype": member("t.dtype"),
    "read t.device": member("t.device"),
    "read t.offset": member("t.offset"),
    "t.allocated()": member("t.allocated()"),
    "t.is_contiguous()": member("t.is_contiguous()"),
    "t.contiguous()": member("t.contiguous()"),
    "repr(t)": member("repr(t)"),
    "Tensor.zeros([2, 3])": member("Tensor.zeros([2, 3])", ""),
    "Tensor.ones([2, 3])": member("Tensor.ones([2, 3])", ""),
    "execute(c), c executed": member("execute(c)", "c = Tensor([2, 3]) + Tensor([2, 3]); execute(c)"),
}
# The calls of the README's table, the ones timed by the clock.
README_CALLS = ["create Tensor([2, 3])", "read t.shape", "record a + b (2x3)", "t.view([3, 2])", "t.reshape([-1])"]

# The execute graphs, as setups that leave `out`.
GRAPHS = {
    "chain": "b = Tensor([2]); out = Tensor([2])\nfor _ in range({n}):\n    out = out + b",
    "tree": "level = [Tensor([2]) for _ in range(2**{n})]\n"
    "while len(level) > 1:\n"
    "    level = [level[i] + level[i + 1] for i in range(0, len(level), 2)]\n"
    "out = level[0]",
    "fibonacci": "a = Tensor([2]); out = Tensor([2])\nfor _ in range({n}):\n    a, out = out, a + out",
}


def nodes(graph, n):
    return 2**n - 1 if graph == "tree" else n


# Runs `setup`, then `window` over argv[1] units, and prints per unit: the
# page faults, the heap bytes taken (glibc's count of what is in use), and
# the CPU and wall seconds of the window. argv[2] bytes of heap are
# pre-faulted first. The window runs inside operator.call, the one call
# of that C function, so that callgrind can count it alone (--toggle-collect).
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
units, prefault_bytes = int(sys.argv[1]), int(sys.argv[2])
{setup}
window = compile({window!r}, "window", "exec")
if prefault_bytes:
    prefault(prefault_bytes)
faults, taken = resource.getrusage(resource.RUSAGE_SELF).ru_minflt, heap()
cpu, wall = time.process_time(), time.perf_counter()
operator.call(exec, window, globals())
cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults
print(json.dumps({{"faults": faults / units, "heap_bytes": (heap() - taken) / units, "cpu": cpu / units,
                  "wall": wall / units}}))
"""


def measure(setup, window, units, prefault=0, env=(), tool=()):
    """The run of `window` after `setup` (SCRIPT), its figures per unit in stdout."""
    text = SCRIPT.format(setup=textwrap.dedent(setup).strip(), window=textwrap.dedent(window).strip())
    out = subprocess.run(
        [*tool, sys.executable, "-c", text, str(units), str(prefault)],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONHASHSEED": "0", **dict(env)},  # the same dicts every run
        timeout=1800,
    )
    if out.returncode != 0:
        raise RuntimeError(out.stderr.strip().splitlines()[-1] if out.stderr.strip() else f"exit {out.returncode}")
    return out


def callgrind(cache, toggle):
    return ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", f"--toggle-collect={toggle}"] + (
        ["--cache-sim=yes"] if cache else []
    )


def collected(stderr):
    """Instructions and last-level misses from callgrind's summary."""
    ir = int(re.search(r"Collected : (\d+)", stderr)[1])
    misses = re.search(r"LL misses:\s+([\d,]+)", stderr)
    return ir, int(misses[1].replace(",", "")) if misses else None


@functools.cache
def counted(setup, window, units, cache=False, env=()):
    """Instructions (and last-level misses) of `window` after `setup`,
    counted alone; each once (cases share their setups and empty windows)."""
    tool = callgrind(cache, "_operator_call*")
    return collected(measure(setup, window, units, env=env, tool=tool).stderr)


def instructions(setup, window, units, env=(), cache=False):
    """Per unit: instructions of `window` (in a loop of `units`, or once over
    `units` nodes) less those of an empty window, and the last-level misses
    when `cache`, each counted after the same setup."""
    empty = "for _ in range(units):\n    pass" if window.startswith("for ") else "pass"
    (ir, miss), (ir0, miss0) = (counted(setup, w, units, cache, env) for w in (window, empty))
    return {"instructions": (ir - ir0) / units, **({"ll_misses": (miss - miss0) / units} if cache else {})}


def measures(setup, window, units, prefault, env=()):
    """Per unit: page faults and heap bytes (nothing pre-faulted), and CPU
    seconds with `prefault` bytes of heap pre-faulted."""
    cold = json.loads(measure(setup, window, units, env=env).stdout)
    warm = json.loads(measure(setup, window, units, prefault, env=env).stdout)
    return {"faults": cold["faults"], "heap_bytes": cold["heap_bytes"], "cpu_prefaulted": warm["cpu"]}


def floor(name, units, count=True, variants=("/0/", "/1/")):
    """The C++ floor's figures per unit: instructions and last-level misses
    of its execute alone (callgrind), and from Google Benchmark (each in a
    process of its own, so that none inherits another's freed memory) faults,
    heap bytes, wall time, and CPU time with the heap pre-faulted."""
    result = {}
    if count:
        out = subprocess.run(
            [*callgrind(True, "*PhysicalGraph::execute*"), str(FLOORS_EXE), f"--benchmark_filter=^{name}/0/"],
            capture_output=True,
            text=True,
            timeout=1800,
        )
        ir, misses = collected(out.stderr)
        result |= {"instructions": ir / (units * 3), "ll_misses": misses / (units * 3)}  # 3 iterations
    for prefaulted in variants:  # physical_*: /1/ with the heap pre-faulted
        run = [str(FLOORS_EXE), f"--benchmark_filter=^{name}{prefaulted}", "--benchmark_format=json"]
        (bench,) = json.loads(subprocess.run(run, capture_output=True, text=True, check=True).stdout)["benchmarks"]
        scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[bench["time_unit"]] / units
        if prefaulted == "/1/":
            result["cpu_prefaulted"] = bench["cpu_time"] * scale
        else:
            result |= {"faults": bench.get("faults_per_node"), "heap_bytes": bench.get("heap_bytes_per_node")}
            result["wall"] = bench["real_time"] * scale
    return result


def env_for(impl):
    """The variables a run of `impl` adds to the environment."""
    return (("PYTHONPATH", str(FLOOR_DIR)),) if impl == "capi" else ()


def count_cases(quick):
    """Instructions per call, per add and per executed node; last-level
    misses, page faults, heap bytes and pre-faulted CPU time per add and per
    node. Ours beside the baselines."""
    units = 200 if quick else 5000
    loop = "for _ in range(units):\n    {}"
    rows = {}
    for case, row in CALLS.items():
        rows[f"{case}, per call"] = {
            impl: instructions(setup, loop.format(stmt), units, env_for(impl))
            for impl, (setup, stmt) in row.items()
            if impl in ("ours", "capi")
        }
    record = {}
    for impl, module in (("ours", OURS), ("capi", CAPI)):
        setup, adds = module + "b = Tensor([2]); out = Tensor([2])", loop.format("out = out + b")
        record[impl] = instructions(setup, adds, units, env_for(impl))
        record[impl] |= measures(setup, adds, units * 20, units * 20 * 512, env_for(impl))
    rows["record out = out + b, per add"] = record
    # Nodes execute cannot reach are never looked at: one add beside many
    # unrelated nodes costs only the visited set's list of blocks more, one
    # null pointer per 4096 ids.
    for n in (10, 1000 if quick else 10**6):
        beside = OURS + GRAPHS["chain"].format(n=n) + "\nc = Tensor([2]) + Tensor([2])"
        rows[f"execute one add beside {n:,} unrelated nodes, per call"] = {
            "ours": instructions(beside, "execute(c)", 1)
        }
    sizes = (
        {"chain": 1000, "tree": 10, "fibonacci": 1000} if quick else {"chain": 10**5, "tree": 17, "fibonacci": 2**17}
    )
    large = sizes if quick else {**sizes, "chain": 10**6}
    for graph, build in GRAPHS.items():
        n, big = sizes[graph], large[graph]
        ours = instructions(OURS + build.format(n=n), "execute(out)", nodes(graph, n), cache=True)
        ours |= measures(OURS + build.format(n=big), "execute(out)", nodes(graph, big), nodes(graph, big) * 512)
        base = floor(f"physical_{graph}/{n}", nodes(graph, n))
        if big != n:
            base |= floor(f"physical_{graph}/{big}", nodes(graph, big), count=False)
        label = f"2^{big} - 1" if graph == "tree" else f"{big:,}"
        rows[f"execute {graph} ({label} nodes; counted on {nodes(graph, n):,}), per node"] = {
            "ours": ours,
            "floor": base,
        }
    return rows


def timed_calls(impl, cases, quick):
    """The median seconds of each {case: (setup, stmt)} under pyperf timeit."""
    python = str(TORCH_PYTHON) if impl == "torch" else sys.executable
    options = ["--processes", "1" if quick else "10", "--values", "1" if quick else "3", "--quiet"]
    medians = {}
    for case, (setup, stmt) in cases.items():
        with tempfile.TemporaryDirectory() as scratch:
            result = pathlib.Path(scratch) / "result.json"
            command = [python, "-m", "pyperf", "timeit", *options, "-o", str(result), "--setup", setup, stmt]
            out = subprocess.run(
                command, capture_output=True, text=True, env={**os.environ, **dict(env_for(impl))}, timeout=1800
            )
            medians[case] = pyperf.Benchmark.load(str(result)).median() if out.returncode == 0 else "missing"
    return medians


def timed_windows(setup, window, units, repeats):
    """The median wall seconds per unit of `window`, each repeat in a fresh
    process (the first touch of fresh memory included)."""
    return statistics.median(json.loads(measure(setup, window, units).stdout)["wall"] for _ in range(repeats))


def clock_cases(quick):
    """Wall time: the README's calls beside NumPy and PyTorch, execute of
    chains and the fills beside their C++ floors."""
    peers = ["ours", "numpy"] + ([] if quick or not TORCH_PYTHON.exists() else ["torch"])
    rows = {case: {} for case in README_CALLS}
    for impl in peers:
        cases = {case: CALLS[case][impl] for case in README_CALLS}
        for case, seconds in timed_calls(impl, cases, quick).items():
            rows[case][impl] = seconds
    repeats = 1 if quick else 5
    for n in [10**3] if quick else [10**3, 10**4, 10**5, 10**6]:
        rows[f"execute chain of {n:,}, per node"] = {
            "ours": timed_windows(OURS + GRAPHS["chain"].format(n=n), "execute(out)", n, repeats),
            "floor": floor(f"physical_chain/{n}", n, count=False, variants=("/0/",))["wall"],
        }
    if not quick:  # the C++ floors fill 64 Mi float32
        for fill, name in (("zeros", "fresh_fill_zero"), ("ones", "fresh_fill_ones")):
            ours = timed_windows(OURS, f"Tensor.{fill}([{64 << 20}])", 1, repeats)
            rows[f"{fill} 64 Mi float32"] = {"ours": ours, "floor": floor(name, 1, count=False, variants=("",))["wall"]}
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="tiny sizes, one value each, no torch")
    parser.add_argument("--report", action="store_true", help="only remake the tables from the last results.json")
    args = parser.parse_args()
    out_dir = BENCH_BUILD / "quick" if args.quick else ROOT / "benchmarks" / "results"
    if args.report:
        report(json.loads((out_dir / "results.json").read_text()), out_dir)
        return
    if shutil.which("valgrind") is None:
        sys.exit("the counts need valgrind")
    out_dir.mkdir(parents=True, exist_ok=True)
    results = {
        "machine": f"{platform.machine()}, {os.cpu_count()} cores, {platform.platform()}",
        "counts": count_cases(args.quick),
        "clock": clock_cases(args.quick),
    }
    # Kept before the tables are made, so that a run is never lost to them.
    (out_dir / "results.json").write_text(json.dumps(results, indent=2))
    report(results, out_dir)


COUNT_MEASURES = [
    ("instructions", "instructions", 1, ".0f"),
    ("ll_misses", "last-level misses", 1, ".2f"),
    ("faults", "page faults", 1, ".4f"),
    ("heap_bytes", "heap bytes", 1, ".1f"),
    ("cpu_prefaulted", "CPU ns, heap pre-faulted", 1e-9, ".1f"),
]
HEADS = {"capi": "C-API binding", "floor": "C++ floor"}


def report(results, out_dir):
    """Writes table.md from the results and prints it."""
    lines = [
        f"machine: {results['machine']}",
        "",
        "Counts per call, add or node, which hold still between runs (instructions and misses from",
        "callgrind over the measured window only; CPU time with freed heap kept and pre-faulted).",
        "",
        "| case | measure | ours | "
        + " | ".join(HEADS.values())
        + " | "
        + " | ".join(f"ours/{h}" for h in HEADS.values())
        + " |",
        "|---" * (3 + 2 * len(HEADS)) + "|",
    ]
    for case, row in results["counts"].items():
        for key, label, scale, digits in COUNT_MEASURES:
            values = [row.get(impl, {}).get(key) for impl in ("ours", *HEADS)]
            if values[0] is None:
                continue
            cells = [format(v / scale, digits) if v is not None else "-" for v in values]
            # A ratio to a baseline that takes no faults or heap says nothing.
            ratios = [
                f"{values[0] / v:.2f}" if v is not None and v > abs(values[0]) * 1e-3 else "-" for v in values[1:]
            ]
            lines.append(f"| {case} | {label} | {' | '.join(cells)} | {' | '.join(ratios)} |")
    lines += [
        "",
        "Wall time, the median, per call or node (calls: pyperf; execute and fills: fresh processes, the",
        "first touch of new memory included). The README's table comes from here.",
        "",
        "| case | tolvane | NumPy | PyTorch | C++ floor | ours/NumPy | ours/PyTorch | ours/C++ floor |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for case, row in results["clock"].items():
        unit, scale = ("ms", 1e-3) if case.startswith(("zeros", "ones")) else ("ns", 1e-9)
        values = [row.get(impl) for impl in ("ours", "numpy", "torch", "floor")]
        cells = [f"{v / scale:,.1f} {unit}" if isinstance(v, float) else (v or "-") for v in values]
        ratios = [f"{values[0] / v:.2f}" if isinstance(v, float) and v > 0 else "-" for v in values[1:]]
        lines.append(f"| {case} | {' | '.join(cells)} | {' | '.join(ratios)} |")
    text = "\n".join(lines)
    print(text)
    (out_dir / "table.md").write_text(text + "\n")
    print(f"\nwrote {out_dir / 'results.json'}, {out_dir / 'table.md'}")


if __name__ == "__main__":
    main()
