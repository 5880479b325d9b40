#pragma once

// The module's fast entry points for its hottest calls: pybind11
// workarounds of the same kind as pybind11_repairs.h, under the same rules
// (the same verified pybind11 versions, checks at import that fail it with an
// ImportError naming the fast path, a test each in
// tests/python/test_pybind11_fast_paths.py).
//
// Each takes the arguments it can convert without running user code (exact
// lists and tuples of exact ints, exact Dtype and Device values, tensors of
// the simple pybind11 layout) and builds pybind11 instances as the bindings
// do; anything else, and any failure of the core or of an allocation, goes
// to the pybind11 function it replaces, so every result, error type and
// message is pybind11's. Names, signatures, docstrings, the property and the
// class dictionaries stay exactly as pybind11 made them: only the C function
// behind a function object, and the type's vectorcall, change.
// Instructions per call, counted with callgrind (benchmarks/run.py), before
// -> after, against a hand-written CPython binding of the same core:
//
// construct: `Tensor(shape, dtype, device)` runs pybind11's metaclass call,
//   tp_new, a bound __init__, an argument tuple and the dispatcher. The type
//   gets a vectorcall (the metaclass is told to look for one) that converts
//   and builds the instance directly, while the type and its metaclass are
//   unchanged since the module set it (their version tags); subclasses keep
//   the metaclass call. 4,943 -> FILLED_IN_BELOW.
// shape: `t.shape` runs the dispatcher and its casters for a one-argument
//   getter; the property's getter function is served directly.
// view, reshape: the dispatcher and its casters; the function behind the
//   bound method is served directly.
// add: `a + b` looks up __add__ and binds it like any method, then runs the
//   dispatcher; the function is served directly. (An nb_add slot of our own
//   would change how CPython pairs Tensor's slot with its subclasses'.)
//
// TOLVANE_PLAIN_PYBIND11=1 in the environment at import leaves them out, so
// that tests can compare both.

#include <pybind11/pybind11.h>

namespace tolvane::python {

// Installs the fast paths over the functions guard_classes() has wrapped.
void install_fast_paths(pybind11::module_& module);

}  // namespace tolvane::python
