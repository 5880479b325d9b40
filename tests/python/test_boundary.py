"""The Python boundary: what converts to a shape or dims, and calls that must
end in a clean exception, huge and hostile inputs among them, each in an
interpreter of its own so that a crash shows as one."""

import array
import decimal
import fractions
import itertools
import shutil
import subprocess
import sys

import numpy
import pytest
from harness import limits_memory, lines

import _tolvane
from _tolvane import Device, Dtype, Tensor


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Seq:
    """The sequence protocol and nothing else."""

    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError(i)
        return i + 2


@pytest.mark.parametrize(
    "shape, expected",
    [
        ([2, 3], [2, 3]),
        ((2, 3), [2, 3]),
        (range(2, 4), [2, 3]),
        (range(3, -1, -1), [3, 2, 1, 0]),
        (array.array("q", [2, 3]), [2, 3]),
        (bytearray([2, 3]), [2, 3]),
        (numpy.array([2, 3]), [2, 3]),
        ([numpy.int64(2), Index(3)], [2, 3]),
        (Seq(), [2, 3]),
        ([], []),
    ],
)
def test_sequences_of_integers_are_accepted(shape, expected):
    assert Tensor(shape).shape == expected
    assert Tensor.zeros(shape).shape == expected
    assert Tensor([*expected]).view(shape).shape == expected


@pytest.mark.parametrize(
    "shape",
    [
        {3, 10},
        frozenset([2]),
        (n for n in [2, 3]),
        {2: 1}.keys(),
        {2: 1}.values(),
        map(int, [2]),
        zip([2]),
        itertools.count(),
        iter([2]),
        "23",
        b"\x02\x03",
        2,
        None,
        numpy.array(3),
        numpy.array([2.0]),
        [2.0],
        [numpy.float32(2)],
        [decimal.Decimal(2)],
        [fractions.Fraction(2)],
        [-(2**63) - 1],
        [2**64],
        range(-(2**63) - 1, 0),
        range(2**64, 2**64 + 5),
        [1, 1, 1, 1, 1, "x"],
    ],
    ids=repr,
)
def test_anything_else_is_refused_with_type_error(shape):
    for call in (Tensor, Tensor.ones, Tensor([0]).view):
        with pytest.raises(TypeError, match="incompatible"):
            call(shape)


def test_failures_keep_their_order():
    # A bad entry anywhere, then the rank, then the range of the count.
    with pytest.raises(ValueError, match="rank exceeds MAX_RANK"):
        Tensor([2**60] * 5)
    with pytest.raises(ValueError, match="rank exceeds MAX_RANK"):
        Tensor(range(10**12))  # a range is bounded by its ends, not walked
    with pytest.raises(ValueError, match="rank exceeds MAX_RANK"):
        Tensor([0]).view(range(-1, 10**12))
    with pytest.raises(TypeError):
        Tensor([1, 1, 1, 1, 1], Dtype.FLOAT32, 0)


# A negative extent (which only dims may hold, as -1), and a dtype or device
# that is not a member.
@pytest.mark.parametrize("args", [([-1],), ([2], 0), ([2], Device.CPU), ([2], Dtype.FLOAT32, 0), ([2], None)], ids=repr)
def test_constructor_refuses(args):
    with pytest.raises(TypeError, match="incompatible"):
        Tensor(*args)


# Each expression in an interpreter of its own: its value, or the exception
# it ends in.
PROBE = """
import copyreg, pickle, sys
from _tolvane import Device, Dtype, Tensor, execute
class Sub(Tensor):
    def __init__(self):
        pass
try:
    result = eval(sys.argv[1])
except Exception as e:
    print(type(e).__name__, e, sep=": ")
else:
    print("ok:", result)
"""

NEVER = "TypeError: _tolvane.Tensor: the value was never initialized (its __init__ did not run)"
BASE = "TypeError: cannot create 'pybind11_object' instances"
COUNT_RANGE = "ValueError: Shape: element count exceeds the int64 range"
STRIDE_RANGE = "ValueError: Shape: stride exceeds the uint64 range"
STORAGE_RANGE = "ValueError: Storage: byte count exceeds the 64-bit range"
DIMS_RANGE = "ValueError: view/reshape: product of dims exceeds the int64 range"
ONLY_CPU = "RuntimeError: Buffer: only CPU device is implemented"
BAD_ALLOC = "MemoryError: std::bad_alloc"


@pytest.mark.parametrize(
    "expr, expected",
    [
        *[(f"Tensor.{m}(None)", "TypeError") for m in ("numel", "nbytes", "allocated", "is_contiguous", "contiguous")],
        *[(f"Tensor.{p}.__get__(None)", "TypeError") for p in ("shape", "dtype", "device", "offset", "strides")],
        *[
            (f"(lambda t: {use})(Tensor.__new__(Tensor))", NEVER)
            for use in ("t.shape", "repr(t)", "t.numel()", "t.allocated()", "t + t", "Tensor([2]) + t", "execute(t)")
        ],
        ("Tensor.__new__(Tensor).view([1])", NEVER),
        ("Sub.__new__(Sub).dtype", NEVER),
        ("Tensor([2], Dtype.__new__(Dtype))", "TypeError: _tolvane.Dtype: the value was never initialized"),
        ("pickle.dumps(Dtype.INT32, 0)", BASE),
        ("pickle.dumps(Dtype.INT32, 1)", BASE),
        ("pickle.dumps(Tensor([2, 3]), 0)", BASE),
        ("pickle.dumps(Tensor([2, 3]), 1)", BASE),
        ("pickle.dumps(Tensor([2, 3]), 2)", "TypeError: cannot pickle '_tolvane.Tensor' object"),
        ("copyreg._reduce_ex(Tensor([2]), 0)", BASE),
        ("Tensor.__base__()", BASE),
        ("Dtype.__base__()", BASE),
        (
            "type(Dtype.__int__.__self__)()",
            "TypeError: cannot create 'pybind11_builtins.pybind11_detail_function_record",
        ),
        ("type(Dtype.__int__.__self__).__init__(Dtype.__int__.__self__)", "ok: None"),
        (
            "[pickle.loads(pickle.dumps(Dtype.INT32, p)) for p in range(2, 6)]",
            "ok: [" + "tolvane.i32, " * 3 + "tolvane.i32]",
        ),
        # Huge and hostile extents, dims, dtypes and devices.
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
        ("Tensor([2**64])", "TypeError: "),
        ("Tensor([2, 3]).view([2**63 - 1, 2**63 - 1])", DIMS_RANGE),
        ("Tensor([0]).reshape([2**40, 2**40, 2**40, -1])", DIMS_RANGE),
        ("Tensor([2]).view([-2**63])", "ValueError: view/reshape: dimensions must be >= 0 or -1"),
        ("Tensor([2]).view([2**63])", "TypeError: "),
        ("Tensor([2], Dtype(7))", "ValueError: Unsupported Dtype"),
        ("Tensor([2], Dtype(255))", "ValueError: Unsupported Dtype"),
        ("Tensor([2], Dtype.FLOAT32, Device.CUDA)", ONLY_CPU),
        ("Tensor([0], Dtype.FLOAT32, Device.HIP)", ONLY_CPU),
        ("Tensor([2], Dtype.FLOAT32, Device(7))", ONLY_CPU),
        ("repr(Device(-2**31))", "ValueError: Unsupported device"),
        ("Tensor([2], device=Device(2**31 - 1))", ONLY_CPU),
        ("Dtype(-1)", "TypeError: "),
        ("Device(2**31)", "TypeError: "),
        ("Tensor([2**40], Dtype.FLOAT64)", BAD_ALLOC),
        ("execute(Tensor([2**40], Dtype.FLOAT64))", BAD_ALLOC),
    ],
)
def test_odd_calls_end_in_a_clean_exception(expr, expected):
    out = lines(PROBE, expr)
    assert out[0].startswith(expected), out


def test_memory_error_then_the_process_works_on():
    assert lines(
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
    ) == ["MemoryError"] * 6 + ["True 4194304 [1048576]"]


# Drives the main thread to memory exhaustion under an address-space limit,
# then lifts the limit and carries on.
EXHAUST = """
import sys
from _tolvane import Tensor, execute
pattern = sys.argv[1]
outcome, keep = None, []
limit(int(sys.argv[2]))
try:
    x = Tensor([64])
    n = 1 << 16
    while True:
        if pattern == "adds":
            x = x + x
            keep.append(x)
            if len(keep) % 512 == 0:
                execute(x)
        elif pattern == "views":
            keep += [x.view([8, 8]), x.shape]
        else:
            keep.append(Tensor.ones([n]))
            n = n * 3 // 2
except MemoryError:
    outcome = "MemoryError"
unlimit()
keep.clear()
print(outcome)
print(Tensor([3]).shape)
"""


@limits_memory
@pytest.mark.raises_out_of_memory
@pytest.mark.parametrize("pattern", ["adds", "views", "large"])
def test_memory_exhaustion_ends_in_memory_error(pattern):
    for extra in range(24 << 20, 96 << 20, 9 << 20):
        assert lines(EXHAUST, pattern, extra, memory_limit=True) == ["MemoryError", "[3]"]


# Python fills the memory; pybind11 must still build its TypeError for a
# refused argument, which it does outside any handler of its own.
REFUSE_WHEN_EXHAUSTED = """
import sys
from _tolvane import Tensor
REFUSED = (TypeError, MemoryError)
keep, tries = None, 0
limit(int(sys.argv[1]))
keep = exhaust(lambda: b"x" * int(sys.argv[2]))
while tries < 2000:
    tries += 1
    try:
        Tensor.numel(None)
    except REFUSED:
        pass
unlimit()
keep.clear()
print(Tensor([3]).shape)
"""


@limits_memory
@pytest.mark.raises_out_of_memory
@pytest.mark.parametrize("size", [100, 200])
def test_refusing_an_argument_with_memory_exhausted(size):
    for extra in (30 << 20, 40 << 20, 50 << 20):
        assert lines(REFUSE_WHEN_EXHAUSTED, extra, size, memory_limit=True) == ["[3]"]


# How nm lists a module's exported symbols, and the init function's name there.
EXPORTS = {"linux": (["nm", "-D", "--defined-only"], "PyInit__tolvane"), "darwin": (["nm", "-gU"], "_PyInit__tolvane")}


@pytest.mark.skipif(sys.platform not in EXPORTS or shutil.which("nm") is None, reason="needs nm on Linux or macOS")
def test_only_the_init_function_is_exported():
    command, init = EXPORTS[sys.platform]
    out = subprocess.run([*command, _tolvane.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in out.stdout.splitlines()] == [init]


def test_refused_arguments_use_the_documented_signature():
    with pytest.raises(TypeError) as info:
        Tensor({2})
    assert "shape: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]" in str(info.value)
