#pragma once

// The module's fast entry points for its hottest calls: pybind11
// workarounds of the same kind as pybind11_repairs.h, under the same rules
// (the same verified pybind11 versions, checks at import that fail it with an
// ImportError naming the fast path, a test each in
// tests/python/test_pybind11_fast_paths.py).
//
// Each takes the arguments it can convert without running user code (exact
// lists and tuples of exact ints, exact Dtype and Device values, tensors in
// pybind11's simple layout) and builds pybind11 instances as the bindings
// do; anything else, and any failure of the core or of an allocation, goes
// to the pybind11 function it replaces, so every result, error type and
// message is pybind11's. Names, signatures, docstrings, the property, the
// order of the class dictionaries and what their entries show stay as
// pybind11 made them.
//
// Instructions per call (callgrind, ./dev bench), before -> after, and the
// hand-written CPython binding of the same core (the C-API floor):
// `Tensor([2, 3])` 4,943 -> 2,185 (2,236); `t.shape` 1,416 -> 952 (839);
// `t.view([3, 2])` 3,439 -> 1,799 (1,674); `t.reshape([-1])` 3,398 -> 1,748
// (1,687); `a + b` 3,810 -> 2,250 (2,064).
//
// construct: `Tensor(...)` runs pybind11's metaclass call, tp_new, a bound
//   __init__, an argument tuple and the dispatcher. Tensor gets a
//   vectorcall (its metaclass is told to look for one; the module's other
//   classes and Python subclasses have none) that converts and builds the
//   instance directly while Tensor and its metaclass are unchanged since
//   the module set it (their version tags): an assigned __init__ is obeyed.
// shape, view, reshape, add: pybind11's dispatcher and casters. The C
//   function behind each pybind11 function object is replaced, as the
//   repairs replace it.
// method: for `t.view(...)` and `a + b`, CPython binds the instancemethod
//   that pybind11 puts in the class to the instance, making and freeing a
//   method object per call. Those entries become a type that does what
//   instancemethod does (and what pybind11's metaclass makes of it: the
//   class attribute is the descriptor itself) and tells CPython that calling
//   it with the instance first is calling the bound method
//   (Py_TPFLAGS_METHOD_DESCRIPTOR), so the interpreter calls it unbound.
//   `entry.__get__(None, Tensor)` gives the entry where instancemethod
//   gives the function; nothing else of it differs.
// dealloc: pybind11_object_dealloc looks the instance's classes up and saves
//   the error state around the holder's destructor. A Tensor (not a
//   subclass) in the simple layout, unregistered, is destroyed directly; its
//   holder's destructor runs no Python code.
//
// TOLVANE_PLAIN_PYBIND11=1 in the environment at import leaves them all
// out, so that tests can compare both.

#include <pybind11/pybind11.h>

namespace tolvane::python {

// Installs the fast paths over the functions guard_classes() has wrapped.
void install_fast_paths(pybind11::module_& module);

}  // namespace tolvane::python
