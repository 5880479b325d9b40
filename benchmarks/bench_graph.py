"""Figures for the lazy graph: execute time per node and memory per recorded add.

Prints numbers; asserts nothing. Each figure is measured in a fresh process so
that earlier graphs do not weigh on it.

    .venv/bin/python benchmarks/bench_graph.py [--quick]
"""

import argparse
import json
import subprocess
import sys
import textwrap

CHAIN = """
import time
from _tolvane import Tensor, execute
b = Tensor([2])
x = Tensor([2])
for _ in range({n}):
    x = x + b
best = float("inf")
for _ in range({repeats}):
    t = time.perf_counter()
    execute(x)
    best = min(best, time.perf_counter() - t)
print(best)
"""

# The first execute allocates; later ones walk the same nodes again. Both
# are reported: a fresh chain per repeat for the first.
CHAIN_FIRST = """
import time
from _tolvane import Tensor, execute
best = float("inf")
for _ in range({repeats}):
    b = Tensor([2])
    x = Tensor([2])
    for _ in range({n}):
        x = x + b
    t = time.perf_counter()
    execute(x)
    best = min(best, time.perf_counter() - t)
print(best)
"""

UNRELATED = """
import time
from _tolvane import Tensor, execute
b = Tensor([2])
x = Tensor([2])
for _ in range({n}):
    x = x + b
best = float("inf")
for _ in range({repeats}):
    c = Tensor([2]) + Tensor([2])
    t = time.perf_counter()
    execute(c)
    best = min(best, time.perf_counter() - t)
print(best)
"""

MEMORY = """
import gc
from _tolvane import Tensor
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096
b = Tensor([2, 3])
x = Tensor([2, 3])
x + b  # first use makes the graph
gc.collect()
before = rss()
for _ in range({n}):
    x + b
after = rss()
print((after - before) / {n})
"""


def run(template, **kw):
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(template.format(**kw))], capture_output=True,
                         text=True, check=True)
    return float(out.stdout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="tiny sizes, one repeat")
    args = parser.parse_args()
    sizes = [10**3] if args.quick else [10**3, 10**4, 10**5, 10**6]
    repeats = 1 if args.quick else 5
    big = 10**3 if args.quick else 10**6

    results = {"execute_chain": {}, "execute_chain_first": {}}
    print(f"{'case':44} {'ns/node':>10}")
    for n in sizes:
        walk = run(CHAIN, n=n, repeats=repeats) / n * 1e9
        first = run(CHAIN_FIRST, n=n, repeats=repeats if n < 10**6 else 2) / n * 1e9
        results["execute_chain"][n] = walk
        results["execute_chain_first"][n] = first
        print(f"{'execute chain of ' + str(n) + ', first (allocates)':44} {first:10.1f}")
        print(f"{'execute chain of ' + str(n) + ', again':44} {walk:10.1f}")
    small = run(UNRELATED, n=big, repeats=repeats) * 1e9
    results["execute_small_in_big_graph_ns"] = small
    print(f"{'one add beside ' + str(big) + ' unrelated nodes':44} {small:10.1f} ns total")
    per_add = run(MEMORY, n=big)
    results["memory_per_add_bytes"] = per_add
    print(f"{'memory per recorded add (RSS)':44} {per_add:10.1f} bytes")
    print(json.dumps(results))


if __name__ == "__main__":
    main()
