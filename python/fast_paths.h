#pragma once

// The module's fast entry points for its hottest calls. Each takes only
// arguments that need no user code to convert (exact lists and tuples of
// exact ints, exact Dtype and Device values, tensors in pybind11's simple
// layout) and decides before it does anything lasting; anything else goes to
// pybind11's own function, unchanged. Once a fast path has taken a call it
// reports failures itself through pybind11's translation, so error types and
// messages are pybind11's, and nothing is ever run twice (`a + b` records one
// node, also when wrapping its result runs out of memory).
//
// Every entry is called the way CPython calls a built-in function: the
// recursion check (" while calling a Python object") is made where CPython's
// path makes it (for construction, before the metaclass call a call that is
// not taken falls back to: a taken one runs no user code), and profilers
// (sys.setprofile, sys.monitoring) see the same c_call / c_return /
// c_exception and CALL events as with plain pybind11.
//
// construct: `Tensor(...)` runs pybind11's metaclass call, tp_new, a bound
//   __init__, an argument tuple and the dispatcher. Tensor gets a vectorcall
//   (its metaclass is told to look for one; the module's other classes and
//   Python subclasses have none) that builds the instance directly while
//   Tensor and its metaclass are unchanged since import (their version
//   tags): an assigned __init__ or __new__ is obeyed.
// shape: the property's getter is a built-in function of the module's over
//   pybind11's function record, in place of pybind11's dispatcher and casters.
// view, reshape, add: the class entries become built-in functions of the
//   module's (a subtype of builtin_function_or_method, named instancemethod,
//   that binds to an instance as instancemethod does and tells CPython that
//   calling it with the instance first is calling the bound method,
//   Py_TPFLAGS_METHOD_DESCRIPTOR), so `t.view(...)` and `a + b` make no bound
//   method object per call.
//
// Instructions per call with them, against the hand-written CPython binding
// of the same core (./dev bench: the "per call" instructions rows, ours and
// C-API binding; the run of benchmarks/results): `Tensor([2, 3])` 2,330
// (2,235), `t.shape` 923 (840), `t.view([3, 2])` 1,996 (1,707),
// `t.reshape([-1])` 1,920 (1,687), `a + b` 2,441 (1,990).
//
// TOLVANE_PLAIN_PYBIND11 in the environment at import switches fast paths
// off: `1` all of them, `0` none, or a comma-separated list of names
// (construct, shape, view, reshape, add), for bisecting a fault. An unknown
// name fails the import.
//
// What each fast path writes is checked at import: the instance layout that
// results are built in is compared field by field with the one pybind11's
// make_new_instance builds, and each replaced function must be the
// unoverloaded pybind11 function of the expected arity. A failed check
// fails the import with an ImportError that names the fast path.

#include <pybind11/pybind11.h>

namespace tolvane::python {

// Installs the fast paths that the environment leaves on.
void install_fast_paths(pybind11::module_& module);

}  // namespace tolvane::python
