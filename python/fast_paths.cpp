#include "python/fast_paths.h"

#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/dtype.h"
#include "core/shape.h"
#include "core/tensor.h"
#include "graph/ops.h"
#include "python/casters.h"

namespace py = pybind11;
using py::detail::instance;

namespace tolvane::python {

namespace {

// The C function behind every pybind11 function (METH_FASTCALL |
// METH_KEYWORDS, with the function record as its self).
using Dispatcher = PyObject* (*)(PyObject*, PyObject* const*, std::size_t, PyObject*);

constexpr int FAST_FLAGS = METH_FASTCALL | METH_KEYWORDS;
constexpr const char* RECURSION = " while calling a Python object";

[[noreturn]] void precondition_failed(const char* fast_path, const std::string& what) {
  throw py::import_error(std::string("pybind11 fast path ") + fast_path + ": " + what +
                         " (see python/fast_paths.h)");
}

struct State {
  PyTypeObject* tensor = nullptr;
  PyTypeObject* dtype = nullptr;
  PyTypeObject* device = nullptr;
  unsigned int tensor_version = 0;
  unsigned int metaclass_version = 0;
  Dispatcher dispatcher = nullptr;  // pybind11's
};
State state;

// The tensor of an initialised Tensor (or Python subclass) in the simple
// layout, or null.
const Tensor* simple_tensor(PyObject* object) {
  if (Py_TYPE(object) != state.tensor && !PyType_IsSubtype(Py_TYPE(object), state.tensor)) {
    return nullptr;
  }
  auto* inst = reinterpret_cast<instance*>(object);
  if (!inst->simple_layout || !inst->simple_holder_constructed) return nullptr;
  return static_cast<const Tensor*>(inst->simple_value_holder[0]);
}

// An exact value of an enumeration, or false.
template <typename Enum>
bool exact_enum(PyObject* object, PyTypeObject* type, Enum& out) {
  if (Py_TYPE(object) != type) return false;
  auto* inst = reinterpret_cast<instance*>(object);
  if (!inst->simple_layout || !inst->simple_holder_constructed) return false;
  out = *static_cast<const Enum*>(inst->simple_value_holder[0]);
  return true;
}

// Runs a call a fast path has taken: whatever it throws is reported as
// pybind11's dispatcher reports it.
template <typename Work>
PyObject* taken(Work&& work) {
  try {
    return work();
  } catch (...) {
    py::detail::try_translate_exceptions();
    return nullptr;
  }
}

// ---- shape, view, reshape, add -------------------------------------------------

// The fast paths' own functions are called as METH_FASTCALL | METH_KEYWORDS
// functions over pybind11's function record, and hand anything they do not
// take to pybind11's dispatcher as it is.
PyObject* call_pybind11(PyObject* record, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return state.dispatcher(record, args, static_cast<std::size_t>(nargs), kwnames);
}

PyObject* fast_shape(PyObject* record, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Tensor* self = nargs == 1 && kwnames == nullptr ? simple_tensor(args[0]) : nullptr;
  if (self == nullptr) return call_pybind11(record, args, nargs, kwnames);
  return taken([self] { return to_list(self->shape()).release().ptr(); });
}

template <Tensor (Tensor::*Layout)(std::span<const std::int64_t>) const>
PyObject* fast_layout(PyObject* record, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  const Tensor* self = nargs == 2 && kwnames == nullptr ? simple_tensor(args[0]) : nullptr;
  Dims dims;
  if (self == nullptr || convert_exact_entries(args[1], dims) != Entries::CONVERTED) {
    return call_pybind11(record, args, nargs, kwnames);
  }
  return taken([self, &dims] { return wrap((self->*Layout)(dims.span())); });
}

PyObject* fast_add(PyObject* record, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const bool two = nargs == 2 && kwnames == nullptr;
  const Tensor* left = two ? simple_tensor(args[0]) : nullptr;
  const Tensor* right = left != nullptr ? simple_tensor(args[1]) : nullptr;
  if (right == nullptr) return call_pybind11(record, args, nargs, kwnames);
  return taken([left, right] { return wrap(add(*left, *right)); });
}

// ---- the class entries ----------------------------------------------------------

// A built-in function over a pybind11 function record that binds to an
// instance as instancemethod does. From the class it reads as pybind11's
// entry reads, an instancemethod (whose calls profilers do not see as C
// calls, as with plain pybind11).
PyObject* entry_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
  if (obj == nullptr) return PyInstanceMethod_New(self);
  return PyMethod_New(self, obj);
}

PyObject* entry_repr(PyObject* self) {
  const PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(self)->m_ml;
  return PyUnicode_FromFormat("<instancemethod %s at %p>", def->ml_name, self);
}

// Equal to the instancemethod the class shows for it, as pybind11's entry is
// to itself.
PyObject* entry_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op == Py_EQ || op == Py_NE) && PyInstanceMethod_Check(other) &&
      PyInstanceMethod_GET_FUNCTION(other) == self) {
    return PyBool_FromLong(static_cast<long>(op == Py_EQ));
  }
  return PyCFunction_Type.tp_richcompare(self, other, op);
}

// Called with the instance first, it is its own __func__.
PyObject* entry_func(PyObject* self, void* /*closure*/) { return Py_NewRef(self); }

PyObject* entry_doc(PyObject* self, void* /*closure*/) {
  const char* doc = reinterpret_cast<PyCFunctionObject*>(self)->m_ml->ml_doc;
  if (doc == nullptr) Py_RETURN_NONE;
  return PyUnicode_FromString(doc);
}

PyGetSetDef entry_getset[] = {{"__func__", entry_func, nullptr, nullptr, nullptr},
                              {"__doc__", entry_doc, nullptr, nullptr, nullptr},
                              {nullptr, nullptr, nullptr, nullptr, nullptr}};

// A static type, as builtin_function_or_method is.
PyTypeObject entry_type = []() noexcept {
  PyTypeObject type{};
  const PyVarObject head[] = {PyVarObject_HEAD_INIT(nullptr, 0)};  // immortal, as static types are
  type.ob_base = head[0];
  return type;
}();

PyTypeObject* ready_entry_type() {
  if (entry_type.tp_name != nullptr) return &entry_type;
  entry_type.tp_name = "instancemethod";
  entry_type.tp_doc =
      "A method of a _tolvane class: a built-in function that binds to an instance\n"
      "as instancemethod does. Called with the instance first, it is the bound method.";
  entry_type.tp_base = &PyCFunction_Type;
  entry_type.tp_basicsize = sizeof(PyCFunctionObject);
  entry_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
                        Py_TPFLAGS_DISALLOW_INSTANTIATION;
  entry_type.tp_traverse = PyCFunction_Type.tp_traverse;
  entry_type.tp_clear = PyCFunction_Type.tp_clear;
  entry_type.tp_descr_get = entry_descr_get;
  entry_type.tp_repr = entry_repr;
  entry_type.tp_richcompare = entry_richcompare;
  entry_type.tp_hash = PyCFunction_Type.tp_hash;
  entry_type.tp_getset = entry_getset;
  if (PyType_Ready(&entry_type) != 0) throw py::error_already_set();
  if (entry_type.tp_vectorcall_offset != PyCFunction_Type.tp_vectorcall_offset ||
      entry_type.tp_dealloc != PyCFunction_Type.tp_dealloc) {
    precondition_failed("view", "the method entry type does not behave as a built-in function");
  }
  return &entry_type;
}

// The C function records of the fast paths, one each (CPython keeps a
// pointer to them).
struct FastFunction {
  const char* fast_path;
  const char* name;
  std::size_t arity;
  bool property;  // the getter of a property, else an instance method
  PyCFunctionFastWithKeywords fast;
  PyMethodDef def{};
};
std::array<FastFunction, 4> fast_functions = {{
    {"shape", "shape", 1, true, fast_shape},
    {"view", "view", 2, false, fast_layout<&Tensor::view>},
    {"reshape", "reshape", 2, false, fast_layout<&Tensor::reshape>},
    {"add", "__add__", 2, false, fast_add},
}};

// The pybind11 function behind Tensor's attribute `name`: an instance
// method's function, or a property's getter.
py::object pybind11_function(const FastFunction& f) {
  PyObject* attribute = PyDict_GetItemString(state.tensor->tp_dict, f.name);  // borrowed
  py::object function;
  if (attribute != nullptr && !f.property && PyInstanceMethod_Check(attribute)) {
    function = py::reinterpret_borrow<py::object>(PyInstanceMethod_GET_FUNCTION(attribute));
  } else if (attribute != nullptr && f.property &&
             PyObject_TypeCheck(attribute, &PyProperty_Type)) {
    function = py::reinterpret_borrow<py::object>(attribute).attr("fget");
  }
  if (!function || !PyCFunction_Check(function.ptr()) ||
      PyCFunction_GET_FLAGS(function.ptr()) != FAST_FLAGS) {
    precondition_failed(f.fast_path, std::string(f.name) + " is not a fastcall built-in function");
  }
  const py::detail::function_record* record =
      py::detail::function_record_ptr_from_PyObject(PyCFunction_GET_SELF(function.ptr()));
  // (pybind11 leaves a property's getter unnamed.)
  if (record == nullptr || std::strcmp(record->name, f.property ? "" : f.name) != 0 ||
      record->nargs != f.arity || record->next != nullptr) {
    precondition_failed(f.fast_path,
                        std::string(f.name) + " is not the pybind11 function expected");
  }
  const auto meth = reinterpret_cast<Dispatcher>(
      reinterpret_cast<void (*)()>(PyCFunction_GET_FUNCTION(function.ptr())));
  if (state.dispatcher == nullptr) state.dispatcher = meth;
  if (meth != state.dispatcher) {
    precondition_failed(f.fast_path,
                        std::string(f.name) + " is not served by pybind11's dispatcher");
  }
  return function;
}

// Tensor's attribute for `f` becomes a function of the module's over the same
// pybind11 function record, with pybind11's name and docstring.
void install_function(FastFunction& f) {
  const py::object function = pybind11_function(f);
  const auto* original = reinterpret_cast<PyCFunctionObject*>(function.ptr());
  f.def = {original->m_ml->ml_name,
           reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f.fast)), FAST_FLAGS,
           original->m_ml->ml_doc};
  PyObject* record = original->m_self;
  PyObject* module = original->m_module;
  py::object attribute;
  if (f.property) {
    const auto getter =
        py::reinterpret_steal<py::object>(PyCFunction_NewEx(&f.def, record, module));
    if (!getter) throw py::error_already_set();
    const py::object old =
        py::reinterpret_borrow<py::object>(PyDict_GetItemString(state.tensor->tp_dict, f.name));
    attribute = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyProperty_Type))(
        getter, py::none(), py::none(), old.attr("__doc__"));
  } else {
    auto* entry = PyObject_GC_New(PyCFunctionObject, ready_entry_type());
    if (entry == nullptr) throw py::error_already_set();
    entry->m_ml = &f.def;
    entry->m_self = Py_NewRef(record);
    entry->m_module = Py_XNewRef(module);
    entry->m_weakreflist = nullptr;
    entry->vectorcall = original->vectorcall;  // CPython's call of a fastcall function
    PyObject_GC_Track(entry);
    attribute = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(entry));
  }
  // Through the type's own setattr, which keeps its slots and caches right.
  if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(state.tensor), f.name, attribute.ptr()) !=
      0) {
    throw py::error_already_set();
  }
}

// ---- construct -------------------------------------------------------------------

// The call as the metaclass takes it: an argument tuple and a keyword dict.
// They are held by plain pointers, not objects with destructors: a daemon
// thread that wakes in the metaclass call after finalisation is ended by
// forced unwinding, which must not release them without a thread state.
PyObject* metaclass_call(PyObject* type, PyObject* const* args, std::size_t nargsf,
                         PyObject* kwnames) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  PyObject* positional = PyTuple_New(nargs);
  if (positional == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    PyTuple_SET_ITEM(positional, i, Py_NewRef(args[i]));
  }
  PyObject* keywords = nullptr;
  if (kwnames != nullptr) {
    keywords = PyDict_New();
    for (Py_ssize_t i = 0; keywords != nullptr && i < PyTuple_GET_SIZE(kwnames); ++i) {
      if (PyDict_SetItem(keywords, PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) != 0) {
        Py_CLEAR(keywords);
      }
    }
    if (keywords == nullptr) {
      Py_DECREF(positional);
      return nullptr;
    }
  }
  PyObject* result = Py_TYPE(type)->tp_call(type, positional, keywords);
  Py_DECREF(positional);
  Py_XDECREF(keywords);
  return result;
}

// A call the fast path does not take goes to the metaclass, behind the
// recursion check that CPython makes before a tp_call. One it takes runs no
// user code and cannot recurse; CPython makes no check before a vectorcall
// either.
PyObject* fast_construct(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                         PyObject* kwnames) {
  auto* type = reinterpret_cast<PyTypeObject*>(callable);
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  Extents shape;
  Dtype dtype = Dtype::FLOAT32;
  Device device = Device::CPU;
  // A type changed since import (an assigned __init__ or __new__, say) is
  // called as its metaclass calls it.
  if (type == state.tensor && type->tp_version_tag == state.tensor_version &&
      Py_TYPE(type)->tp_version_tag == state.metaclass_version && kwnames == nullptr &&
      nargs >= 1 && nargs <= 3 && convert_exact_entries(args[0], shape) == Entries::CONVERTED &&
      (nargs < 2 || exact_enum(args[1], state.dtype, dtype)) &&
      (nargs < 3 || exact_enum(args[2], state.device, device))) {
    return taken([&] { return wrap(Tensor(Shape(shape.span()), dtype, device)); });
  }
  if (Py_EnterRecursiveCall(RECURSION) != 0) return nullptr;
  PyObject* result = metaclass_call(callable, args, nargsf, kwnames);
  Py_LeaveRecursiveCall();
  return result;
}

void install_construct() {
  PyTypeObject* type = state.tensor;
  PyTypeObject* metaclass = Py_TYPE(type);
  if (metaclass->tp_call != py::detail::pybind11_meta_call) {
    precondition_failed("construct", "the metaclass call is not pybind11's");
  }
  if (type->tp_vectorcall != nullptr) precondition_failed("construct", "Tensor has a vectorcall");
  constexpr auto offset = static_cast<Py_ssize_t>(offsetof(PyTypeObject, tp_vectorcall));
  if ((metaclass->tp_flags & Py_TPFLAGS_HAVE_VECTORCALL) != 0 &&
      metaclass->tp_vectorcall_offset != offset) {
    precondition_failed("construct", "the metaclass has a vectorcall of its own");
  }
  // Types of this metaclass are now called through their tp_vectorcall where
  // they have one; only Tensor has.
  metaclass->tp_vectorcall_offset = offset;
  metaclass->tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
  type->tp_vectorcall = fast_construct;
  if (PyUnstable_Type_AssignVersionTag(type) == 0 ||
      PyUnstable_Type_AssignVersionTag(metaclass) == 0) {
    precondition_failed("construct", "no version tag for Tensor or its metaclass");
  }
  state.tensor_version = type->tp_version_tag;
  state.metaclass_version = metaclass->tp_version_tag;
}

// ---- checks and installation ---------------------------------------------------

PyTypeObject* registered(const std::type_info& type, const char* name) {
  const py::detail::type_info* info = py::detail::get_type_info(type);
  if (info == nullptr || !info->simple_type || info->holder_size_in_ptrs != 1) {
    precondition_failed("construct", std::string(name) + " is not a simple pybind11 class");
  }
  return info->type;
}

// The empty instance the fast paths build results in, against the one
// pybind11 builds for Tensor, field by field.
void check_layout() {
  const auto ours = py::reinterpret_steal<py::object>(new_tensor_object());
  const auto theirs =
      py::reinterpret_steal<py::object>(py::detail::make_new_instance(state.tensor));
  const auto* a = reinterpret_cast<const instance*>(ours.ptr());
  const auto* b = reinterpret_cast<const instance*>(theirs.ptr());
  const bool same = Py_TYPE(ours.ptr()) == Py_TYPE(theirs.ptr()) &&
                    Py_REFCNT(ours.ptr()) == Py_REFCNT(theirs.ptr()) &&
                    a->simple_layout == b->simple_layout && a->owned == b->owned &&
                    a->simple_holder_constructed == b->simple_holder_constructed &&
                    a->simple_instance_registered == b->simple_instance_registered &&
                    a->has_patients == b->has_patients && a->is_alias == b->is_alias &&
                    a->weakrefs == b->weakrefs &&
                    std::equal(std::begin(a->simple_value_holder), std::end(a->simple_value_holder),
                               std::begin(b->simple_value_holder));
  if (!same) {
    precondition_failed("construct", "a Tensor result is not laid out as pybind11 lays it out");
  }
}

// The fast paths TOLVANE_PLAIN_PYBIND11 switches off: none (unset, empty or
// "0"), all ("1"), or those it names, separated by commas; an unknown name
// fails the import.
class SwitchedOff {
 public:
  SwitchedOff() {
    const char* value = std::getenv("TOLVANE_PLAIN_PYBIND11");
    const std::string_view list = value != nullptr ? value : "";
    all_ = list == "1";
    if (list.empty() || list == "0" || all_) return;
    for (std::size_t start = 0; start <= list.size();) {
      const std::size_t end = std::min(list.find(',', start), list.size());
      const std::string_view name = list.substr(start, end - start);
      bool known = name == "construct";
      for (const FastFunction& f : fast_functions) known = known || name == f.fast_path;
      if (!known) {
        throw py::import_error("TOLVANE_PLAIN_PYBIND11: no fast path is named '" +
                               std::string(name) +
                               "' (construct, shape, view, reshape, add; 1 for all, 0 for none)");
      }
      names_.push_back(name);
      start = end + 1;
    }
  }

  bool operator()(std::string_view name) const {
    return all_ || std::find(names_.begin(), names_.end(), name) != names_.end();
  }

 private:
  bool all_ = false;
  std::vector<std::string_view> names_;  // views of the environment value, read at import
};

}  // namespace

void install_fast_paths(py::module_& module) {
  const SwitchedOff switched_off;
  state.tensor = registered(typeid(Tensor), "Tensor");
  state.dtype = registered(typeid(Dtype), "Dtype");
  state.device = registered(typeid(Device), "Device");
  if (module.attr("Tensor").ptr() != reinterpret_cast<PyObject*>(state.tensor)) {
    precondition_failed("construct", "the module's Tensor is not the registered class");
  }
  check_layout();
  for (FastFunction& f : fast_functions) {
    if (!switched_off(f.fast_path)) install_function(f);
  }
  if (!switched_off("construct")) install_construct();
}

}  // namespace tolvane::python
