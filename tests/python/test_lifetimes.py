"""Objects dying the ways programs let them die: at exit, in one collection
with their class, in daemon threads after finalisation, and the module's
recursion through the module on small stacks (an import that fails
half-way is test_pybind11_module.py's). Each case is a program run in an
interpreter of its own (harness.py; under the sanitizers too, when the
suite runs with them): it passes when the process exits with its status and
its last line of output is the one expected."""

import pathlib
import sys
import textwrap

import pytest
from harness import UNDER_ASAN, lines

import _tolvane

# glibc ends a daemon thread that wakes after finalisation by unwinding its
# stack with libgcc_s's unwinder. A module that unwinds with LLVM's libunwind
# (the zig-built wheels link it in; a clang build with the system's shared
# libc++ links it) crashes when that unwind passes through its frames, as a
# daemon thread inside a conversion is; a GCC build unwinds with libgcc_s.
MODULE = pathlib.Path(_tolvane.__file__).read_bytes()
OWN_UNWINDER = pytest.mark.skipif(
    sys.platform.startswith("linux") and (b"libgcc_s.so" not in MODULE or b"libunwind.so" in MODULE),
    reason="the module carries its own unwinder, which glibc's unwind of a daemon thread cannot pass through",
)

# Subclasses of each class the module defines, in every layout a class
# statement gives them, and how to make one of their instances.
CLASSES = {"Tensor": "([2, 3])", "Dtype": "(1)", "Device": "(0)"}
LAYOUTS = {
    "plain": "pass",
    "slots": "__slots__ = ()",
    "dict": "__slots__ = ('__dict__',)",
    "weak references": "__slots__ = ()",  # each instance gets one, with a callback
}

# Where an instance of such a subclass is kept when the program ends.
KEPT_AT_EXIT = {
    "module": "x = {args}",
    "class attribute": "S.kept = {args}",
    "closure": "def keep(x={args}):\n    return lambda: x\nf = keep()",
    "cycle with its class": "x = {args}\nS.me = [x, S]\nS.me.append(S.me)",
}


def subclass_at_exit(cls, layout, where):
    program = f"import _tolvane, weakref\nclass S(_tolvane.{cls}):\n    {LAYOUTS[layout]}\n"
    program += "refs = []\ndef made(x):\n"
    if layout == "weak references":
        program += "    refs.append(weakref.ref(x, lambda ref: print('callback')))\n"
    program += "    return x\n"
    return program + KEPT_AT_EXIT[where].format(args=f"made(S{CLASSES[cls]})") + "\nprint('end')\n"


# A class and its instance become garbage in one cycle, collected together;
# `first` is the one that the cycle reaches first.
ONE_COLLECTION = """
import gc, sys
from _tolvane import Tensor
for i in range(200):
    def make():
        class X(Tensor):
            pass
        x = X([2])
        def g():
            return {first}
        return g
    g = make()
    g.self = g
    del g
    gc.collect()
print("end")
"""

# pybind11's weak-reference callback for a class's lookup entry, called by
# hand before the class and its instances go.
CALLBACK_BY_HAND = """
import gc, weakref
from _tolvane import Tensor
class T(Tensor):
    pass
x = T([2])
for ref in weakref.getweakrefs(T):
    if ref.__callback__ is not None:
        ref.__callback__(ref)
y = T([3])
del x, y
print(T([4]).view([2, 2]).shape)
del T
gc.collect()
print("end")
"""

AT_FINALISATION = {
    "lazy, views and executed results": """
        from _tolvane import Tensor, execute
        a = Tensor([2, 3])
        lazy = a + a
        view = lazy.view([3, 2])
        done = lazy + a
        execute(done)
        keep = [lazy, view, done, done.reshape([-1])]
        print("end")
    """,
    "atexit handler makes tensors": """
        import atexit
        from _tolvane import Tensor, execute
        def late():
            c = Tensor([2]) + Tensor([2])
            execute(c)
            print("late", c.allocated())
        atexit.register(late)
        print("end")
    """,
    "__del__ of a cycle makes tensors": """
        from _tolvane import Tensor
        class Late:
            def __del__(self):
                t = Tensor([2]) + Tensor([2])
                t.view([-1])
        x = Late()
        x.me = x
        print("end")
    """,
    "__del__ of a module global makes tensors": """
        from _tolvane import Tensor, execute
        class Late:
            def __del__(self):
                execute(Tensor.zeros([2]) + Tensor.ones([2]))
        x = Late()
        print("end")
    """,
}

# Daemon threads inside each entry point while the interpreter finalises:
# the entries that convert a shape or dims are held inside by a slow
# __index__; the others are called in a tight loop. The main thread's last
# collection waits in a __del__ while they wake.
ENTRY_POINTS = {
    "construct": "Tensor([Slow(), 3])",
    "shape": "t.shape",
    "view": "t.view([Slow(), -1])",
    "reshape": "t.reshape([Slow(), -1])",
    "add": "t + t",
    "zeros": "Tensor.zeros([Slow()])",
    "execute": "execute(t + t)",
}
DAEMONS = """
import gc, threading, time
from _tolvane import Tensor, execute
t = Tensor([2, 3])
class Slow:
    def __index__(self, _sleep=time.sleep):
        _sleep({index_sleep})
        return 2
def work():
    while True:
        {call}
class Late:
    def __del__(self, _sleep=time.sleep):
        _sleep({late_sleep})
gc.disable()
x = Late()
x.me = x
del x
for _ in range(3):
    threading.Thread(target=work, daemon=True).start()
time.sleep(0.1)
print("end")
"""

# The module's classes deleted from it and collected while its functions,
# which keep pointers to them, stay reachable.
CLASSES_DELETED = """
import gc, _tolvane
execute, dtype = _tolvane.execute, _tolvane.Dtype.INT32
del _tolvane.Tensor, _tolvane.Dtype, _tolvane.Device
gc.collect()
for arg in (1, dtype, None):
    try:
        execute(arg)
    except TypeError:
        pass
print("end")
"""

# Python names Tensor for values built as a Dtype: every use of one as a
# tensor refuses it, through the fast paths as through pybind11.
TYPE_CHANGES = """
from _tolvane import Dtype, Tensor
class Evil(type(Tensor)):
    def mro(cls):
        return (cls, Tensor, Dtype, Tensor.__base__, object)
class DS(Dtype):
    pass
class DS2(Dtype, metaclass=Evil):
    def __init__(self, v):
        Dtype.__init__(self, v)
moved = [Dtype(1), DS(1), DS2(1)]
object.__dict__["__class__"].__set__(moved[0], Tensor)
DS.__bases__ = (Tensor,)
for x in moved:
    for use in ["x.shape", "x.view([1])", "x + x", "Tensor([1]) + x", "repr(x)", "Tensor.__init__(x, [2])"]:
        try:
            eval(use)
        except TypeError:
            continue
        raise SystemExit(f"read: {use}")
print("end")
"""

# Loads vetoed half-way by an audit hook, a load, then a second load of the
# module's file as another package's module: the loaded module and its
# tensors keep working.
LOADS = """
import os, sys, tempfile
veto = []
def hook(event, args):
    if veto and event == "object.__setattr__" and args[1] == veto[0]:
        raise RuntimeError("vetoed")
sys.addaudithook(hook)
for name in ["__repr__", "zeros", "view", "__add__"]:
    veto[:] = [name]
    try:
        import _tolvane
    except RuntimeError:
        pass
veto.clear()
import _tolvane
from _tolvane import Tensor, execute
t = Tensor([2, 3])
root = tempfile.TemporaryDirectory()
alias = os.path.join(root.name, "alias")
os.mkdir(alias)
open(os.path.join(alias, "__init__.py"), "w").close()
os.symlink(_tolvane.__file__, os.path.join(alias, os.path.basename(_tolvane.__file__)))
sys.path.insert(0, os.path.dirname(alias))
try:
    import alias._tolvane
except ImportError:
    pass
c = t + t
execute(c)
print(t.view([6]).shape, repr(t), c.allocated(), Tensor.zeros([2]).shape)
"""

# The programs of the reports these cases come from.
REPRODUCERS = {
    "subclass with slots at exit": """
        from _tolvane import Tensor
        class T(Tensor):
            __slots__ = ()
        t = T([2, 3])
        print("end")
    """,
    # the report's timings
    "daemon threads constructing at finalisation": DAEMONS.format(
        call="Tensor([Slow(), 3])", index_sleep=0.3, late_sleep=1.0
    ),
}


def case(name, program, expected, *marks):
    return pytest.param(name, program, expected, marks=marks, id=name)


def cases():
    for cls in CLASSES:
        for layout in LAYOUTS:
            for where in KEPT_AT_EXIT:
                yield case(f"{cls} subclass, {layout}, in a {where}", subclass_at_exit(cls, layout, where), "end")
    yield case("class and instance in one collection, class first", ONE_COLLECTION.format(first="X, x"), "end")
    yield case("class and instance in one collection, instance first", ONE_COLLECTION.format(first="x, X"), "end")
    yield case("type-cache callback called by hand", CALLBACK_BY_HAND, "end")
    yield case("classes deleted from the module", CLASSES_DELETED, "end")
    for name, program in AT_FINALISATION.items():
        yield case(name, textwrap.dedent(program), "late True" if "atexit" in name else "end")
    for name, call in ENTRY_POINTS.items():
        marks = [OWN_UNWINDER] if "Slow()" in call else []
        program = DAEMONS.format(call=call, index_sleep=0.05, late_sleep=0.5)
        yield case(f"daemon threads in {name} at finalisation", program, "end", *marks)
    yield case("type changes", TYPE_CHANGES, "end")
    yield case(
        "loads vetoed, a load, a second", LOADS, "[6] tolvane.Tensor(shape=[2, 3], dtype=fp32, device=cpu) True [2]"
    )
    for name, program in REPRODUCERS.items():
        marks = [OWN_UNWINDER] if "daemon" in name else []
        yield case(name, textwrap.dedent(program), "end", *marks)


@pytest.mark.parametrize("plain", ["0", "1"], ids=["fast paths", "plain pybind11"])
@pytest.mark.parametrize("name, program, expected", list(cases()))
def test_lifetime(name, program, expected, plain):
    assert (lines(program, env={"TOLVANE_PLAIN_PYBIND11": plain}) or [""])[-1] == expected


# Recursion through the module (an __index__ that calls it again) until the
# C recursion check or the stack check gives out: in threads with stacks from
# 512 KiB, and with a recursion limit of 10**6 in a thread of 6 MiB, in the
# main thread, and in a main thread of 7 MiB (RLIMIT_STACK). CPython's own,
# through operator.index, needs more than 1 MiB to reach its check.
RECURSION = """
import operator, sys, threading
from _tolvane import Tensor
t = Tensor([2])
depth = 0
class Sub(Tensor):
    pass
class R:
    def __index__(self):
        global depth
        depth += 1
        {call}
        return 2
    def one(self):
        return 1
    def entry(self, i):
        return R()
def run():
    try:
        R().__index__()
    except RecursionError as e:
        print("RecursionError", depth, e)
if sys.argv[2] != "default":
    sys.setrecursionlimit(int(sys.argv[2]))
if sys.argv[1] == "main":
    run()
else:
    threading.stack_size(int(sys.argv[1]))
    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
"""
RECURSIVE_CALLS = {
    "operator.index": "operator.index(R())",
    "construct": "Tensor([R()])",
    "construct, through a subclass": "Sub([R()])",
    "view": "t.view([R()])",
    "reshape": "t.reshape([R()])",
    "zeros": "Tensor.zeros([R()])",
    "ones, through a sequence": "Tensor.ones(type('S', (), {'__len__': R.one, '__getitem__': R.entry})())",
}
# (thread stack or "main", RLIMIT_STACK, recursion limit)
STACKS = [(size, None, "default") for size in (512 << 10, 768 << 10, 1 << 20, 2 << 20, 4 << 20, 8 << 20)]
DEEP = [(6 << 20, None, 10**6), ("main", None, 10**6), ("main", 7 << 20, 10**6)]


@pytest.mark.linux_only("RLIMIT_STACK is set for the child before exec")
@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer's frames are larger than the stacks tried")
@pytest.mark.parametrize("call", RECURSIVE_CALLS)
def test_recursion_ends_in_recursion_error(call):
    deep = [] if call == "operator.index" else DEEP
    for where, stack, limit in [row for row in STACKS if call != "operator.index" or row[0] >= 2 << 20] + deep:
        program = RECURSION.format(call=RECURSIVE_CALLS[call])
        fast, plain = (
            lines(program, where, limit, stack=stack, env={"TOLVANE_PLAIN_PYBIND11": switch}) for switch in "01"
        )
        assert fast[0].startswith("RecursionError") and plain[0].startswith("RecursionError"), (where, fast, plain)
        if limit != "default":  # as deep as CPython's check lets the plain functions go
            assert "maximum recursion depth exceeded" in fast[0] and "maximum recursion depth exceeded" in plain[0]
            assert fast == plain or call not in ("construct", "view", "reshape")
