#pragma once

// Every repair of pybind11's own behaviour that the _tolvane module makes, in
// one place: pybind11 as released is what users get, so the module mends
// what it must and says when each repair can go. Verified with pybind11 3.1.x
// only; the build refuses any other version (see the check below).
//
// Each repair: what goes wrong without it, where in pybind11, the upstream
// report, the test that shows it (tests/python/test_pybind11_repairs.py,
// test_repair_<name>), and when it can go.
//
// constructed_only: a method called on `Tensor.__new__(Tensor)` reads raw
//   storage (SIGSEGV). type_caster_generic::load hands out the value of an
//   instance whose holder was never constructed. pybind11 #6153, fixed by
//   #6157; goes when a release carries #6157.
// unregistered_holder: a failed allocation in the instance registry after a
//   call ends the process. type_caster_base::cast registers every returned
//   value in registered_instances. pybind11 #6159; goes when that insert is
//   checked.
// checked_new: `Tensor.__base__()` or pickling under protocols 0 and 1
//   aborts; a failed allocation there is a SIGSEGV. pybind11_object_new
//   leaves tp_alloc unchecked and lets exceptions escape an extern "C"
//   tp_new. pybind11 #6159 (item 11); goes when a release fixes it.
// alloc_or_throw: MemoryError is lost where pybind11 wraps a result:
//   make_new_instance uses tp_alloc's result unchecked. pybind11 #6159
//   (item 11); goes with checked_new.
// function_record_type: `type(execute.__self__)()` aborts: the function
//   record type's tp_new and __init__. pybind11 #6159; goes when fixed there.
// guarded_dispatcher: a MemoryError while building "incompatible function
//   arguments" ends the process: cpp_function::dispatcher builds that text
//   outside its handler. pybind11 #6159; goes when the dispatcher catches it.
// private_abi_key: without it the patched base type is shared with every
//   other pybind11 module in the process (PYBIND11_INTERNALS_ID is made from
//   PYBIND11_BUILD_ABI). Our choice, no bug; goes with the base-type repairs.
// exception_state: under memory exhaustion the first C++ throw of a thread
//   calls std::terminate: libstdc++ allocates its per-thread state then. C
//   runtime behaviour, no report; stays, it costs one throw at import.
// second_init: `t.__init__(...)` run from an __index__ during a call on t
//   frees the value that call holds (SIGSEGV), a failed one leaves t
//   unusable, and a nested one leaks: the dispatcher calls
//   `type->dealloc(self_value_and_holder)` before it converts the arguments
//   of a new-style constructor. No upstream report found (2026-12), to be
//   filed; goes when the dispatcher builds the new value aside.
// distinct_deallocators: `Dtype(1).__class__ = Tensor` reinterprets a Dtype
//   as a Tensor (SIGSEGV): every class shares pybind11_object's layout and
//   tp_free, so CPython allows the assignment. No upstream report found
//   (2026-12), to be filed; goes when pybind11 refuses it itself.
// type_cache_callback: pybind11's weakref callback for a Python subclass,
//   called with any object, decrefs and so frees that object:
//   all_type_info_get_cache's callback does `wr.dec_ref()` on its argument.
//   No upstream report found (2026-12), to be filed; goes when the callback
//   checks its argument.
// main_interpreter_only: importing from a legacy sub-interpreter breaks the
//   main interpreter's module and reads freed memory later: PYBIND11_MODULE's
//   PyInit sets up pybind11's state before CPython can refuse the
//   sub-interpreter. pybind11 #4245; goes when pybind11 checks the
//   interpreter first.
// integer_entries: KeyboardInterrupt, SystemExit or MemoryError
//   from a shape entry's __index__ becomes a TypeError: the integer caster
//   clears every error. pybind11 #2862; goes when that caster clears only
//   TypeError and OverflowError. Used by the shape and dims conversion.
//
// A repair that cannot find what it replaces fails the import with an
// ImportError naming it; none switches itself off silently.
//
// A new Python class needs: registration in the module body before
// guard_classes() runs (which wraps its functions and gives it its own
// deallocator), a caster from constructed_caster if its values are
// arguments, and its name in distinct_deallocators' test.

#include <pybind11/pybind11.h>

#include <cstddef>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/dtype.h"
#include "core/tensor.h"

#if PYBIND11_VERSION_HEX < 0x03010000 || PYBIND11_VERSION_HEX >= 0x03020000
// To use another release, check each repair below against it, then widen
// this check and the bounds in pyproject.toml and CMakeLists.txt
// (CONTRIBUTING.md: Upgrading pybind11).
#error "the _tolvane module's pybind11 repairs are verified with pybind11 3.1.x only"
#endif

static_assert(std::string_view(PYBIND11_BUILD_ABI) == "_tolvane_private",
              "the module's pybind11 state must be private: build with "
              "PYBIND11_BUILD_ABI=\"_tolvane_private\" (CMakeLists.txt sets it)");

// main_interpreter_only: PYBIND11_MODULE's entry point takes this name; the
// exported PyInit__tolvane (pybind11_repairs.cpp) refuses sub-interpreters and
// then calls it.
#define PyInit__tolvane tolvane_pybind11_init  // NOLINT(bugprone-reserved-identifier)
extern "C" PyObject* tolvane_pybind11_init();

namespace tolvane::python {

// The C entry point behind a pybind11 function (METH_FASTCALL | METH_KEYWORDS).
using Dispatcher = PyObject* (*)(PyObject*, PyObject* const*, std::size_t, PyObject*);

// The ImportError of a check at import: "pybind11 <kind> <name>: <what>
// (see <header>)", for a repair or a fast path that does not find what it
// replaces.
[[noreturn]] void precondition_failed(const char* kind, const char* name, const std::string& what,
                                      const char* header);

// exception_state. Call first at import.
void prepare_exception_state();

// checked_new, alloc_or_throw, function_record_type and the private ABI
// key's check. Must run before the first class is registered.
void guard_instance_creation();

// guarded_dispatcher, second_init and distinct_deallocators, over every class
// and function of `module`. Runs once the module body is complete.
void guard_classes(pybind11::module_& module);

// unregistered_holder: puts `tensor` into an instance's value and holder,
// neither of which exists yet, without registering the instance.
inline void hold(pybind11::detail::value_and_holder& v_h, Tensor&& tensor) {
  auto holder = std::make_unique<Tensor>(std::move(tensor));
  v_h.value_ptr() = holder.get();
  new (&v_h.holder<std::unique_ptr<Tensor>>()) std::unique_ptr<Tensor>(std::move(holder));
  v_h.set_holder_constructed();
}

}  // namespace tolvane::python

namespace pybind11::detail {

// constructed_only: loads only constructed instances of the registered class
// of T, whose type it looks up once rather than at every call; returns go
// through pybind11's own conversion.
template <typename T>
class constructed_caster : public type_caster_generic {
 public:
  static constexpr auto name = type_caster_base<T>::name;
  template <typename U>
  using cast_op_type = detail::cast_op_type<U>;

  constructed_caster() : type_caster_generic(registered()) {}

  // In place of type_caster_generic::load, which it hides on purpose.
  // NOLINTNEXTLINE(bugprone-derived-method-shadowing-base-method)
  bool load(handle src, bool /*convert*/) {
    const type_info* info = typeinfo;
    if (info == nullptr || !PyObject_TypeCheck(src.ptr(), info->type)) return false;
    auto* inst = reinterpret_cast<instance*>(src.ptr());
    const value_and_holder v_h = inst->get_value_and_holder(info, false);
    if (v_h.inst == nullptr) return false;
    if (!v_h.holder_constructed()) {
      constexpr const char* what = std::is_same_v<T, tolvane::Tensor> ? "tensor" : "value";
      throw type_error(std::string(info->type->tp_name) + ": the " + what +
                       " was never initialized (its __init__ did not run)");
    }
    value = v_h.value_ptr();
    return true;
  }

  template <typename U>
  static handle cast(U&& src, return_value_policy policy, handle parent) {
    return type_caster_base<T>::cast(std::forward<U>(src), policy, parent);
  }

  operator T*() { return static_cast<T*>(value); }
  operator T&() {
    if (value == nullptr) throw reference_cast_error();
    return *static_cast<T*>(value);
  }

 protected:
  // Null until the class is registered, then kept: the module's classes
  // live as long as the process.
  static const type_info* registered() {
    static const type_info* info = nullptr;
    if (info == nullptr) info = get_type_info(typeid(T));
    return info;
  }
};

// unregistered_holder: returned tensors become new Python objects that stay
// out of pybind11's registry of instances, which maps C++ addresses back to
// Python objects for returned references: every tensor the module returns
// is a new value, and registering costs an allocation and two hash-table
// updates per object.
template <>
class type_caster<tolvane::Tensor> : public constructed_caster<tolvane::Tensor> {
 public:
  using constructed_caster<tolvane::Tensor>::cast;

  static handle cast(tolvane::Tensor&& src, return_value_policy /*policy*/, handle /*parent*/) {
    PyTypeObject* type = registered()->type;
    // alloc_or_throw: tp_alloc throws std::bad_alloc rather than return null.
    object self = reinterpret_steal<object>(type->tp_alloc(type, 0));
    auto* inst = reinterpret_cast<instance*>(self.ptr());
    inst->allocate_layout();
    inst->owned = true;
    value_and_holder v_h = inst->get_value_and_holder();
    tolvane::python::hold(v_h, std::move(src));
    return self.release();
  }
};
template <>
class type_caster<tolvane::Dtype> : public constructed_caster<tolvane::Dtype> {};
template <>
class type_caster<tolvane::Device> : public constructed_caster<tolvane::Device> {};

// The failure of a conversion from Python: a TypeError, or an OverflowError,
// refuses the argument (false); any other error is the caller's to see.
inline bool refuse_or_raise() {
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_OverflowError)) {
    throw error_already_set();
  }
  PyErr_Clear();
  return false;
}

// integer_entries: an integer, or an object with __index__, as a T; as
// Python's own indexing, nothing that is only convertible with __int__ (a
// NumPy float, a Decimal), which pybind11 would truncate. A TypeError, or an
// OverflowError for a value out of range, refuses the entry (false); any
// other error propagates.
template <typename T>
bool load_integer(handle src, T& out) {
  static_assert(std::is_integral_v<T> && sizeof(T) == sizeof(long long));
  PyObject* entry = src.ptr();
  object number;
  if (PyLong_Check(entry)) {
    number = reinterpret_borrow<object>(entry);
  } else if (PyIndex_Check(entry)) {
    number = reinterpret_steal<object>(PyNumber_Index(entry));
  } else {
    return false;
  }
  if (number) {
    if constexpr (std::is_unsigned_v<T>) {
      out = PyLong_AsUnsignedLongLong(number.ptr());
    } else {
      out = PyLong_AsLongLong(number.ptr());
    }
    if (out != static_cast<T>(-1) || PyErr_Occurred() == nullptr) return true;
  }
  return refuse_or_raise();
}

}  // namespace pybind11::detail
