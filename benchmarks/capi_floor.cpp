// The C-API floor: a hand-written CPython binding of the same core for
// Tensor(shape, dtype=0, device=0), `shape`, `view`, `reshape` and `a + b`,
// built like the module. Construction is the type's vectorcall, the methods
// are METH_FASTCALL | METH_KEYWORDS, `shape` a getset and `+` the nb_add
// slot; it converts shapes and dims as the module does (a sequence of int or
// __index__ entries into a fixed array, the rank left to Shape) and calls
// the same core code, with the tensor handle inline in the object. dtype and
// device are plain integers here: the floor has no enumeration types.
// Errors are reported, not matched to the module's texts.

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "core/tensor.h"
#include "graph/ops.h"

namespace {

struct TensorObject {
  PyObject_HEAD tolvane::Tensor value;
};

PyTypeObject* tensor_type = nullptr;

// Sets a Python error for the C++ exception being handled.
void raise_current() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::invalid_argument& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::length_error& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
}

PyObject* wrap(tolvane::Tensor&& value) {
  auto* self = reinterpret_cast<TensorObject*>(tensor_type->tp_alloc(tensor_type, 0));
  if (self == nullptr) return nullptr;
  new (&self->value) tolvane::Tensor(std::move(value));
  return reinterpret_cast<PyObject*>(self);
}

template <typename T>
struct Entries {
  std::array<T, tolvane::MAX_RANK + 1> items{};
  std::size_t size = 0;
  std::span<const T> span() const { return {items.data(), size}; }
};

// A sequence of int or __index__ entries; false with TypeError otherwise.
template <typename T>
bool load(PyObject* seq, Entries<T>& out) {
  if (PyUnicode_Check(seq) || PyBytes_Check(seq) || !PySequence_Check(seq)) {
    PyErr_SetString(PyExc_TypeError, "expected a sequence of integers");
    return false;
  }
  PyObject* fast = PySequence_Fast(seq, "expected a sequence of integers");
  if (fast == nullptr) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
  PyObject** items = PySequence_Fast_ITEMS(fast);
  bool ok = true;
  for (Py_ssize_t i = 0; i < n && ok; ++i) {
    PyObject* number = PyNumber_Index(items[i]);
    if (number == nullptr) {
      ok = false;
      break;
    }
    T value{};
    if constexpr (std::is_unsigned_v<T>) {
      value = PyLong_AsUnsignedLongLong(number);
    } else {
      value = PyLong_AsLongLong(number);
    }
    Py_DECREF(number);
    if (value == static_cast<T>(-1) && PyErr_Occurred() != nullptr) {
      ok = false;
      break;
    }
    if (out.size < out.items.size()) out.items[out.size++] = value;
  }
  Py_DECREF(fast);
  return ok;
}

PyObject* tensor_vectorcall(PyObject* /*type*/, PyObject* const* args, std::size_t nargsf,
                            PyObject* kwnames) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs < 1 || nargs > 3 || kwnames != nullptr) {
    PyErr_SetString(PyExc_TypeError, "Tensor(shape, dtype=0, device=0)");
    return nullptr;
  }
  Entries<std::size_t> shape;
  if (!load(args[0], shape)) return nullptr;
  const long dtype = nargs > 1 ? PyLong_AsLong(args[1]) : 0;
  const long device = nargs > 2 ? PyLong_AsLong(args[2]) : 0;
  if (PyErr_Occurred() != nullptr) return nullptr;
  try {
    return wrap(tolvane::Tensor(tolvane::Shape(shape.span()), static_cast<tolvane::Dtype>(dtype),
                                static_cast<tolvane::Device>(device)));
  } catch (...) {
    raise_current();
    return nullptr;
  }
}

void tensor_dealloc(PyObject* self) {
  reinterpret_cast<TensorObject*>(self)->value.~Tensor();
  Py_TYPE(self)->tp_free(self);
}

PyObject* shape_get(PyObject* self, void* /*closure*/) {
  const tolvane::Shape& shape = reinterpret_cast<TensorObject*>(self)->value.shape();
  PyObject* list = PyList_New(shape.rank());
  if (list == nullptr) return nullptr;
  for (int i = 0; i < shape.rank(); ++i) {
    PyObject* entry = PyLong_FromSize_t(shape[i]);
    if (entry == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, i, entry);
  }
  return list;
}

template <bool View>
PyObject* layout(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != 1 || kwnames != nullptr) {
    PyErr_SetString(PyExc_TypeError, "expected dims");
    return nullptr;
  }
  Entries<std::int64_t> dims;
  if (!load(args[0], dims)) return nullptr;
  try {
    const tolvane::Tensor& t = reinterpret_cast<TensorObject*>(self)->value;
    return wrap(View ? t.view(dims.span()) : t.reshape(dims.span()));
  } catch (...) {
    raise_current();
    return nullptr;
  }
}

PyObject* tensor_add(PyObject* left, PyObject* right) {
  if (!PyObject_TypeCheck(left, tensor_type) || !PyObject_TypeCheck(right, tensor_type)) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  try {
    return wrap(tolvane::add(reinterpret_cast<TensorObject*>(left)->value,
                             reinterpret_cast<TensorObject*>(right)->value));
  } catch (...) {
    raise_current();
    return nullptr;
  }
}

PyMethodDef methods[] = {
    {"view", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(layout<true>)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"reshape", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(layout<false>)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef getset[] = {{"shape", shape_get, nullptr, nullptr, nullptr},
                        {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(tensor_dealloc)},
                       {Py_tp_methods, methods},
                       {Py_tp_getset, getset},
                       {Py_nb_add, reinterpret_cast<void*>(tensor_add)},
                       {0, nullptr}};

PyType_Spec tensor_spec{"_capi_floor.Tensor", sizeof(TensorObject), 0, Py_TPFLAGS_DEFAULT, slots};

PyModuleDef module{
    PyModuleDef_HEAD_INIT, "_capi_floor", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__capi_floor() {
  PyObject* m = PyModule_Create(&module);
  if (m == nullptr) return nullptr;
  tensor_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&tensor_spec));
  if (tensor_type == nullptr) {
    Py_DECREF(m);
    return nullptr;
  }
  tensor_type->tp_vectorcall = tensor_vectorcall;
  if (PyModule_AddObjectRef(m, "Tensor", reinterpret_cast<PyObject*>(tensor_type)) < 0) {
    Py_DECREF(m);
    return nullptr;
  }
  return m;
}
