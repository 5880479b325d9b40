#include "python/guards.h"

#include <pybind11/pybind11.h>

#include <cstddef>
#include <new>

namespace py = pybind11;

namespace tolvane::python {

namespace {

// For types that must not be instantiated from Python: pybind11's bare base
// type, and the type of its function records, whose own tp_new ends the
// process (`type(execute.__self__)()`).
extern "C" PyObject* refuse_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
  PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
  return nullptr;
}

// pybind11 uses what tp_alloc returns without a check when it wraps a value
// that a binding returns; throwing instead reaches its dispatcher, which
// raises MemoryError.
PyObject* alloc_or_throw(PyTypeObject* type, Py_ssize_t items) {
  PyObject* self = PyType_GenericAlloc(type, items);
  if (self == nullptr) {
    PyErr_Clear();
    throw std::bad_alloc();
  }
  return self;
}

// In place of pybind11's tp_new, which lets a C++ exception escape into the
// interpreter (std::terminate) and does not check its allocation.
extern "C" PyObject* checked_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
  PyObject* self = nullptr;
  try {
    // pybind11_object itself, which copyreg calls when pickling under
    // protocols 0 and 1. Refused before allocating: pybind11 cannot
    // deallocate an instance of a type with no registered class.
    if (py::detail::all_type_info(type).empty()) return refuse_new(type, nullptr, nullptr);
    self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<py::detail::instance*>(self)->allocate_layout();
    return self;
  } catch (...) {
    if (self != nullptr) {
      // A layout that failed half-way is released as an empty simple one.
      auto* inst = reinterpret_cast<py::detail::instance*>(self);
      inst->simple_layout = true;
      inst->simple_value_holder[0] = nullptr;
      inst->simple_holder_constructed = false;
      inst->simple_instance_registered = false;
      Py_DECREF(self);
    }
    py::detail::try_translate_exceptions();
    return nullptr;
  }
}

using Dispatcher = PyObject* (*)(PyObject*, PyObject* const*, std::size_t, PyObject*);

// pybind11's dispatcher, the same function behind every pybind11 function.
Dispatcher pybind11_dispatcher = nullptr;

PyObject* guarded_dispatcher(PyObject* self, PyObject* const* args, std::size_t nargsf,
                             PyObject* kwnames) {
  try {
    return pybind11_dispatcher(self, args, nargsf, kwnames);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "a C++ exception escaped pybind11's dispatcher");
  }
  return nullptr;
}

void guard_function(py::handle function) {
  if (!function || !PyCFunction_Check(function.ptr())) return;
  if (py::detail::function_record_ptr_from_PyObject(PyCFunction_GET_SELF(function.ptr())) ==
      nullptr) {
    return;  // not pybind11's
  }
  PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(function.ptr())->m_ml;
  auto* meth = reinterpret_cast<Dispatcher>(reinterpret_cast<void (*)()>(def->ml_meth));
  if (meth == guarded_dispatcher) return;
  pybind11_dispatcher = meth;
  def->ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded_dispatcher));
}

// A class attribute: a function, or one held by a method, static method or
// property (pybind11's static properties are properties too).
void guard_attribute(py::handle value) {
  if (PyInstanceMethod_Check(value.ptr())) {
    guard_function(PyInstanceMethod_GET_FUNCTION(value.ptr()));
  } else if (py::isinstance<py::staticmethod>(value)) {
    guard_function(value.attr("__func__"));
  } else if (PyObject_TypeCheck(value.ptr(), &PyProperty_Type)) {
    for (const char* accessor : {"fget", "fset", "fdel"}) guard_function(value.attr(accessor));
  } else {
    guard_function(value);
  }
}

}  // namespace

void guard_dispatch(py::module_& module) {
  for (const auto item : module.attr("__dict__").cast<py::dict>()) {
    const py::handle value = item.second;
    if (PyType_Check(value.ptr())) {
      for (const auto attribute : value.attr("__dict__").attr("values")())
        guard_attribute(attribute);
    } else {
      guard_attribute(value);
    }
  }
}

void guard_instance_creation() {
  auto* base = reinterpret_cast<PyTypeObject*>(py::detail::get_internals().instance_base);
  base->tp_new = checked_new;
  base->tp_alloc = alloc_or_throw;
  PyType_Modified(base);

  // Its __init__ would end the process too: without it, object's applies.
  PyTypeObject* record = py::detail::get_function_record_PyTypeObject();
  record->tp_new = refuse_new;
  if (PyObject_DelAttrString(reinterpret_cast<PyObject*>(record), "__init__") != 0) {
    throw py::error_already_set();
  }
}

void prepare_exception_state() {
  try {
    throw std::bad_alloc();
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace tolvane::python
