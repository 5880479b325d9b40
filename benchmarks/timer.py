"""Times Python statements: reads a JSON list of cases on stdin and prints a
JSON object mapping each case to its best time per operation in seconds (or
an error text). Runs under any Python 3 so that peers in other
environments are timed by the same code."""

import json
import sys
import timeit


def main():
    results = {}
    for case in json.load(sys.stdin):
        try:
            namespace = {}
            exec(case["setup"], namespace)
            timer = timeit.Timer(case["stmt"], globals=namespace)
            best = min(timer.repeat(repeat=case["repeats"], number=case["number"]))
            results[case["case"]] = best / case["number"]
        except Exception as e:  # a peer that cannot run a case is reported, not dropped
            results[case["case"]] = f"error: {type(e).__name__}: {e}"
    json.dump(results, sys.stdout)


if __name__ == "__main__":
    main()
