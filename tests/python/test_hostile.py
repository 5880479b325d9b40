"""Huge and hostile inputs, each run in a subprocess so that a crash shows as one."""

import subprocess
import sys
import textwrap

import pytest


def run(script, timeout=300):
    out = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True, timeout=timeout
    )
    assert out.returncode == 0, f"exit {out.returncode}\n{out.stderr}"
    return out.stdout.strip().splitlines()


PROBE = """
from _tolvane import Device, Dtype, Tensor, execute
try:
    result = {expr}
except Exception as e:
    print(type(e).__name__, e, sep=": ")
else:
    print("ok", result, sep=": ")
"""

COUNT_RANGE = "ValueError: Shape: element count exceeds the int64 range"
STRIDE_RANGE = "ValueError: Shape: stride exceeds the uint64 range"
STORAGE_RANGE = "ValueError: Storage: byte count exceeds the 64-bit range"
ONLY_CPU = "RuntimeError: Buffer: only CPU device is implemented"


@pytest.mark.parametrize(
    "expr, expected",
    [
        ("Tensor([1, 1, 1, 1, 1])", "ValueError: Shape: rank exceeds MAX_RANK"),
        ("Tensor([2**62, 8])", COUNT_RANGE),
        ("Tensor([2**63])", COUNT_RANGE),
        ("Tensor([2**64 - 1])", COUNT_RANGE),
        ("Tensor([2**32, 2**32, 2**32])", STRIDE_RANGE),
        ("Tensor([0, 2**40, 2**40])", STRIDE_RANGE),
        ("Tensor([2**62])", STORAGE_RANGE),
        ("Tensor([2**61], Dtype.INT64)", STORAGE_RANGE),
        ("Tensor.ones([2**61, 8])", COUNT_RANGE),
        ("Tensor([0, 2**63, 2])", STRIDE_RANGE),
        ("Tensor([0, 2**63]).strides", "ok: [9223372036854775808, 1]"),
        ("Tensor([0, 3]).view([0, 2**62, 2]).strides", "ok: [9223372036854775808, 2, 1]"),
        ("Tensor.zeros([2**63 - 1], Dtype.INT64)", STORAGE_RANGE),
        ("Tensor([2**64])", None),
        (
            "Tensor([2, 3]).view([2**63 - 1, 2**63 - 1])",
            "ValueError: view/reshape: product of dims exceeds the int64 range",
        ),
        (
            "Tensor([0]).reshape([2**40, 2**40, 2**40, -1])",
            "ValueError: view/reshape: product of dims exceeds the int64 range",
        ),
        ("Tensor([2]).view([-2**63])", "ValueError: view/reshape: dimensions must be >= 0 or -1"),
        ("Tensor([2]).view([2**63])", None),
        ("Tensor([2], Dtype(7))", "ValueError: Unsupported Dtype"),
        ("Tensor([2], Dtype(255))", "ValueError: Unsupported Dtype"),
        ("Tensor([2], Dtype.FLOAT32, Device.CUDA)", ONLY_CPU),
        ("Tensor([0], Dtype.FLOAT32, Device.HIP)", ONLY_CPU),
        ("Tensor([2], Dtype.FLOAT32, Device(7))", ONLY_CPU),
        ("repr(Device(-2**31))", "ValueError: Unsupported device"),
        ("Tensor([2], device=Device(2**31 - 1))", ONLY_CPU),
        ("Dtype(-1)", None),
        ("Device(2**31)", None),
        ("Tensor([2**40], Dtype.FLOAT64)", "MemoryError: std::bad_alloc"),
        ("execute(Tensor([2**40], Dtype.FLOAT64))", "MemoryError: std::bad_alloc"),
    ],
)
def test_refused_cleanly(expr, expected):
    line = run(PROBE.format(expr=expr))[0]
    if expected is None:
        assert line.startswith("TypeError: ")
    else:
        assert line == expected


def test_memory_error_then_the_process_works_on():
    lines = run(
        """
        from _tolvane import Dtype, Tensor, execute
        for make in (Tensor, Tensor.ones):
            for shape in ([2**40], [2**20, 2**20], [2**61 - 1]):
                try:
                    make(shape, Dtype.FLOAT64)
                except MemoryError as e:
                    print("MemoryError")
        a = Tensor.ones([1024, 1024])
        c = a + a
        execute(c)
        print(c.allocated(), c.nbytes(), c.reshape([-1]).shape)
        """
    )
    assert lines == ["MemoryError"] * 6 + ["True 4194304 [1048576]"]


def test_threads_adding_and_executing_at_once():
    lines = run(
        """
        import threading
        from _tolvane import Tensor, execute
        results, errors = [], []
        def work(seed):
            try:
                x = Tensor([seed % 5 + 1, 3])
                for i in range(2000):
                    x = x + x if i % 3 else x + Tensor(x.shape)
                    if i % 97 == 0:
                        execute(x)
                    v = x.view([-1])
                execute(x)
                results.append(x.allocated() and v.allocated())
            except Exception as e:
                errors.append(repr(e))
        threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        print(len(results), all(results), errors)
        """
    )
    assert lines == ["8 True []"]
