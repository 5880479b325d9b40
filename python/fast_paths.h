#pragma once

// The module's entry points: every member of Tensor and the module's
// execute, each a fast path generated from the bound C++ function's signature
// (module.cpp binds each through FastPaths, which binds the pybind11 function
// and records its fast path in one step, so the two cannot drift apart).
//
// A fast path takes only arguments that need no user code to convert (exact
// lists and tuples of exact ints, Dtype and Device values, initialised
// tensors in pybind11's simple layout) and decides before it does anything
// lasting. Anything else is handed, unchanged, to the pybind11 function
// through CPython's call protocol, with its recursion check. Once it has taken
// a call it reports failures through pybind11's translation, so error types
// and messages are pybind11's, and nothing is ever run twice (`a + b` records
// one node, also when wrapping its result runs out of memory).
//
// method: the class entry becomes a CPython method descriptor over a
//   METH_FASTCALL | METH_KEYWORDS function (as NumPy's and the standard
//   library's methods are), with pybind11's name and docstring. CPython's
//   specialising interpreter calls it directly; recursion checks, profilers
//   (sys.setprofile, sys.monitoring), pickling by qualified name, inspect and
//   gc see a built-in method.
// getter: a read-only property becomes a getset descriptor with pybind11's
//   docstring.
// static method and function: a static method becomes a staticmethod over a
//   built-in function, and a module function a built-in function of the
//   module, both METH_FASTCALL | METH_KEYWORDS with pybind11's name and
//   docstring.
// results: a tensor is a new unregistered instance, a Dtype or Device its
//   enumeration's member (casters.h), anything else what pybind11 casts.
// constructor: the class is made with a vectorcall (pybind11's
//   class_vectorcall; its metaclass lets a class have one) that builds the
//   instance directly while the class and its metaclass are unchanged since
//   import (their version tags), so an assigned __init__ or __new__ is
//   obeyed; any other call goes to the metaclass, behind the recursion check
//   CPython makes before a tp_call.
//
// Builds with invariant checks (the test builds) read TOLVANE_PLAIN_PYBIND11
// at import, to switch fast paths off for bisecting a fault: `1` all of them,
// `0` none, or a comma-separated list of binding names (`__init__`, `shape`,
// `numel`, `zeros`, `execute`, ...); an unknown name fails the import.
// Release builds read no environment variable.

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/dtype.h"
#include "core/tensor.h"
#include "python/casters.h"

namespace tolvane::python {

namespace fast {

// An argument as a fast path converts it, from its parameter type in the
// binding's function: load() is false where the argument needs pybind11.
template <typename Param>
struct Arg;

template <>
struct Arg<const Tensor&> {
  const Tensor* value = nullptr;
  bool load(PyObject* object) {
    const auto& bound = classes();
    return bound && (value = bound->tensor.get(object)) != nullptr;
  }
  const Tensor& get() const { return *value; }
};

template <typename T>
struct Arg<const SmallList<T>&> {
  SmallList<T> value;
  bool load(PyObject* object) { return convert_exact_entries(object, value) == Entries::CONVERTED; }
  const SmallList<T>& get() const { return value; }
};

template <typename Enum, pybind11::simple_class<Enum> Classes::* Class>
struct EnumArg {
  Enum value{};
  bool load(PyObject* object) {
    const auto& bound = classes();
    const Enum* loaded = bound ? ((*bound).*Class).get(object) : nullptr;
    if (loaded != nullptr) value = *loaded;
    return loaded != nullptr;
  }
  Enum get() const { return value; }
};
template <>
struct Arg<Dtype> : EnumArg<Dtype, &Classes::dtype> {};
template <>
struct Arg<Device> : EnumArg<Device, &Classes::device> {};

// A result as a new reference; what a taken call throws becomes the Python
// error pybind11 would raise.
template <typename Work>
PyObject* taken(Work&& work) {
  try {
    using Result = decltype(work());
    if constexpr (std::is_void_v<Result>) {
      work();
      Py_RETURN_NONE;
    } else if constexpr (std::is_same_v<Result, Tensor>) {
      return wrap(work());
    } else if constexpr (std::is_same_v<Result, Dtype> || std::is_same_v<Result, Device>) {
      return member(work());
    } else if constexpr (std::is_base_of_v<pybind11::handle, Result>) {
      return work().release().ptr();
    } else {
      return pybind11::cast(work()).release().ptr();
    }
  } catch (...) {
    pybind11::translate_active_exception();
    return nullptr;
  }
}

// A fast path of binding function F: its arguments, loaded from the first
// `given` objects and, past them, from the trailing defaults.
template <auto F>
struct Call;

template <typename R, typename... Params, R (*F)(Params...)>
struct Call<F> {
  static constexpr std::size_t arity = sizeof...(Params);

  template <typename... Defaults>
  static bool run(PyObject* const* objects, std::size_t given, PyObject*& result,
                  const std::tuple<Defaults...>& defaults = {}) {
    return load_and_call(objects, given, result, defaults, std::index_sequence_for<Params...>{});
  }

 private:
  template <typename... Defaults, std::size_t... I>
  static bool load_and_call(PyObject* const* objects, std::size_t given, PyObject*& result,
                            const std::tuple<Defaults...>& defaults,
                            std::index_sequence<I...> /*all*/) {
    constexpr std::size_t first_default = arity - sizeof...(Defaults);
    if (given < first_default || given > arity) return false;
    std::tuple<Arg<Params>...> args;
    const auto load = [&]<std::size_t Index>(auto& arg,
                                             std::integral_constant<std::size_t, Index>) {
      if (Index < given) return arg.load(objects[Index]);
      if constexpr (Index >= first_default) arg.value = std::get<Index - first_default>(defaults);
      return true;
    };
    if (!(load(std::get<I>(args), std::integral_constant<std::size_t, I>{}) && ...)) return false;
    result = taken([&] { return F(std::get<I>(args).get()...); });
    return true;
  }
};

// The fallback of every method fast path: the pybind11 function, called with
// the receiver first.
PyObject* call_pybind11(PyObject* function, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);

// The pybind11 functions of the installed fast paths, in slots of their own.
template <auto F>
PyObject*& pybind11_function() {
  static PyObject* function = nullptr;  // a reference held for the process
  return function;
}

template <auto F>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  constexpr std::size_t arity = Call<F>::arity;
  if (kwnames == nullptr && static_cast<std::size_t>(nargs) + 1 == arity) {
    std::array<PyObject*, arity> objects{self};
    for (std::size_t i = 1; i < arity; ++i) objects[i] = args[i - 1];
    PyObject* result = nullptr;
    if (Call<F>::run(objects.data(), arity, result)) return result;
  }
  return call_pybind11(pybind11_function<F>(), self, args, nargs, kwnames);
}

template <auto F>
PyObject* getter(PyObject* self, void* /*closure*/) {
  PyObject* result = nullptr;
  if (Call<F>::run(&self, 1, result)) return result;
  return PyObject_CallOneArg(pybind11_function<F>(), self);
}

// The trailing defaults of a function that has none.
constexpr std::tuple<> no_defaults() { return {}; }

// A static method or a module function (whose `self` is its module).
template <auto F, auto Defaults>
PyObject* function(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* result = nullptr;
  if (kwnames == nullptr &&
      Call<F>::run(args, static_cast<std::size_t>(nargs), result, Defaults())) {
    return result;
  }
  return PyObject_Vectorcall(pybind11_function<F>(), args, static_cast<std::size_t>(nargs),
                             kwnames);
}

// The metaclass call of a class, for calls its vectorcall does not take.
PyObject* metaclass_call(PyObject* type, PyObject* const* args, std::size_t nargsf,
                         PyObject* kwnames);

// Whether Tensor and its metaclass are as they were at import.
bool tensor_unchanged(PyTypeObject* type);

template <auto F, auto Defaults>
PyObject* constructor(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                      PyObject* kwnames) {
  auto* type = reinterpret_cast<PyTypeObject*>(callable);
  PyObject* result = nullptr;
  if (kwnames == nullptr && tensor_unchanged(type) &&
      Call<F>::run(args, static_cast<std::size_t>(PyVectorcall_NARGS(nargsf)), result,
                   Defaults())) {
    return result;
  }
  if (Py_EnterRecursiveCall(" while calling a Python object") != 0) return nullptr;
  result = metaclass_call(callable, args, nargsf, kwnames);
  Py_LeaveRecursiveCall();
  return result;
}

}  // namespace fast

// Binds Tensor's members that have fast paths, recording each fast path
// beside its binding; install() puts them in place once the class is bound,
// and commit() makes them the ones the module's calls use.
class FastPaths {
 public:
  struct Recorded {
    enum Kind { METHOD, GETTER, CONSTRUCTOR, STATIC, FUNCTION } kind;
    const char* name;
    PyObject** function;  // where the pybind11 function is kept
    void (*fast)();       // the method, getter or vectorcall function
  };

 private:
  pybind11::class_<Tensor> cls_;
  pybind11::module_ module_;
  std::vector<Recorded> entries_;
  // What install() made, for commit() to put in the fast paths' slots.
  std::vector<std::pair<PyObject**, PyObject*>> functions_;
  std::optional<std::pair<unsigned int, unsigned int>> versions_;

  static bool constructor_switched_off();

 public:
  // The class's vectorcall, given as the class is made: the fast path of the
  // constructor that constructor<F, Defaults> binds (install() checks that
  // they agree), or none where the test builds' switch turns it off.
  template <auto F, auto Defaults>
  static pybind11::class_vectorcall vectorcall() {
    return pybind11::class_vectorcall(constructor_switched_off() ? nullptr
                                                                 : &fast::constructor<F, Defaults>);
  }

  explicit FastPaths(pybind11::class_<Tensor> cls) : cls_(std::move(cls)) {}

  template <auto F, typename... Extra>
  FastPaths& method(const char* name, const Extra&... extra) {
    cls_.def(name, F, extra...);
    entries_.push_back({Recorded::METHOD, name, &fast::pybind11_function<F>(),
                        reinterpret_cast<void (*)()>(&fast::method<F>)});
    return *this;
  }

  template <auto F>
  FastPaths& getter(const char* name) {
    cls_.def_property_readonly(name, F);
    entries_.push_back({Recorded::GETTER, name, &fast::pybind11_function<F>(),
                        reinterpret_cast<void (*)()>(&fast::getter<F>)});
    return *this;
  }

  // A static method whose trailing parameters have the defaults `Defaults`
  // returns, which the binding's arguments (`extra`) give too.
  template <auto F, auto Defaults, typename... Extra>
  FastPaths& static_method(const char* name, const Extra&... extra) {
    cls_.def_static(name, F, extra...);
    entries_.push_back({Recorded::STATIC, name, &fast::pybind11_function<F>(),
                        reinterpret_cast<void (*)()>(&fast::function<F, Defaults>)});
    return *this;
  }

  // A function of the module `m`.
  template <auto F, typename... Extra>
  FastPaths& function(pybind11::module_& m, const char* name, const Extra&... extra) {
    m.def(name, F, extra...);
    module_ = m;
    entries_.push_back({Recorded::FUNCTION, name, &fast::pybind11_function<F>(),
                        reinterpret_cast<void (*)()>(&fast::function<F, &fast::no_defaults>)});
    return *this;
  }

  // `Defaults` returns the values of the trailing parameters that have
  // defaults, which the binding's arguments (`extra`) give too.
  template <auto F, auto Defaults, typename... Extra>
  FastPaths& constructor(const Extra&... extra) {
    cls_.def(pybind11::init_value(F), extra...);
    entries_.push_back({Recorded::CONSTRUCTOR, "__init__", nullptr,
                        reinterpret_cast<void (*)()>(&fast::constructor<F, Defaults>)});
    return *this;
  }

  // Replaces the bound members by their fast paths, except those the test
  // builds' switch turns off. What the fast paths share across calls (the
  // pybind11 functions they fall back on, the class's version tags) stays
  // as it was until commit().
  void install();

  // Makes the installed fast paths' functions and version tags the ones in
  // use; called once the module body has succeeded, so that a failed load
  // leaves a working module's untouched.
  void commit() noexcept;
};

}  // namespace tolvane::python
