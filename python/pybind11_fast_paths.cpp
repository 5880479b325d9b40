#include "python/pybind11_fast_paths.h"

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <type_traits>

#include "core/dtype.h"
#include "core/shape.h"
#include "core/tensor.h"
#include "graph/ops.h"
#include "python/casters.h"
#include "python/pybind11_repairs.h"

namespace py = pybind11;
using py::detail::instance;

namespace tolvane::python {

namespace {

[[noreturn]] void precondition_failed(const char* fast_path, const std::string& what) {
  python::precondition_failed("fast path", fast_path, what, "python/pybind11_fast_paths.h");
}

// The module's classes, and the version tags that construct checks.
struct Classes {
  PyTypeObject* tensor = nullptr;
  PyTypeObject* dtype = nullptr;
  PyTypeObject* device = nullptr;
  unsigned int tensor_version = 0;
  unsigned int metaclass_version = 0;
};
Classes classes;

// What each fast path falls back to: the function it replaces (behind
// guard_classes' wrapping).
Dispatcher plain_shape = nullptr;
Dispatcher plain_view = nullptr;
Dispatcher plain_reshape = nullptr;
Dispatcher plain_add = nullptr;

// The value of an initialised instance of `type` (or of a Python subclass)
// in pybind11's simple layout, or null.
template <typename T>
T* value_of(PyObject* object, PyTypeObject* type) {
  if (Py_TYPE(object) != type && !PyType_IsSubtype(Py_TYPE(object), type)) return nullptr;
  auto* inst = reinterpret_cast<instance*>(object);
  if (!inst->simple_layout || !inst->simple_holder_constructed) return nullptr;
  return static_cast<T*>(inst->simple_value_holder[0]);
}

// An exact list or tuple of at most MAX_RANK exact ints that fit T, read
// without running any user code; false, with no error set, for anything
// else.
template <typename T>
bool plain_entries(PyObject* sequence, SmallList<T>& out) {
  PyObject* const* items = nullptr;
  Py_ssize_t size = 0;
  if (PyList_CheckExact(sequence)) {
    items = PySequence_Fast_ITEMS(sequence);
    size = PyList_GET_SIZE(sequence);
  } else if (PyTuple_CheckExact(sequence)) {
    items = PySequence_Fast_ITEMS(sequence);
    size = PyTuple_GET_SIZE(sequence);
  } else {
    return false;
  }
  if (size > MAX_RANK) return false;
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* entry = items[i];
    if (!PyLong_CheckExact(entry)) return false;
    std::int64_t value = 0;
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(entry))) {
      value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(entry));
    } else {
      int overflow = 0;
      value = PyLong_AsLongLongAndOverflow(entry, &overflow);
      if (overflow != 0 || (value == -1 && PyErr_Occurred() != nullptr)) {
        PyErr_Clear();
        return false;
      }
    }
    if (std::is_unsigned_v<T> && value < 0) return false;
    out.items[static_cast<std::size_t>(i)] = static_cast<T>(value);
  }
  out.size = static_cast<std::size_t>(size);
  return true;
}

// A new Tensor object holding `tensor`, as the bindings return one (see
// unregistered_holder), with the simple layout set up as allocate_layout
// does for it, without looking its classes up. Throws std::bad_alloc.
PyObject* wrap(Tensor&& tensor) {
  PyTypeObject* type = classes.tensor;
  PyObject* self = type->tp_alloc(type, 0);  // alloc_or_throw: never null
  auto* inst = reinterpret_cast<instance*>(self);
  inst->simple_layout = true;
  inst->simple_value_holder[0] = nullptr;
  inst->simple_holder_constructed = false;
  inst->simple_instance_registered = false;
  inst->owned = true;
  py::detail::value_and_holder v_h = inst->get_value_and_holder();
  try {
    hold(v_h, std::move(tensor));
  } catch (...) {
    Py_DECREF(self);
    throw;
  }
  return self;
}

// ---- dealloc -----------------------------------------------------------------

void (*plain_dealloc)(PyObject*) = nullptr;

// pybind11_object_dealloc for a Tensor (not a subclass) in the simple
// layout, unregistered, owning its holder: destroys the holder, clears the
// weak references and frees the object, as clear_instance does, without
// looking its classes up. The holder's destruction runs no Python code.
void fast_dealloc(PyObject* self) {
  auto* inst = reinterpret_cast<instance*>(self);
  PyTypeObject* type = Py_TYPE(self);
  if (type != classes.tensor || !inst->simple_layout || inst->simple_instance_registered ||
      inst->has_patients || (!inst->simple_holder_constructed && inst->simple_value_holder[0])) {
    plain_dealloc(self);
    return;
  }
  if (inst->simple_holder_constructed) {
    py::detail::value_and_holder v_h = inst->get_value_and_holder();
    std::destroy_at(&v_h.holder<std::unique_ptr<Tensor>>());
    inst->simple_holder_constructed = false;
  }
  inst->simple_value_holder[0] = nullptr;
  if (inst->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// Runs `fast`, which returns null for arguments it leaves to `plain`; a C++
// exception or a Python error there also leaves them to `plain`, which
// reports it as pybind11 does.
template <typename Fast>
PyObject* fast_or(Dispatcher plain, PyObject* record, PyObject* const* args, std::size_t nargsf,
                  PyObject* kwnames, Fast&& fast) {
  try {
    if (PyObject* result = fast()) return result;
  } catch (...) {  // NOLINT(bugprone-empty-catch): the plain function reports it
  }
  if (PyErr_Occurred() != nullptr) PyErr_Clear();
  return plain(record, args, nargsf, kwnames);
}

// ---- shape, view, reshape, add ----------------------------------------------

PyObject* fast_shape(PyObject* record, PyObject* const* args, std::size_t nargsf,
                     PyObject* kwnames) {
  return fast_or(plain_shape, record, args, nargsf, kwnames, [&]() -> PyObject* {
    if (PyVectorcall_NARGS(nargsf) != 1 || kwnames != nullptr) return nullptr;
    const Tensor* self = value_of<const Tensor>(args[0], classes.tensor);
    return self != nullptr ? to_list(self->shape()).release().ptr() : nullptr;
  });
}

template <Tensor (Tensor::*Layout)(std::span<const std::int64_t>) const>
PyObject* fast_layout(Dispatcher plain, PyObject* record, PyObject* const* args, std::size_t nargsf,
                      PyObject* kwnames) {
  return fast_or(plain, record, args, nargsf, kwnames, [&]() -> PyObject* {
    if (PyVectorcall_NARGS(nargsf) != 2 || kwnames != nullptr) return nullptr;
    const Tensor* self = value_of<const Tensor>(args[0], classes.tensor);
    Dims dims;
    if (self == nullptr || !plain_entries(args[1], dims)) return nullptr;
    return wrap((self->*Layout)(dims.span()));
  });
}

PyObject* fast_view(PyObject* record, PyObject* const* args, std::size_t nargsf,
                    PyObject* kwnames) {
  return fast_layout<&Tensor::view>(plain_view, record, args, nargsf, kwnames);
}

PyObject* fast_reshape(PyObject* record, PyObject* const* args, std::size_t nargsf,
                       PyObject* kwnames) {
  return fast_layout<&Tensor::reshape>(plain_reshape, record, args, nargsf, kwnames);
}

PyObject* fast_add(PyObject* record, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  return fast_or(plain_add, record, args, nargsf, kwnames, [&]() -> PyObject* {
    if (PyVectorcall_NARGS(nargsf) != 2 || kwnames != nullptr) return nullptr;
    const Tensor* left = value_of<const Tensor>(args[0], classes.tensor);
    const Tensor* right = value_of<const Tensor>(args[1], classes.tensor);
    if (left == nullptr || right == nullptr) return nullptr;
    return wrap(add(*left, *right));
  });
}

// ---- method ------------------------------------------------------------------

// What pybind11 puts in the class for an instance method is an
// instancemethod, which CPython binds to the instance at every `t.view` and
// every `a + b` (a method object made and freed per call). This type does
// what instancemethod does (and what pybind11's metaclass makes of it: the
// class attribute is the descriptor itself), and tells CPython that calling
// it with the instance first is the same as calling the bound method
// (Py_TPFLAGS_METHOD_DESCRIPTOR), so the interpreter calls it unbound.
struct Method {
  PyObject ob_base;
  PyObject* func;  // the pybind11 function
  vectorcallfunc vectorcall;
};

// The function's own C entry point (pybind11's dispatcher, or the fast path
// in its place), with the instance first, as the bound method would call it.
PyObject* method_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf,
                            PyObject* kwnames) {
  PyObject* func = reinterpret_cast<Method*>(self)->func;
  const PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(func)->m_ml;
  auto* meth = reinterpret_cast<Dispatcher>(reinterpret_cast<void (*)()>(def->ml_meth));
  return meth(PyCFunction_GET_SELF(func), args, nargsf, kwnames);
}

// From the class, the descriptor itself, as pybind11's metaclass gives an
// instancemethod; from an instance, the bound method, as instancemethod does.
PyObject* method_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
  if (obj == nullptr) return Py_NewRef(self);
  return PyMethod_New(reinterpret_cast<Method*>(self)->func, obj);
}

// Attributes of the type, then the function's, as instancemethod has them.
PyObject* method_getattro(PyObject* self, PyObject* name) {
  PyObject* found = PyObject_GenericGetAttr(self, name);
  if (found != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
  PyErr_Clear();
  return PyObject_GetAttr(reinterpret_cast<Method*>(self)->func, name);
}

PyObject* method_doc(PyObject* self, void* /*closure*/) {
  return PyObject_GetAttrString(reinterpret_cast<Method*>(self)->func, "__doc__");
}

PyObject* method_repr(PyObject* self) {
  const py::object name = py::reinterpret_steal<py::object>(
      PyObject_GetAttrString(reinterpret_cast<Method*>(self)->func, "__name__"));
  if (!name) PyErr_Clear();
  return PyUnicode_FromFormat(
      "<instancemethod %s at %p>",
      name && PyUnicode_Check(name.ptr()) ? PyUnicode_AsUTF8(name.ptr()) : "?", self);
}

PyObject* method_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
  const bool same = reinterpret_cast<Method*>(self)->func == reinterpret_cast<Method*>(other)->func;
  return PyBool_FromLong(static_cast<long>(same == (op == Py_EQ)));
}

int method_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<Method*>(self)->func);
  return 0;
}

int method_clear(PyObject* self) {
  Py_CLEAR(reinterpret_cast<Method*>(self)->func);
  return 0;
}

void method_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  method_clear(self);
  Py_TYPE(self)->tp_free(self);
}

PyMemberDef method_members[] = {
    {"__func__", Py_T_OBJECT_EX, offsetof(Method, func), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};
PyGetSetDef method_getset[] = {{"__doc__", method_doc, nullptr, nullptr, nullptr},
                               {nullptr, nullptr, nullptr, nullptr, nullptr}};

// A static type, as instancemethod is: a heap type keeps a
// __module__ of its own.
PyTypeObject method_type = []() noexcept {
  PyTypeObject type{};
  const PyVarObject head[] = {PyVarObject_HEAD_INIT(nullptr, 0)};  // immortal, as static types are
  type.ob_base = head[0];
  return type;
}();

PyTypeObject* ready_method_type() {
  if (method_type.tp_name != nullptr) return &method_type;
  method_type.tp_name = "instancemethod";
  method_type.tp_basicsize = sizeof(Method);
  method_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                         Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
                         Py_TPFLAGS_DISALLOW_INSTANTIATION;
  method_type.tp_vectorcall_offset = offsetof(Method, vectorcall);
  method_type.tp_dealloc = method_dealloc;
  method_type.tp_traverse = method_traverse;
  method_type.tp_clear = method_clear;
  method_type.tp_descr_get = method_descr_get;
  method_type.tp_getattro = method_getattro;
  method_type.tp_repr = method_repr;
  method_type.tp_richcompare = method_richcompare;
  method_type.tp_call = PyVectorcall_Call;
  method_type.tp_members = method_members;
  method_type.tp_getset = method_getset;
  if (PyType_Ready(&method_type) != 0) throw py::error_already_set();
  return &method_type;
}

// Tensor's instance method `name`, an instancemethod over a pybind11
// function, becomes a Method over the same function.
void unbind(PyTypeObject* method_type, const char* name) {
  PyObject* attribute = PyDict_GetItemString(classes.tensor->tp_dict, name);  // borrowed
  if (attribute == nullptr || !PyInstanceMethod_Check(attribute)) {
    precondition_failed("method", std::string(name) + " is not an instancemethod");
  }
  PyObject* func = PyInstanceMethod_GET_FUNCTION(attribute);
  if (!PyCFunction_Check(func) || PyCFunction_GET_FLAGS(func) != (METH_FASTCALL | METH_KEYWORDS)) {
    precondition_failed("method", std::string(name) + " is not a fastcall built-in function");
  }
  auto* method = PyObject_GC_New(Method, method_type);
  if (method == nullptr) throw py::error_already_set();
  method->func = Py_NewRef(func);
  method->vectorcall = method_vectorcall;
  PyObject_GC_Track(method);
  const py::object kept = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(method));
  // Through the type's own setattr, which keeps its slots and caches right.
  if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(classes.tensor), name, kept.ptr()) != 0) {
    throw py::error_already_set();
  }
}

void install_methods() {
  PyTypeObject* type = ready_method_type();
  for (const char* name : {"view", "reshape", "__add__"}) unbind(type, name);
}

// ---- construct ---------------------------------------------------------------

// The call as pybind11's metaclass takes it: an argument tuple and a
// keyword dict.
PyObject* plain_construct(PyObject* type, PyObject* const* args, std::size_t nargsf,
                          PyObject* kwnames) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  const py::object positional = py::reinterpret_steal<py::object>(PyTuple_New(nargs));
  if (!positional) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    PyTuple_SET_ITEM(positional.ptr(), i, Py_NewRef(args[i]));
  }
  py::object keywords;
  if (kwnames != nullptr) {
    keywords = py::reinterpret_steal<py::object>(PyDict_New());
    if (!keywords) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
      if (PyDict_SetItem(keywords.ptr(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) != 0) {
        return nullptr;
      }
    }
  }
  return Py_TYPE(type)->tp_call(type, positional.ptr(), keywords.ptr());
}

// An exact value of an enumeration, or false.
template <typename Enum>
bool plain_enum(PyObject* object, PyTypeObject* type, Enum& out) {
  if (Py_TYPE(object) != type) return false;
  const Enum* value = value_of<const Enum>(object, type);
  if (value == nullptr) return false;
  out = *value;
  return true;
}

PyObject* fast_construct(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                         PyObject* kwnames) {
  auto* type = reinterpret_cast<PyTypeObject*>(callable);
  try {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Extents shape;
    Dtype dtype = Dtype::FLOAT32;
    Device device = Device::CPU;
    // A type changed since the module set this (an assigned __init__ or
    // __new__, say) is called as its metaclass calls it.
    if (type == classes.tensor && type->tp_version_tag == classes.tensor_version &&
        Py_TYPE(type)->tp_version_tag == classes.metaclass_version && kwnames == nullptr &&
        nargs >= 1 && nargs <= 3 && plain_entries(args[0], shape) &&
        (nargs < 2 || plain_enum(args[1], classes.dtype, dtype)) &&
        (nargs < 3 || plain_enum(args[2], classes.device, device))) {
      if (PyObject* result = wrap(Tensor(Shape(shape.span()), dtype, device))) return result;
    }
  } catch (...) {  // NOLINT(bugprone-empty-catch): the plain call reports it
  }
  if (PyErr_Occurred() != nullptr) PyErr_Clear();
  return plain_construct(callable, args, nargsf, kwnames);
}

// ---- installation ------------------------------------------------------------

// The C function behind `function`, the pybind11 function (or getter) for
// `name`, of `arity` arguments, becomes `fast`; returns what it was.
Dispatcher serve(const char* fast_path, py::handle function, const char* name, bool is_getter,
                 std::size_t arity, Dispatcher fast) {
  if (!function || !PyCFunction_Check(function.ptr())) {
    precondition_failed(fast_path, std::string(name) + " is not a built-in function");
  }
  const py::detail::function_record* record =
      py::detail::function_record_ptr_from_PyObject(PyCFunction_GET_SELF(function.ptr()));
  // (pybind11 leaves a property's getter unnamed.)
  const char* expected = is_getter ? "" : name;
  if (record == nullptr || std::strcmp(record->name, expected) != 0 || record->nargs != arity ||
      record->next != nullptr) {
    precondition_failed(fast_path, std::string(name) + " is not the pybind11 function expected");
  }
  PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(function.ptr())->m_ml;
  if (def->ml_flags != (METH_FASTCALL | METH_KEYWORDS)) {
    precondition_failed(fast_path, std::string(name) + " is not a fastcall function");
  }
  auto* plain = reinterpret_cast<Dispatcher>(reinterpret_cast<void (*)()>(def->ml_meth));
  if (plain == fast) precondition_failed(fast_path, "installed twice");
  def->ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fast));
  return plain;
}

// The function held by a class attribute: an instance method's, or a
// property's getter (before install_methods).
py::handle method_function(py::handle type, const char* name) {
  const py::handle attribute =
      PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(type.ptr())->tp_dict, name);  // borrowed
  if (attribute && PyInstanceMethod_Check(attribute.ptr())) {
    return PyInstanceMethod_GET_FUNCTION(attribute.ptr());
  }
  if (attribute && PyObject_TypeCheck(attribute.ptr(), &PyProperty_Type)) {
    return attribute.attr("fget");  // kept alive by the property
  }
  return {};
}

PyTypeObject* registered(const std::type_info& type) {
  const py::detail::type_info* info = py::detail::get_type_info(type);
  if (info == nullptr || !info->simple_type) {
    precondition_failed("construct", std::string(type.name()) + " is not a simple pybind11 class");
  }
  return info->type;
}

void install_dealloc() {
  PyTypeObject* type = classes.tensor;
  const py::detail::type_info* info = py::detail::get_type_info(type);
  if (type->tp_dealloc != py::detail::pybind11_object_dealloc ||
      (type->tp_flags & (Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_DICT)) != 0 ||
      type->tp_dictoffset != 0 || info->holder_size_in_ptrs != 1 || info->dealloc == nullptr) {
    precondition_failed("dealloc", "Tensor is not the plain pybind11 class expected");
  }
  plain_dealloc = type->tp_dealloc;
  type->tp_dealloc = fast_dealloc;
}

void install_construct() {
  PyTypeObject* type = classes.tensor;
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
  classes.tensor_version = type->tp_version_tag;
  classes.metaclass_version = metaclass->tp_version_tag;
}

}  // namespace

void install_fast_paths(py::module_& module) {
  const char* plain = std::getenv("TOLVANE_PLAIN_PYBIND11");
  if (plain != nullptr && std::strcmp(plain, "1") == 0) return;
  classes.tensor = registered(typeid(Tensor));
  classes.dtype = registered(typeid(Dtype));
  classes.device = registered(typeid(Device));
  const py::handle tensor = module.attr("Tensor");
  if (tensor.ptr() != reinterpret_cast<PyObject*>(classes.tensor)) {
    precondition_failed("construct", "the module's Tensor is not the registered class");
  }
  plain_shape = serve("shape", method_function(tensor, "shape"), "shape", true, 1, fast_shape);
  plain_view = serve("view", method_function(tensor, "view"), "view", false, 2, fast_view);
  plain_reshape =
      serve("reshape", method_function(tensor, "reshape"), "reshape", false, 2, fast_reshape);
  plain_add = serve("add", method_function(tensor, "__add__"), "__add__", false, 2, fast_add);
  install_dealloc();
  install_methods();
  install_construct();
}

}  // namespace tolvane::python
