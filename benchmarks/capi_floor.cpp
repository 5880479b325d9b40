// The C-API floor: a hand-written CPython binding of the same core for every
// member of the module's Tensor and for execute, built like the module and
// written as CPython's own types are: construction is the type's vectorcall,
// `zeros` and `ones` METH_STATIC functions, the properties getsets, the
// methods METH_NOARGS, or METH_FASTCALL | METH_KEYWORDS where they take
// arguments, repr and `+` the tp_repr and nb_add slots, and execute a METH_O
// function. It converts shapes and dims as the module does (a sequence of int
// or __index__ entries into a fixed array, the rank left to Shape) and calls
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
#include <string>
#include <type_traits>
#include <utility>

#include "core/dtype.h"
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

// Tensor(shape, dtype=0, device=0) and the factories of the same arguments.
template <tolvane::Tensor (*Make)(const tolvane::Shape&, tolvane::Dtype, tolvane::Device)>
PyObject* make(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs < 1 || nargs > 3 || kwnames != nullptr) {
    PyErr_SetString(PyExc_TypeError, "(shape, dtype=0, device=0)");
    return nullptr;
  }
  Entries<std::size_t> shape;
  if (!load(args[0], shape)) return nullptr;
  const long dtype = nargs > 1 ? PyLong_AsLong(args[1]) : 0;
  const long device = nargs > 2 ? PyLong_AsLong(args[2]) : 0;
  if (PyErr_Occurred() != nullptr) return nullptr;
  try {
    return wrap(Make(tolvane::Shape(shape.span()), static_cast<tolvane::Dtype>(dtype),
                     static_cast<tolvane::Device>(device)));
  } catch (...) {
    raise_current();
    return nullptr;
  }
}

tolvane::Tensor construct(const tolvane::Shape& shape, tolvane::Dtype dtype,
                          tolvane::Device device) {
  return tolvane::Tensor(shape, dtype, device);
}

PyObject* tensor_vectorcall(PyObject* /*type*/, PyObject* const* args, std::size_t nargsf,
                            PyObject* kwnames) {
  return make<&construct>(args, PyVectorcall_NARGS(nargsf), kwnames);
}

template <tolvane::Tensor (*Make)(const tolvane::Shape&, tolvane::Dtype, tolvane::Device)>
PyObject* factory(PyObject* /*unused*/, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
  return make<Make>(args, nargs, kwnames);
}

const tolvane::Tensor& value_of(PyObject* self) {
  return reinterpret_cast<TensorObject*>(self)->value;
}

PyObject* list_of(const tolvane::Shape& shape) {
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

PyObject* strides_get(PyObject* self, void* /*closure*/) {
  return list_of(value_of(self).strides());
}
PyObject* dtype_get(PyObject* self, void* /*closure*/) {
  return PyLong_FromLong(static_cast<long>(value_of(self).dtype()));
}
PyObject* device_get(PyObject* self, void* /*closure*/) {
  return PyLong_FromLong(static_cast<long>(value_of(self).device()));
}
PyObject* offset_get(PyObject* self, void* /*closure*/) {
  return PyLong_FromSize_t(value_of(self).offset());
}
PyObject* numel(PyObject* self, PyObject* /*unused*/) {
  return PyLong_FromLongLong(value_of(self).numel());
}
PyObject* nbytes(PyObject* self, PyObject* /*unused*/) {
  return PyLong_FromSize_t(value_of(self).nbytes());
}
PyObject* allocated(PyObject* self, PyObject* /*unused*/) {
  return PyBool_FromLong(value_of(self).allocated() ? 1 : 0);
}
PyObject* is_contiguous(PyObject* self, PyObject* /*unused*/) {
  return PyBool_FromLong(value_of(self).is_contiguous() ? 1 : 0);
}
PyObject* contiguous(PyObject* self, PyObject* /*unused*/) {
  try {
    return wrap(value_of(self).contiguous());
  } catch (...) {
    raise_current();
    return nullptr;
  }
}

PyObject* tensor_repr(PyObject* self) {
  const tolvane::Tensor& t = value_of(self);
  std::string text = "tolvane.Tensor(shape=[";
  for (int i = 0; i < t.shape().rank(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(t.shape()[i]);
  }
  text += "], dtype=";
  text += tolvane::dtype_name(t.dtype());
  text += ", device=";
  text += tolvane::device_name(t.device());
  text += ')';
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* execute(PyObject* /*module*/, PyObject* output) {
  if (!PyObject_TypeCheck(output, tensor_type)) {
    PyErr_SetString(PyExc_TypeError, "execute(output: Tensor)");
    return nullptr;
  }
  try {
    tolvane::execute(value_of(output));
  } catch (...) {
    raise_current();
    return nullptr;
  }
  Py_RETURN_NONE;
}

void tensor_dealloc(PyObject* self) {
  reinterpret_cast<TensorObject*>(self)->value.~Tensor();
  Py_TYPE(self)->tp_free(self);
}

PyObject* shape_get(PyObject* self, void* /*closure*/) { return list_of(value_of(self).shape()); }

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

template <typename Function>
PyCFunction as_cfunction(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef methods[] = {
    {"zeros", as_cfunction(factory<&tolvane::Tensor::zeros>),
     METH_STATIC | METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"ones", as_cfunction(factory<&tolvane::Tensor::ones>),
     METH_STATIC | METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"numel", numel, METH_NOARGS, nullptr},
    {"nbytes", nbytes, METH_NOARGS, nullptr},
    {"allocated", allocated, METH_NOARGS, nullptr},
    {"is_contiguous", is_contiguous, METH_NOARGS, nullptr},
    {"contiguous", contiguous, METH_NOARGS, nullptr},
    {"view", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(layout<true>)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"reshape", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(layout<false>)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef getset[] = {{"shape", shape_get, nullptr, nullptr, nullptr},
                        {"strides", strides_get, nullptr, nullptr, nullptr},
                        {"dtype", dtype_get, nullptr, nullptr, nullptr},
                        {"device", device_get, nullptr, nullptr, nullptr},
                        {"offset", offset_get, nullptr, nullptr, nullptr},
                        {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(tensor_dealloc)},
                       {Py_tp_methods, methods},
                       {Py_tp_getset, getset},
                       {Py_nb_add, reinterpret_cast<void*>(tensor_add)},
                       {Py_tp_repr, reinterpret_cast<void*>(tensor_repr)},
                       {0, nullptr}};

PyType_Spec tensor_spec{"_capi_floor.Tensor", sizeof(TensorObject), 0, Py_TPFLAGS_DEFAULT, slots};

PyMethodDef functions[] = {{"execute", execute, METH_O, nullptr}, {nullptr, nullptr, 0, nullptr}};

PyModuleDef module{PyModuleDef_HEAD_INIT,
                   "_capi_floor",
                   nullptr,
                   -1,
                   functions,
                   nullptr,
                   nullptr,
                   nullptr,
                   nullptr};

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
