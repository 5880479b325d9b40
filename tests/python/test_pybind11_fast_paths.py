"""One test per fast path (python/fast_paths.h), named after it: the same
calls give the same results, or the same exception type and message, with the
fast paths and with the plain pybind11 functions (TOLVANE_PLAIN_PYBIND11=1),
each side in an interpreter of its own; a seeded generated part
(differential.py) adds random and adversarial calls. Then what CPython's own
call path promises: descriptors, profiler events, and the switch (the
recursion checks are test_lifetimes.py's)."""

import functools
import json
import pathlib
import random

import pytest
from differential import expression
from harness import lines, run

HERE = pathlib.Path(__file__).resolve().parent


# fast path -> expressions evaluated in SETUP's namespace.
CASES = {
    "construct": [
        "Tensor([2, 3])", "Tensor((2, 3))", "Tensor([])", "Tensor([0, 5])", "Tensor([2, 3], float64)",
        "Tensor([2, 3], int32, cpu)", "Tensor([2, 3], Dtype.INT64, Device.CUDA)", "Tensor([2], dtype=float64)",
        "Tensor(shape=[2])", "Tensor([2], device=cpu)", "Tensor([2, 3, 4, 5])", "Tensor([1, 2, 3, 4, 5])",
        "Tensor([1, 2, 3, 4, 5, 6, 7, 8, 9])", "Tensor([-1])", "Tensor([2**62, 2**62])", "Tensor([2**63])",
        "Tensor([2**64])", "Tensor([True, 2])", "Tensor([2.0])", "Tensor([Idx()])", "Tensor(Seq())",
        "Tensor(range(3))", "Tensor('ab')", "Tensor(None)", "Tensor(5)", "Tensor([2], 1)", "Tensor([2], cpu)",
        "Tensor([2], float64, float64)", "Tensor([2], float64, cpu, 1)", "Tensor()",
        "Tensor([2], Dtype.__new__(Dtype))", "Tensor([2], bogus=1)", "Sub([2])", "type(Sub([2]))",
        "Tensor([2]).shape",
    ],
    "shape": [
        "t.shape", "s.shape", "wide.shape", "Tensor([]).shape", "bare.shape", "Tensor.shape.__get__(t)",
        "Tensor.shape.__get__(bare)", "Tensor.shape.__get__(s, Tensor)",
    ],
    "view": [
        "t.view([3, 2])", "t.view((6,))", "t.view([-1])", "t.view([-1, -1])", "t.view([4])", "t.view([])",
        "t.view([1, 1, 1, 1, 6])", "t.view([2**63])", "t.view([-2**63 - 1])", "t.view([True, 6])", "t.view([6.0])",
        "t.view([Idx(), 3])", "t.view(Seq())", "t.view(dims=[6])", "t.view(6)", "t.view()", "t.view([6], [6])",
        "s.view([6])", "type(s.view([6]))", "bare.view([6])", "wide.view([6])", "Tensor.view(t, [6])",
        "Tensor.__dict__['view'](t, [6])", "Tensor.__dict__['view'](t)", "t.view([6], 1, 2, 3, 4, 5, 6, 7, 8)",
        "t.view([6], a=1, b=2, c=3, d=4, e=5, f=6, g=7)", "(lambda bound: bound([6]))(t.view)",
        "(lambda bound: bound(dims=[6]))(s.view)",
    ],
    "reshape": [
        "t.reshape([3, 2])", "t.reshape([-1])", "t.reshape((1, 6))", "t.reshape([4])", "wide.reshape([6])",
        "wide.reshape([-1]).is_contiguous()", "t.reshape([True, 6])", "t.reshape(dims=[6])", "t.reshape([2**64])",
        "s.reshape([6])", "bare.reshape([6])",
    ],
    "add": [
        "t + t", "t + s", "s + t", "s + s", "type(s + s)", "t + wide", "t + Tensor([2, 3], float64)",
        "t + Tensor([2, 3], device=cuda)", "t + Tensor([3, 2])", "t + Tensor([6])", "t + 1", "1 + t", "t + None",
        "t + bare", "bare + t", "Tensor.__add__(t, t)", "Tensor.__add__(t, 1)", "Tensor.__add__(t)",
        "Tensor.__add__(t, t, t)", "(t + t).allocated()", "Tensor.__dict__['__add__'](t, 1)",
        "Tensor.__dict__['__add__'](t, s)", "t.__add__(t)", "t.__add__(1)", "sum([t, t], t)",
    ],
    "zeros": [
        "Tensor.zeros([2, 3])", "Tensor.zeros((2,), float64)", "Tensor.zeros([2], int32, cpu)",
        "Tensor.zeros([2], dtype=float64)", "Tensor.zeros(shape=[2])", "Tensor.zeros([2], device=cuda)",
        "Tensor.zeros([-1])", "Tensor.zeros([Idx()])", "Tensor.zeros(Seq())", "Tensor.zeros()",
        "Tensor.zeros([2], 1)", "Tensor.zeros([1, 1, 1, 1, 1])", "Tensor.zeros([2**40, 2**40])", "Sub.zeros([2])",
        "t.zeros([2])",
    ],
    "ones": [
        "Tensor.ones([2, 3])", "Tensor.ones([2], Dtype.INT64)", "Tensor.ones([2], float64, cuda)",
        "Tensor.ones([2], cpu)", "Tensor.ones(range(2))", "Tensor.ones([2], float64, cpu, 1)",
    ],
    "properties": [
        "t.strides", "wide.strides", "s.dtype", "Tensor([2], float64).dtype", "Tensor([2], device=cuda).device",
        "wide.offset", "bare.strides", "bare.dtype", "bare.device", "bare.offset", "Tensor.strides.__get__(t)",
        "Tensor.dtype.__get__(s, Tensor)", "type(t.dtype)", "t.dtype == Dtype.FLOAT32",
    ],
    "methods": [
        "t.numel()", "wide.nbytes()", "(t + t).allocated()", "wide.is_contiguous()", "t.contiguous()",
        "wide.contiguous()", "(t + t).contiguous()", "bare.numel()", "bare.contiguous()", "Tensor.numel(t)",
        "Tensor.nbytes(s)", "t.numel(1)", "t.nbytes(x=1)", "t.allocated(None)", "repr(t)", "repr(bare)", "repr(s)",
        "str(wide)", "t.__repr__()", "Tensor.__repr__(s)",
    ],
    "execute": [
        "execute(t + t)", "execute(t)", "execute(bare)", "execute(None)", "execute(1)", "execute()", "execute(t, t)",
        "execute(output=t + t)", "execute(s + s)", "(lambda c: (execute(c), c.allocated()))(t + t)",
        "execute(Tensor([2], device=cuda) + Tensor([2], device=cuda))",
    ],
    "dealloc": [
        "[Tensor([2]) for _ in range(3)][-1]", "(lambda r: (gc.collect(), r() is None))(weakref.ref(Tensor([2])))",
        "(lambda seen: (weakref.ref(Tensor([2]), seen.append), len(seen)))([])[1]",
        "(lambda x: (weakref.ref(x), x.shape))(Tensor([2]).view([2]))[1]",
        "(lambda x: (x.__init__([5]), x.shape))(Tensor([2]))[1]",
        "(lambda x: (x.__init__('bad'), x.shape))(Tensor([2]))[1]", "Tensor.__new__(Tensor) is not None",
        "Sub.__new__(Sub) is not None", "type('D', (Tensor,), {'__del__': lambda self: None})([2]).shape",
    ],
}  # fmt: skip

# Run after every other case: they change Tensor itself.
CHANGES = [
    "(lambda old: (setattr(Tensor, '__init__', lambda self, *a: old(self, [7])), Tensor([2]).shape))(Tensor.__init__)",
    "(setattr(Tensor, '__init__', None), Tensor([2]))",
]

RUNNER = """
import json, sys
sys.path.insert(0, sys.argv[1])
import differential
namespace = {}
exec(differential.SETUP, namespace)
print(json.dumps(differential.outcomes(json.loads(sys.argv[2]), namespace)))
"""


def generated(count, seed=2026):
    """`count` distinct generated calls, the same every run."""
    rng, exprs = random.Random(seed), {}
    while len(exprs) < count:
        exprs.setdefault(expression(rng.choice), None)
    return list(exprs)


GENERATED = generated(600)


@functools.cache
def outcomes(plain):
    """Every case's outcome, in one interpreter with or without the fast paths;
    the generated calls after the table, the calls that change Tensor last."""
    exprs = [expr for exprs in CASES.values() for expr in exprs] + GENERATED + CHANGES
    out = run(RUNNER, HERE, json.dumps(exprs), env={"TOLVANE_PLAIN_PYBIND11": "1" if plain else None})
    return dict(zip(exprs, json.loads(out.stdout), strict=True))


def same_outcomes(exprs):
    fast, plain = outcomes(False), outcomes(True)
    differ = [(expr, fast[expr], plain[expr]) for expr in exprs if fast[expr] != plain[expr]]
    assert not differ


@pytest.mark.parametrize("fast_path", sorted(CASES))
def test_fast_path(fast_path):
    same_outcomes(CASES[fast_path])


def test_fast_path_generated_calls():
    same_outcomes(GENERATED)
    # The generator reaches both sides of every fast path.
    kinds = {outcome.split(":")[0] for outcome in outcomes(False).values()}
    assert {"TypeError", "ValueError"} <= kinds and any(k.startswith("tolvane.Tensor") for k in kinds)


def test_fast_path_construct_follows_a_changed_class():
    same_outcomes(CHANGES)
    assert outcomes(False)[CHANGES[0]] == "(None, [7])"


def output(script, plain="0"):
    return lines(script, env={"TOLVANE_PLAIN_PYBIND11": plain})


# The kind of each entry, and what programs do with methods, against
# CPython's own: list's methods and int's getset descriptor.
SURFACE = """
    import cProfile, functools, gc, inspect, pickle, pstats, pydoc
    from _tolvane import Tensor, execute
    t = Tensor([2, 3])
    for name in METHODS:
        entry = Tensor.__dict__[name]
        method = getattr(Tensor, name)
        print(type(entry) is type(list.__dict__["append"]), method is entry, entry.__qualname__)
        print(pickle.loads(pickle.dumps(method)) is method, inspect.ismethoddescriptor(entry))
        print(type(getattr(t, name)) is type([].append), getattr(t, name).__self__ is t)
        print(functools.wraps(method)(lambda *a: None).__doc__ == method.__doc__, entry.__objclass__ is Tensor)
        try:
            method(1, [6])
        except TypeError as e:
            print(e)
        print(pydoc.render_doc(method, renderer=pydoc.plaintext).splitlines()[2].strip())
    for name in PROPERTIES:
        entry = Tensor.__dict__[name]
        print(type(entry) is type(int.__dict__["real"]), entry.__qualname__, entry.__doc__)
    pickled = [pickle.loads(pickle.dumps(f)) is f for f in (Tensor.view, execute)]
    print(all(pickled), "view" in dir(Tensor))
    entries = [Tensor.__dict__[name] for name in METHODS]
    print(all("function_record" not in type(r).__name__ for entry in entries for r in gc.get_referents(entry)))
    view = Tensor.view
    del Tensor.view
    Tensor.view = view
    print(Tensor.view is view, t.view([6]).shape)
    profile = cProfile.Profile()
    profile.runcall(lambda: (t.view([6]), t.reshape([-1]), t.__add__(t)))
    listed = {pstats.func_std_string(key) for key in pstats.Stats(profile).stats}
    print(sorted(name for name in listed if "Tensor" in name))
"""


METHODS = ["numel", "nbytes", "allocated", "is_contiguous", "contiguous", "view", "reshape", "__add__", "__repr__"]
PROPERTIES = ["shape", "strides", "dtype", "device", "offset"]


def test_entries_are_cpython_method_and_getset_descriptors():
    out = output(SURFACE.replace("METHODS", repr(METHODS)).replace("PROPERTIES", repr(PROPERTIES)))
    for i, name in enumerate(METHODS):
        assert out[6 * i : 6 * i + 6] == [
            f"True True Tensor.{name}",
            "True True",
            "True True",
            "True True",
            f"descriptor '{name}' for '_tolvane.Tensor' objects doesn't apply to a 'int' object",
            f"{name}(...) unbound _tolvane.Tensor method",
        ]
    rest = out[6 * len(METHODS) :]
    assert rest == [f"True Tensor.{name} " for name in PROPERTIES] + [
        "True True",
        "True",
        "True [6]",
        str(PROFILED_METHODS),
    ]


PROFILED_METHODS = sorted(
    f"{{method '{name}' of '_tolvane.Tensor' objects}}" for name in ("view", "reshape", "__add__")
)


DOCS = """
import _tolvane
from _tolvane import Tensor
for name in vars(Tensor):
    print(name, repr(getattr(Tensor, name).__doc__))
print(repr(_tolvane.execute.__doc__))
"""


def test_entries_keep_pybind11_docstrings():
    assert output(DOCS) == output(DOCS, plain="1")


SWITCHED = """
    from _tolvane import Tensor
    kind = {"method_descriptor": "fast", "getset_descriptor": "fast", "instancemethod": "plain", "property": "plain"}
    print([kind[type(Tensor.__dict__[n]).__name__] for n in ("shape", "view", "reshape", "__add__")])
    print(Tensor([2, 3]).view([3, 2]).shape, Tensor([2]).reshape((2,)).shape, (Tensor([2]) + Tensor([2])).shape)
"""


@functools.cache
def switchable():
    """Whether the module reads the switch: only builds with invariant checks
    do (the release module reads no environment variable)."""
    return run("import _tolvane", env={"TOLVANE_PLAIN_PYBIND11": "no-such-fast-path"}, check=False).returncode != 0


needs_switch = pytest.mark.skipif("not switchable()", reason="a release build has no switch")


@needs_switch
@pytest.mark.parametrize(
    "switch, installed",
    [
        ("0", "['fast', 'fast', 'fast', 'fast']"),
        ("1", "['plain', 'plain', 'plain', 'plain']"),
        ("__init__,view", "['fast', 'plain', 'fast', 'fast']"),
        ("__add__", "['fast', 'fast', 'fast', 'plain']"),
        ("shape,reshape", "['plain', 'fast', 'plain', 'fast']"),
    ],
)
def test_fast_paths_switch_off_one_by_one(switch, installed):
    assert output(SWITCHED, plain=switch) == [installed, "[3, 2] [2] [2]"]


@needs_switch
def test_fast_path_switch_refuses_unknown_names():
    out = run("import _tolvane", env={"TOLVANE_PLAIN_PYBIND11": "view,dealloc"}, check=False)
    assert "ImportError: TOLVANE_PLAIN_PYBIND11: no fast path is named 'dealloc'" in out.stderr


PROFILED = """
import sys
from _tolvane import Tensor
t, u = Tensor([2, 3]), Tensor([2, 3])
def calls():
    t.view([3, 2]); t.reshape([-1]); t.__add__(u); t + u; Tensor.view(t, [6]); t.shape
    for bad in (lambda: t.view([5]), lambda: t.reshape("x"), lambda: t.__add__(Tensor([3])), lambda: t + 1):
        try:
            bad()
        except (ValueError, TypeError):
            pass
events = []
sys.setprofile(lambda frame, event, arg: events.append((event, getattr(arg, "__name__", None))))
calls()
sys.setprofile(None)
print([e for e in events if e[0].startswith("c_")])
mon = sys.monitoring
mon.use_tool_id(2, "test")
seen = []
for event in ("CALL", "C_RETURN", "C_RAISE"):
    mon.register_callback(
        2, getattr(mon.events, event), lambda code, offset, fn, arg0, event=event: seen.append((event, fn.__name__))
    )
mon.set_events(2, mon.events.CALL | mon.events.C_RETURN | mon.events.C_RAISE)
calls()
mon.set_events(2, 0)
print(seen)
events.clear()
sys.setprofile(lambda frame, event, arg: events.append((event, getattr(arg, "__name__", None))))
list.append([], 1)
sys.setprofile(None)
print(events[:2])
"""


def test_fast_paths_show_profilers_the_calls_of_cpython_methods():
    """As for list.append: a call through the class is a C call too."""
    fast = output(PROFILED)
    views, failures = [("c_call", "view"), ("c_return", "view")], ["view", "reshape", "__add__"]
    expected = [("c_call", "view"), ("c_return", "view"), ("c_call", "reshape"), ("c_return", "reshape")]
    expected += [("c_call", "__add__"), ("c_return", "__add__"), *views]
    expected += [event for name in failures for event in (("c_call", name), ("c_exception", name))]
    assert fast[0] == repr([*expected, ("c_call", "setprofile")])
    assert fast[1] == output(PROFILED, plain="1")[1]
    assert fast[2] == "[('c_call', 'append'), ('c_return', 'append')]"
