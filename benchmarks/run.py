"""Side-by-side benchmark of tolvane against its peers and floors.

    ./dev bench            full run; figures go to benchmarks/results/
    ./dev bench --quick    tiny sizes, one repeat (CI); figures go to build/bench/quick/

pyperf times every case: worker processes of their own, calibrated loops,
warm-ups; each case reports the median of its values, measured in this one
run. The machine is shared and noisy, so only the ratios mean anything, and
the counts (callgrind instructions, page faults, heap bytes) are what hold
still. Nothing here asserts a speed. A full run rewrites the tracked files of
benchmarks/results/ (commit them with the change they measure); --quick writes
to build/bench/quick/ and leaves the torch peer out.
"""

import argparse
import json
import os
import pathlib
import platform
import subprocess
import sys
import tempfile
import textwrap

import counts
import pyperf

ROOT = pathlib.Path(__file__).resolve().parent.parent
BENCH_BUILD = ROOT / "build" / "bench"
FLOOR_DIR = BENCH_BUILD / "benchmarks"  # where the bench preset builds the floors
TORCH_PYTHON = BENCH_BUILD / "torch-py311" / "bin" / "python"
EXECUTE_CASE = ROOT / "benchmarks" / "execute_case.py"

FILL = 64 * 2**20  # elements of float32: 256 MiB

OURS = "from _tolvane import Tensor, execute\n"
FLOOR = "from _floor import Tensor\n"
KEEP = "from _floor import KeepingTensor as Tensor\n"
CAPI = "from _capi_floor import Tensor, execute\n"
NUMPY = "import numpy\n"
TORCH = "import torch\n"
TINY = "from tinygrad import Tensor\n"


def member(stmt, numpy=None, torch=None, setup="t = Tensor([2, 3])"):
    """A case of one member: ours and its C-API twin, after `setup`, and
    NumPy's and PyTorch's own call on a 2x3 `t` where they have one."""
    row = {"ours": (OURS + setup, stmt), "capi": (CAPI + setup, stmt)}
    if numpy:
        row["numpy"] = (NUMPY + "t = numpy.empty((2, 3))", numpy)
    if torch:
        row["torch"] = (TORCH + "t = torch.empty(2, 3)", torch)
    return row


# case -> {implementation: (setup, statement)}; "small" cases run many times.
SMALL = {
    "create Tensor([2, 3])": {
        "ours": (OURS, "Tensor([2, 3])"),
        "floor": (FLOOR, "Tensor([2, 3])"),
        "capi": (CAPI, "Tensor([2, 3])"),
        "numpy": (NUMPY, "numpy.empty((2, 3))"),
        "torch": (TORCH, "torch.empty(2, 3)"),
    },
    "read t.shape": {
        "ours": (OURS + "t = Tensor([2, 3])", "t.shape"),
        "floor": (FLOOR + "t = Tensor([2, 3])", "t.shape"),
        "capi": (CAPI + "t = Tensor([2, 3])", "t.shape"),
        "numpy": (NUMPY + "t = numpy.empty((2, 3))", "t.shape"),
        "torch": (TORCH + "t = torch.empty(2, 3)", "t.shape"),
    },
    "record a + b (2x3)": {
        "ours": (OURS + "a = Tensor([2, 3]); b = Tensor([2, 3])", "a + b"),
        "floor": (FLOOR + "a = Tensor([2, 3]); b = Tensor([2, 3])", "a + b"),
        "keep": (KEEP + "a = Tensor([2, 3]); b = Tensor([2, 3])", "a + b"),
        "capi": (CAPI + "a = Tensor([2, 3]); b = Tensor([2, 3])", "a + b"),
        "tinygrad": (TINY + "a = Tensor.empty(2, 3); b = Tensor.empty(2, 3)", "a + b"),
        "numpy": (NUMPY + "a = numpy.empty((2, 3)); b = numpy.empty((2, 3))", "a + b"),
        "torch": (TORCH + "a = torch.empty(2, 3); b = torch.empty(2, 3)", "a + b"),
    },
    "t.view([3, 2])": {
        "ours": (OURS + "t = Tensor([2, 3])", "t.view([3, 2])"),
        "floor": (FLOOR + "t = Tensor([2, 3])", "t.view([3, 2])"),
        "capi": (CAPI + "t = Tensor([2, 3])", "t.view([3, 2])"),
        "numpy": (NUMPY + "t = numpy.empty((2, 3))", "t.reshape(3, 2)"),
        "torch": (TORCH + "t = torch.empty(2, 3)", "t.view(3, 2)"),
    },
    "t.reshape([-1])": {
        "ours": (OURS + "t = Tensor([2, 3])", "t.reshape([-1])"),
        "floor": (FLOOR + "t = Tensor([2, 3])", "t.reshape([-1])"),
        "capi": (CAPI + "t = Tensor([2, 3])", "t.reshape([-1])"),
        "numpy": (NUMPY + "t = numpy.empty((2, 3))", "t.reshape(-1)"),
        "torch": (TORCH + "t = torch.empty(2, 3)", "t.view(-1)"),
    },
    "t.numel()": member("t.numel()", numpy="t.size", torch="t.numel()"),
    "t.nbytes()": member("t.nbytes()", numpy="t.nbytes", torch="t.nbytes"),
    "read t.strides": member("t.strides", numpy="t.strides", torch="t.stride()"),
    "read t.dtype": member("t.dtype", numpy="t.dtype", torch="t.dtype"),
    "read t.device": member("t.device", torch="t.device"),
    "read t.offset": member("t.offset", torch="t.storage_offset()"),
    "t.allocated()": member("t.allocated()"),
    "t.is_contiguous()": member("t.is_contiguous()", numpy="t.flags.c_contiguous", torch="t.is_contiguous()"),
    "t.contiguous()": member("t.contiguous()", numpy="numpy.ascontiguousarray(t)", torch="t.contiguous()"),
    "repr(t)": member("repr(t)"),
    "Tensor.zeros([2, 3])": member("Tensor.zeros([2, 3])", numpy="numpy.zeros((2, 3))", torch="torch.zeros(2, 3)"),
    "Tensor.ones([2, 3])": member("Tensor.ones([2, 3])", numpy="numpy.ones((2, 3))", torch="torch.ones(2, 3)"),
    "execute(c), c executed": member("execute(c)", setup="c = Tensor([2, 3]) + Tensor([2, 3]); execute(c)"),
}


def count_label(n):
    """64 Mi for 2**26, 1 Ki for 1024."""
    for shift, suffix in ((30, "Gi"), (20, "Mi"), (10, "Ki")):
        if n >= 1 << shift and n % (1 << shift) == 0:
            return f"{n >> shift} {suffix}"
    return str(n)


def fill_table(n):
    """The fill cases over n float32 elements (FILL in a full run), labelled with n."""
    return {
        f"zeros {count_label(n)} float32": {
            "ours": (OURS, f"Tensor.zeros([{n}])"),
            "numpy": (NUMPY, f"numpy.zeros({n}, numpy.float32)"),
            "torch": (TORCH, f"torch.zeros({n})"),
        },
        f"ones {count_label(n)} float32": {
            "ours": (OURS, f"Tensor.ones([{n}])"),
            "numpy": (NUMPY, f"numpy.ones({n}, numpy.float32)"),
            "torch": (TORCH, f"torch.ones({n})"),
        },
    }


MEMORY_PER_ADD = """
import gc
from _tolvane import Tensor
import os
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
a = Tensor([2, 3]); b = Tensor([2, 3])
a + b
gc.collect()
before = rss()
for _ in range({n}):
    a + b
print((rss() - before) / {n})
"""


# The execute graphs for the counts, as setups that leave `out`.
GRAPHS = {
    "chain": ("b = Tensor([2]); out = Tensor([2])\nfor _ in range({n}):\n    out = out + b", "physical_chain/{n}"),
    "tree": (
        "level = [Tensor([2]) for _ in range(2**{n})]\n"
        "while len(level) > 1:\n"
        "    level = [level[i] + level[i + 1] for i in range(0, len(level), 2)]\n"
        "out = level[0]",
        "physical_tree/{n}",
    ),
    "fibonacci": (
        "a = Tensor([2]); out = Tensor([2])\nfor _ in range({n}):\n    a, out = out, a + out",
        "physical_fibonacci/{n}",
    ),
}


def graph_nodes(shape, n):
    return 2**n - 1 if shape == "tree" else n


def count_cases(quick, floors_exe):
    """Instructions per call, per add and per executed node; last-level
    misses, page faults, heap bytes and pre-faulted CPU time per add and per
    node. Ours beside the pybind11 floors and the physical floor of execute."""
    units = 200 if quick else 5000
    rows = {}
    for case in SMALL:
        row = {}
        for impl in ("ours", "floor", "keep", "capi"):
            if impl in SMALL[case]:
                setup, stmt = SMALL[case][impl]
                loop = f"for _ in range(units):\n    {stmt}"
                row[impl] = counts.instructions(
                    sys.executable, setup, loop, units, "for _ in range(units):\n    pass", env_for(impl)
                )
        rows[f"{case}, per call"] = row
    record = {}
    for impl, module in (("ours", OURS), ("floor", FLOOR), ("keep", KEEP), ("capi", CAPI)):
        setup = module + "b = Tensor([2]); out = Tensor([2])"
        loop = "for _ in range(units):\n    out = out + b"
        record[impl] = counts.instructions(
            sys.executable, setup, loop, units, "for _ in range(units):\n    pass", env_for(impl)
        )
        record[impl].update(counts.measures(sys.executable, setup, loop, units * 20, units * 20 * 512, env_for(impl)))
    rows["record out = out + b, per add"] = record
    sizes = (
        {"chain": 1000, "tree": 10, "fibonacci": 1000} if quick else {"chain": 10**5, "tree": 17, "fibonacci": 2**17}
    )
    large = sizes if quick else {"chain": 10**6, "tree": 17, "fibonacci": 2**17}
    for shape, (build, floor_name) in GRAPHS.items():
        n, big = sizes[shape], large[shape]
        setup = OURS + build.format(n=n)
        ours = counts.instructions(sys.executable, setup, "execute(out)", graph_nodes(shape, n), cache=True)
        nodes = graph_nodes(shape, big)
        ours.update(counts.measures(sys.executable, OURS + build.format(n=big), "execute(out)", nodes, nodes * 512))
        floor = counts.floor_counts(floors_exe, floor_name.format(n=n), graph_nodes(shape, n))
        if big != n:
            floor.update(counts.floor_counts(floors_exe, floor_name.format(n=big), nodes, count=False))
        label = f"2^{big} - 1" if shape == "tree" else f"{big:,}"
        rows[f"execute {shape} ({label} nodes; counted on {graph_nodes(shape, n):,}), per node"] = {
            "ours": ours,
            "floor": floor,
        }
    return rows


def python_for(impl):
    if impl == "torch":
        return str(TORCH_PYTHON) if TORCH_PYTHON.exists() else None
    return sys.executable


def env_for(impl):
    env = dict(os.environ)
    if impl in ("floor", "keep", "capi"):
        env["PYTHONPATH"] = str(FLOOR_DIR)
    return env


def run_script(python, script, env=None, timeout=900):
    out = subprocess.run(
        [python, "-c", textwrap.dedent(script)], capture_output=True, text=True, env=env, timeout=timeout
    )
    if out.returncode != 0:
        raise RuntimeError(out.stderr.strip().splitlines()[-1] if out.stderr.strip() else f"exit {out.returncode}")
    return float(out.stdout)


def pyperf_median(head, tail, env=None, timeout=1800):
    """Runs the pyperf command `head` + its output options + `tail` and gives
    the median of its values in seconds, or the reason it failed."""
    with tempfile.TemporaryDirectory() as scratch:
        result = pathlib.Path(scratch) / "result.json"
        try:
            out = subprocess.run(
                [*head, "--quiet", "-o", str(result), *tail], capture_output=True, text=True, env=env, timeout=timeout
            )
        except subprocess.TimeoutExpired:
            return f"did not finish: over {timeout} s"
        if out.returncode != 0 or not result.exists():
            lines = (out.stderr or out.stdout).strip().splitlines()
            return f"missing: {lines[-1] if lines else f'exit {out.returncode}'}"
        return pyperf.Benchmark.load(str(result)).median()


def time_cases(impl, cases, options):
    """Times {case: (setup, stmt)} for one implementation with pyperf timeit."""
    python = python_for(impl)
    if python is None:
        return {case: "missing: no Python 3.11 environment with torch" for case in cases}
    return {
        case: pyperf_median([python, "-m", "pyperf", "timeit"], [*options, "--setup", setup, stmt], env_for(impl))
        for case, (setup, stmt) in cases.items()
    }


def time_execute(graph, n, options, timeout=1800):
    """The seconds per node of executing `graph` of size n (execute_case.py)."""
    return pyperf_median([sys.executable, str(EXECUTE_CASE), graph, str(n)], options, timeout=timeout)


def by_impl(table):
    impls = {}
    for case, row in table.items():
        for impl, stmt in row.items():
            impls.setdefault(impl, {})[case] = stmt
    return impls


def cpp_floors(quick):
    exe = FLOOR_DIR / "cpp_floors"
    args = [str(exe), "--benchmark_format=json"]
    if quick:
        args.append("--benchmark_min_time=0.01")
    else:
        args += ["--benchmark_repetitions=3", "--benchmark_report_aggregates_only=true"]
    out = subprocess.run(args, capture_output=True, text=True, check=True, timeout=1800)
    floors = {}
    for b in json.loads(out.stdout)["benchmarks"]:
        if b.get("aggregate_name", "min") not in ("min", "mean"):
            continue
        name = (b["run_name"] if "run_name" in b else b["name"]).split("/iterations:")[0]
        scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b["time_unit"]]
        floors[name] = min(floors.get(name, float("inf")), b["real_time"] * scale)
    return floors


def import_time(python, module, options):
    """A fresh interpreter that imports `module` (None: imports nothing)."""
    stmt = f"import {module}" if module else "pass"
    return pyperf_median([sys.executable, "-m", "pyperf", "command"], [*options, "--", python, "-c", stmt])


def per_node(seconds, n):
    return seconds / n if isinstance(seconds, float) else seconds


def fmt(value, unit=1e-9):
    if isinstance(value, str):
        return value.split(":")[0]
    return f"{value / unit:,.1f}"


def ratio(a, b):
    return a / b if isinstance(a, float) and isinstance(b, float) and b > 0 else None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="tiny sizes, one value each, no torch")
    parser.add_argument("--report", action="store_true", help="only remake the tables from the last results.json")
    args = parser.parse_args()
    quick = args.quick
    out_dir = BENCH_BUILD / "quick" if quick else ROOT / "benchmarks" / "results"
    if args.report:
        report(json.loads((out_dir / "results.json").read_text()), out_dir)
        return
    # pyperf's own defaults (20 processes) for the calls; the fills and the
    # executes, whose every loop needs fresh memory or a fresh graph, run once
    # per value. --quick checks that every case runs, nothing more.
    calls = ["--processes", "1" if quick else "10", "--values", "1" if quick else "3"]
    once = ["--processes", "1" if quick else "5", "--values", "1" if quick else "3", "--loops", "1"]
    chains = [10**3] if quick else [10**3, 10**4, 10**5, 10**6]
    out_dir.mkdir(parents=True, exist_ok=True)
    impls = ["ours", "floor", "keep", "capi", "numpy", "tinygrad"] + ([] if quick else ["torch"])
    fill_elements = 1024 if quick else FILL

    results = {
        "machine": f"{platform.machine()}, {os.cpu_count()} cores, {platform.platform()}",
        "quick": quick,
        "fill_elements": fill_elements,
        "cases": {},
    }
    small = by_impl(SMALL)
    fill_cases = fill_table(fill_elements)
    fills = by_impl(fill_cases)
    measured = {}
    for impl in impls:
        measured[impl] = time_cases(impl, small.get(impl, {}), calls)
        if impl in fills:
            measured[impl].update(time_cases(impl, fills[impl], once))
    for case in list(SMALL) + list(fill_cases):
        results["cases"][case] = {impl: measured[impl][case] for impl in impls if case in measured[impl]}

    floors = cpp_floors(quick)
    results["cpp_floors"] = floors
    zero_floor, ones_floor = floors.get("fresh_fill_zero"), floors.get("fresh_fill_ones")
    if not quick:  # the C++ floors fill FILL elements
        zeros_case, ones_case = fill_cases
        results["cases"][zeros_case]["floor"] = zero_floor
        results["cases"][ones_case]["floor"] = ones_floor

    for n in chains:
        row = {"ours": time_execute("chain", n, once)}
        row["tinygrad"] = (
            time_execute("tinygrad-chain", n, once, timeout=300)
            if n <= 10**4
            else "not run: realize of a chain this long does not finish"
        )
        row["floor"] = per_node(floors.get(f"walk_chain/{n}"), n)
        results["cases"][f"execute chain of {n}, per node"] = row
    levels, fib = (10, 1000) if quick else (17, 2**17)
    results["cases"][f"execute tree of 2^{levels} - 1 adds, per node"] = {
        "ours": time_execute("tree", levels, once),
        "floor": per_node(floors.get(f"walk_tree/{levels}"), 2**levels - 1),
    }
    results["cases"][f"execute {fib} adds of the two previous, per node"] = {
        "ours": time_execute("fibonacci", fib, once),
        "floor": per_node(floors.get(f"walk_fibonacci/{fib}"), fib),
    }
    big = 10**3 if quick else 10**6
    results["execute one add beside many nodes"] = {
        "unrelated_nodes": big,
        "seconds": time_execute("beside", big, calls),
    }
    results["memory per recorded add (bytes)"] = run_script(sys.executable, MEMORY_PER_ADD.format(n=big))

    imports = {
        "ours": import_time(sys.executable, "_tolvane", calls),
        "numpy": import_time(sys.executable, "numpy", calls),
        "floor": import_time(sys.executable, None, calls),
    }
    if not quick:
        imports["torch"] = import_time(str(TORCH_PYTHON), "torch", calls) if TORCH_PYTHON.exists() else "missing"
    results["cases"]["import"] = imports
    results["counts"] = count_cases(quick, FLOOR_DIR / "cpp_floors")

    # Kept before the tables are made, so that a run is never lost to them.
    (out_dir / "results.json").write_text(json.dumps(results, indent=2, default=str))
    report(results, out_dir)


def report(results, out_dir):
    """Writes table.md and the figure from the results, and prints the table."""
    execute = {chain_nodes(case): row for case, row in results["cases"].items() if case.startswith("execute chain of")}
    cols = ["ours", "floor", "keep", "capi", "numpy", "torch", "tinygrad"]
    heads = {"floor": "baseline", "keep": "baseline that keeps", "capi": "C-API binding"}
    lines = [
        f"machine: {results['machine']}",
        "",
        "| case | unit | "
        + " | ".join(heads.get(c, c) for c in cols)
        + " | ours/baseline | ours/baseline that keeps | ours/C-API binding | ours/torch | ours/numpy |",
        "|---|---|" + "---|" * (len(cols) + 5),
    ]
    big_fills = results["fill_elements"] >= 2**20
    for case, row in results["cases"].items():
        unit, scale = ("ns", 1e-9)
        if case.startswith("import") or (big_fills and case.startswith(("zeros", "ones"))):
            unit, scale = ("ms", 1e-3)
        elif case.startswith(("zeros", "ones")):
            unit, scale = ("µs", 1e-6)
        cells = [fmt(row.get(c, "-"), scale) if c in row else "-" for c in cols]
        ratios = [ratio(row.get("ours"), row.get(c)) for c in ("floor", "keep", "capi", "torch", "numpy")]
        lines.append(
            f"| {case} | {unit} | "
            + " | ".join(cells)
            + " | "
            + " | ".join(f"{r:.2f}" if r else "-" for r in ratios)
            + " |"
        )
    small = results["execute one add beside many nodes"]
    lines += [
        "",
        f"execute of one add beside {small['unrelated_nodes']:,} unrelated nodes: {small['seconds'] * 1e9:,.0f} ns",
        f"memory per recorded add (RSS, results not executed): {results['memory per recorded add (bytes)']:.0f} bytes",
    ]
    per_node = [row["ours"] for row in execute.values()]
    if len(per_node) > 1:
        lines.append(f"execute per-node time, largest over smallest across sizes: {max(per_node) / min(per_node):.2f}x")
    lines += ["", *count_table(results["counts"]), "", *user_table(results)]
    text = "\n".join(lines)
    print(text)
    (out_dir / "table.md").write_text(text + "\n")
    plot(results, execute, out_dir / "benchmark.png")
    print(f"\nwrote {out_dir / 'results.json'}, {out_dir / 'table.md'}, {out_dir / 'benchmark.png'}")


# The README's table: (label, case).
USER_ROWS = [
    ("create a 2x3 tensor", "create Tensor([2, 3])"),
    ("read its shape", "read t.shape"),
    ("a + b, 2x3 (NumPy and PyTorch compute it)", "record a + b (2x3)"),
    ("view as 3x2", "t.view([3, 2])"),
    ("reshape to 1-D", "t.reshape([-1])"),
]


def chain_nodes(case):
    """1000 for "execute chain of 1000, per node"."""
    return int(case.split()[3].rstrip(","))


def user_table(results):
    """Ours against NumPy and PyTorch: per call, then per node of execute."""
    cases = results["cases"]

    def ns(value):
        return f"{value * 1e9:,.0f} ns" if isinstance(value, float) else "-"

    lines = [
        "For the README: per call and per node, the median time.",
        "",
        "| | tolvane | NumPy | PyTorch |",
        "|---|---|---|---|",
    ]
    for label, case in USER_ROWS:
        row = cases.get(case, {})
        lines.append(f"| {label} | {ns(row.get('ours'))} | {ns(row.get('numpy'))} | {ns(row.get('torch'))} |")
    chains = sorted((c for c in cases if c.startswith("execute chain of")), key=chain_nodes)
    times = [cases[c]["ours"] for c in chains if isinstance(cases[c].get("ours"), float)]
    if times:
        sizes = (
            f"{chain_nodes(chains[0]):,} to {chain_nodes(chains[-1]):,}"
            if len(chains) > 1
            else f"{chain_nodes(chains[0]):,}"
        )
        spread = f"{ns(min(times))} to {ns(max(times))}" if len(times) > 1 else ns(times[0])
        lines.append(f"| execute a chain of {sizes} adds, per node | {spread} | - | - |")
    return lines


COUNT_MEASURES = [
    ("instructions", "instructions", 1, ".0f"),
    ("ll_misses", "last-level misses", 1, ".2f"),
    ("faults", "page faults", 1, ".4f"),
    ("heap_bytes", "heap bytes", 1, ".1f"),
    ("cpu_prefaulted", "CPU ns, heap pre-faulted", 1e-9, ".1f"),
]


def count_table(rows):
    """The counts: one line per case and measure, ours beside its floors."""
    lines = [
        "Counts per call, add or node, which hold still between runs (instructions and misses from",
        "callgrind over the measured window only; CPU time with freed heap kept and pre-faulted).",
        "The execute baseline is the physical walk over our own records (cpp_floors' physical_*).",
        "",
        "| case | measure | ours | baseline | baseline that keeps | C-API binding | ours/baseline"
        " | ours/baseline that keeps | ours/C-API binding |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    for case, row in rows.items():
        for key, label, scale, digits in COUNT_MEASURES:
            values = [row.get(impl, {}) for impl in ("ours", "floor", "keep", "capi")]
            values = [v.get(key) if isinstance(v, dict) else None for v in values]
            if values[0] is None:
                continue
            cells = [format(v / scale, digits) if isinstance(v, (int, float)) else "-" for v in values]
            # A baseline that keeps nothing has no faults or heap to compare with.
            ratios = [
                f"{values[0] / v:.2f}" if isinstance(v, (int, float)) and v > abs(values[0]) * 1e-3 else "-"
                for v in values[1:]
            ]
            lines.append(f"| {case} | {label} | {' | '.join(cells)} | {' | '.join(ratios)} |")
    return lines


def plot(results, execute, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4.2))
    sizes = list(execute)
    for impl, style in (("ours", "o-"), ("floor", "s--"), ("tinygrad", "^:")):
        points = [(n, execute[n][impl] * 1e9) for n in sizes if isinstance(execute[n].get(impl), float)]
        if points:
            left.plot(*zip(*points, strict=True), style, label={"floor": "C++ floor"}.get(impl, impl))
    left.set_xscale("log")
    left.set_yscale("log")
    left.set_xlabel("nodes in the chain")
    left.set_ylabel("ns per node")
    left.set_title("execute: time per node")
    left.legend()

    labels, values = [], []
    for case in (c for c in results["cases"] if c.startswith(("zeros ", "ones "))):
        for impl in ("ours", "numpy", "torch", "floor"):
            v = results["cases"].get(case, {}).get(impl)
            if isinstance(v, float) and v > 0:
                labels.append(f"{case.split()[0]}\n{impl}")
                values.append(results["fill_elements"] * 4 / v / 2**30)
    right.bar(range(len(values)), values)
    right.set_xticks(range(len(values)), labels, fontsize=7)
    right.set_ylabel(f"GiB/s ({results['fill_elements'] * 4 / 2**20:g} MiB, fresh memory)")
    right.set_yscale("log")
    right.set_title("fill bandwidth (zeros leave fresh pages untouched)")
    fig.suptitle(results["machine"], fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


if __name__ == "__main__":
    main()
