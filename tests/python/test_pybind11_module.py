"""The module on pybind11: what it builds on the patched pybind11 (a second
`__init__` in place, its declaration for the main interpreter only, a retry
after a failed import), its private pybind11 state, its exception state
prepared at import, and its own conversions. Each reproducer runs in an
interpreter of its own (harness.py), so that a crash shows as one. The
patches' own tests, pybind11's behaviour, are in tests/pybind11."""

import json
import shutil
import subprocess
import sysconfig

import pytest
from harness import IMPORT_OUT_OF_MEMORY, UNDER_ASAN, USER_EXCEPTIONS, limits_memory, lines


# pybind11 ignores a second __init__ of a registered instance: a returned
# tensor that takes one is unregistered.
@pytest.mark.parametrize("make", ["Tensor([2, 3]).view([6])", "Tensor([2])", "Tensor.__new__(Tensor)"])
def test_every_tensor_takes_a_second_init(make):
    assert lines(f"from _tolvane import Tensor\nc = {make}\nc.__init__([3])\nprint(c.shape)") == ["[3]"]


# A second pybind11 module, built here: it must keep pybind11's own base type.
NEIGHBOUR = """
#include <pybind11/pybind11.h>
struct Thing { int n; };
PYBIND11_MODULE(neighbour, m) {
  pybind11::class_<Thing>(m, "Thing").def(pybind11::init<int>()).def("n", [](const Thing& t) { return t.n; });
}
"""


@pytest.fixture(scope="module")
def neighbour(tmp_path_factory):
    pybind11 = pytest.importorskip("pybind11")
    compiler = shutil.which("c++")
    if compiler is None:
        pytest.skip("needs a C++ compiler")
    where = tmp_path_factory.mktemp("neighbour")
    (where / "neighbour.cpp").write_text(NEIGHBOUR)
    target = where / f"neighbour{sysconfig.get_config_var('EXT_SUFFIX')}"
    includes = [f"-I{pybind11.get_include()}", f"-I{sysconfig.get_paths()['include']}"]
    command = [compiler, "-O0", "-shared", "-fPIC", "-std=c++17", *includes, "neighbour.cpp", "-o", target.name]
    subprocess.run(command, cwd=where, check=True, capture_output=True, timeout=300)
    return where


@pytest.mark.linux_only("the neighbour module is linked as an ELF extension")
@pytest.mark.parametrize("first", ["_tolvane", "neighbour"])
def test_pybind11_state_is_private(neighbour, first):
    out = lines(
        f"""
        import sys
        sys.path.insert(0, {str(neighbour)!r})
        import {first}
        import _tolvane, neighbour
        from _tolvane import Tensor
        print(neighbour.Thing.__base__ is not Tensor.__base__, neighbour.Thing(7).n(), Tensor([2]).shape)
        """
    )
    assert out == ["True 7 [2]"]


@limits_memory
# (Another thread's first exception under exhaustion is not covered: see the
# patch.)
@pytest.mark.raises_out_of_memory
@pytest.mark.parametrize("where, fill", [("main", "bytes"), ("main", "values"), ("thread", "bytes")])
def test_exception_state_is_ready_at_import(where, fill):
    # Memory is exhausted (by Python objects, or by the module's own values,
    # whose MemoryError is then the first exception) before the library throws.
    script = """
    import sys, threading
    from _tolvane import Tensor
    seen = set()
    REFUSED = (ValueError, MemoryError)
    def work():
        limit(40 << 20)
        keep = exhaust(lambda: b"x" * 100 if sys.argv[2] == "bytes" else Tensor([1, 2]))
        tries = 0
        while tries < 50:
            tries += 1
            try:
                Tensor([1, 1, 1, 1, 1])
            except REFUSED as e:
                seen.add(type(e))
        unlimit()
        keep.clear()
    if sys.argv[1] == "main":
        work()
    else:
        thread = threading.Thread(target=work)
        thread.start()
        thread.join()
    print(sorted(t.__name__ for t in seen))
    """
    assert lines(script, where, fill, memory_limit=True) in (
        ["['ValueError']"],
        ["['MemoryError', 'ValueError']"],
        ["['MemoryError']"],
    )


# Each case makes `t` (sys.argv[1]), then runs a call in which user code
# calls `t.__init__(*args)`, and prints the call's result and then `t`.
SECOND_INIT = """
import json, signal, sys
from _tolvane import Tensor, execute
def reinit(args):
    try:
        t.__init__(*args)
    except (TypeError, ValueError, MemoryError) as e:
        pass
class Index:
    def __init__(self, args, value=-1):
        self.args, self.value = args, value
    def __index__(self):
        reinit(self.args)
        return self.value
class Seq:
    def __init__(self, args):
        self.args = args
    def __len__(self):
        return 1
    def __getitem__(self, i):
        if i:
            raise IndexError(i)
        reinit(self.args)
        return -1
class Dropped:
    def __init__(self, args):
        self.args = args
    def __del__(self):
        reinit(self.args)
class Dies:
    def __init__(self, args):
        self.args = args
    def __index__(self):
        self.box.clear()
        return -1
def dies(args):
    d = Dies(args)
    d.box = [Dropped(args)]
    return [d]
def alarm(args):
    class Slow:
        def __len__(self):
            return 1
        def __getitem__(self, i):
            if i:
                raise IndexError(i)
            signal.setitimer(signal.ITIMER_REAL, 0.001)
            for _ in range(10**7):
                if fired:
                    break
            return -1
    return Slow()
signal.signal(signal.SIGALRM, lambda *_: (reinit(args), fired.append(1)))
for call in json.loads(sys.argv[2]):
    for args in map(eval, json.loads(sys.argv[3])):
        t, fired = eval(sys.argv[1]), []
        result = eval(call)
        print(result.shape, t.shape, t.allocated())
"""

SECOND_INIT_CALLS = ["t.view([Index(args)])", "t.reshape(Seq(args))", "t.view(dies(args))", "t.view(alarm(args))"]
# A good one, then ones the conversions or the core refuse.
SECOND_INIT_ARGS = ["([2, 3],)", "([2**64],)", "([1, 1, 1, 1, 1],)", "('x',)"]


@pytest.mark.linux_only("SIGALRM interrupts a conversion")
@pytest.mark.parametrize("make", ["Tensor([6])", "Tensor([3]) + Tensor([3]) + Tensor([3]) + Tensor([3])"])
def test_second_init(make):
    failed = "[6] [6] True" if make == "Tensor([6])" else "[3] [3] False"  # a failed __init__ changes nothing
    expected = ["[6] [2, 3] True"] + [failed] * (len(SECOND_INIT_ARGS) - 1)
    calls, args = json.dumps(SECOND_INIT_CALLS), json.dumps(SECOND_INIT_ARGS)
    assert lines(SECOND_INIT, make, calls, args) == expected * len(SECOND_INIT_CALLS)


def test_second_init_keeps_registered_values_and_parts():
    out = lines(
        """
        from _tolvane import Dtype, Tensor
        Dtype.INT32.__init__(0)
        print(Dtype.INT32.value, int(Dtype.INT32))
        t = Tensor([2])
        class Again:
            def __index__(self):
                t.__init__([Again2()])
                return 5
        class Again2:
            def __index__(self):
                return 7
        t.__init__([Again()])
        print(t.shape)
        # A class derived from two of the module's classes: each __init__
        # builds its own part.
        class Both(Tensor, Dtype):
            def __init__(self):
                Tensor.__init__(self, [2])
                Dtype.__init__(self, 1)
        both = Both()
        Tensor.__init__(both, [3])
        print(both.shape, int(both))
        """
    )
    assert out == ["1 1", "[5]", "[3] 1"]


# What `Tensor.__new__` is made to return while `t.__init__` runs again: no
# second __init__ may build anything through it.
REPLACED_NEW = """
import sys
from _tolvane import Tensor, execute
class Sub(Tensor):
    pass
keep = eval(sys.argv[1])
bare = sys.argv[1] == "Tensor.__new__(Tensor)"
views = [] if bare else [keep.view([-1])]
before = None if bare else repr(keep)
t = Tensor([2])
Tensor.__new__ = staticmethod(lambda cls, *a, **k: keep)
try:
    t.__init__([3])
except TypeError as e:
    print("TypeError", e)
print(t.shape)
if before is not None:
    print(repr(keep) == before, [v.shape for v in views], (keep + keep).shape)
else:
    try:
        keep.shape
    except TypeError as e:
        print("untouched:", e)
"""


@pytest.mark.parametrize(
    "keep",
    [
        "Tensor([4])",
        "Tensor.__new__(Tensor)",
        "Sub([5])",
        "Tensor([2, 2]) + Tensor([2, 2])",
        "Tensor([4]).view([2, 2])",
    ],
)
def test_second_init_with_a_replaced_new(keep):
    out = lines(REPLACED_NEW, keep)
    assert out[0] == "[3]"
    if keep == "Tensor.__new__(Tensor)":
        assert out[1] == "untouched: _tolvane.Tensor: the value was never initialized (its __init__ did not run)"
    else:
        assert out[1].startswith("True [")


@pytest.mark.linux_only("/proc tells the memory in use")
@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer keeps freed blocks mapped")
def test_second_init_nested_leaks_nothing():
    # An __init__ nested in the shape conversion of the same instance's first
    # __init__: the outer one's value stays, the inner one's is freed.
    out = lines(
        """
        from _tolvane import Tensor
        def mapped():  # the blocks are never touched: count address space
            with open("/proc/self/statm") as f:
                return int(f.read().split()[0]) * 4096
        class Nested:
            def __init__(self, u):
                self.u = u
            def __index__(self):
                self.u.__init__([1 << 20])
                return 3
        start = mapped()
        for _ in range(100):
            u = Tensor.__new__(Tensor)
            u.__init__([Nested(u)])
        print(u.shape, (mapped() - start) < (64 << 20))
        """
    )
    assert out == ["[3] True"]


# The module declares itself for the main interpreter only (the patch's test
# holds the other kinds of interpreter, and a module loaded after them).
SUBINTERPRETERS = """
import _interpreters
import _tolvane
interpreter = _interpreters.create(_interpreters.new_config("legacy"))
_interpreters.run_string(interpreter, "try:\\n import _tolvane\\nexcept ImportError as e:\\n print(e)")
_interpreters.destroy(interpreter)
c = _tolvane.Tensor([2, 3], _tolvane.Dtype.INT64) + _tolvane.Tensor([2, 3], _tolvane.Dtype.INT64)
_tolvane.execute(c)
print(c.allocated(), c.view([-1]).shape)
"""


def test_main_interpreter_only():
    assert lines(SUBINTERPRETERS) == ["module _tolvane does not support loading in subinterpreters", "True [6]"]


# An entry of a shape or dims whose __index__ raises: the module's own
# conversion (the patch's test holds pybind11's number conversion).
ENTRY = """
import sys
from _tolvane import Tensor
exc = eval(sys.argv[1])
class Entry:
    def __index__(self):
        raise exc
for call in (Tensor, Tensor([0]).view, Tensor.zeros):
    try:
        call([2, Entry()])
    except BaseException as e:
        print(type(e).__name__, "incompatible" in str(e))
"""


@pytest.mark.parametrize("exc, expected", USER_EXCEPTIONS)
def test_entries_pass_user_exceptions(exc, expected):
    assert lines(ENTRY, exc) == [expected] * 3


def test_shape_entries_memoryview():
    assert lines(
        """
        import array
        from _tolvane import Tensor
        flat = memoryview(array.array("q", [2, 3, 4, 5]))
        print(Tensor(flat).shape)
        for view in (flat.cast("B").cast("q", [2, 2]), memoryview(array.array("q", [2])).cast("B").cast("q", [])):
            try:
                Tensor(view)
            except TypeError as e:
                print("incompatible" in str(e))
        """
    ) == ["[2, 3, 4, 5]", "True", "True"]


# The import runs out of memory at every step of the module's set-up in
# turn; importing again once the limit is lifted always succeeds.
@limits_memory
def test_import_again_after_running_out_of_memory():
    for freed in range(0, 48, 2):
        out = lines(
            IMPORT_OUT_OF_MEMORY, freed, "_tolvane", "f'{Tensor([3]) + Tensor([3])} {Dtype.INT32}'", memory_limit=True
        )
        assert out[-1:] == ["tolvane.Tensor(shape=[3], dtype=fp32, device=cpu) Dtype.INT32"]
