"""One execute case under pyperf: records a fresh graph for each loop and
times only the execution of it, per node.

    python benchmarks/execute_case.py GRAPH N [pyperf options]

GRAPH is chain (N adds in a row), tree (a balanced binary tree of adds over
2**N leaves, built level by level), fibonacci (N adds of the two previous
results), beside (one add executed beside a chain of N unrelated adds, per
execute) or tinygrad-chain (tinygrad's realize of a chain of N adds).
benchmarks/run.py starts it; pyperf runs it again in its worker processes.
"""

import time

import pyperf


def chain(n):
    from _tolvane import Tensor

    b, out = Tensor([2]), Tensor([2])
    for _ in range(n):
        out = out + b
    return out


def tree(levels):
    from _tolvane import Tensor

    level = [Tensor([2]) for _ in range(2**levels)]
    while len(level) > 1:
        level = [level[i] + level[i + 1] for i in range(0, len(level), 2)]
    return level[0]


def fibonacci(n):
    from _tolvane import Tensor

    a, out = Tensor([2]), Tensor([2])
    for _ in range(n):
        a, out = out, a + out
    return out


def beside(n):
    from _tolvane import Tensor

    if not hasattr(beside, "unrelated"):  # recorded once per process
        beside.unrelated = chain(n)
    return Tensor([2]) + Tensor([2])


def tinygrad_chain(n):
    from tinygrad import Tensor

    b, out = Tensor.empty(2), Tensor.empty(2)
    for _ in range(n):
        out = out + b
    return out


# graph -> (build(n), nodes executed for n)
GRAPHS = {
    "chain": (chain, lambda n: n),
    "tree": (tree, lambda levels: 2**levels - 1),
    "fibonacci": (fibonacci, lambda n: n),
    "beside": (beside, lambda n: 1),
    "tinygrad-chain": (tinygrad_chain, lambda n: n),
}


def timed(loops, graph, n):
    build = GRAPHS[graph][0]
    if graph == "tinygrad-chain":

        def run(tensor):
            tensor.realize()
    else:
        from _tolvane import execute as run
    total = 0.0
    for _ in range(loops):
        out = build(n)
        start = time.perf_counter()
        run(out)
        total += time.perf_counter() - start
    return total


def main():
    def worker_args(command, args):
        command.extend((args.graph, str(args.n)))

    runner = pyperf.Runner(add_cmdline_args=worker_args)
    runner.argparser.add_argument("graph", choices=sorted(GRAPHS))
    runner.argparser.add_argument("n", type=int)
    args = runner.parse_args()
    nodes = GRAPHS[args.graph][1](args.n)
    runner.bench_time_func(f"{args.graph}/{args.n}", timed, args.graph, args.n, inner_loops=nodes)


if __name__ == "__main__":
    main()
