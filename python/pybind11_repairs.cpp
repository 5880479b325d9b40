#include "python/pybind11_repairs.h"

#include <pybind11/pybind11.h>

#include <cstddef>
#include <new>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/tensor.h"

namespace py = pybind11;
using py::detail::function_record;
using py::detail::instance;

namespace tolvane::python {

namespace {

[[noreturn]] void precondition_failed(const char* repair, const std::string& what) {
  python::precondition_failed("repair", repair, what, "python/pybind11_repairs.h");
}

// pybind11's dispatcher, the same function behind every pybind11 function,
// taken from a function pybind11 makes for the purpose.
Dispatcher pybind11_dispatcher() {
  static const Dispatcher dispatcher = [] {
    const py::cpp_function probe([] {});
    auto* function = reinterpret_cast<PyCFunctionObject*>(probe.ptr());
    return reinterpret_cast<Dispatcher>(reinterpret_cast<void (*)()>(function->m_ml->ml_meth));
  }();
  return dispatcher;
}

// guarded_dispatcher: pybind11's dispatcher, behind pybind11's own
// translation of whatever escapes it.
PyObject* guarded_dispatcher(PyObject* record, PyObject* const* args, std::size_t nargsf,
                             PyObject* kwnames) {
  try {
    return pybind11_dispatcher()(record, args, nargsf, kwnames);
  } catch (...) {
    py::detail::try_translate_exceptions();
    return nullptr;
  }
}

// ---- checked_new, alloc_or_throw, function_record_type -------------------

// For types that must not be instantiated from Python: pybind11's bare base
// type, and the type of its function records.
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

void guard_type_cache_callback(PyTypeObject* type);

extern "C" PyObject* checked_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
  PyObject* self = nullptr;
  try {
    // pybind11_object itself, which copyreg calls when pickling under
    // protocols 0 and 1. Refused before allocating: pybind11 cannot
    // deallocate an instance of a type with no registered class.
    const std::vector<py::detail::type_info*>& infos = py::detail::all_type_info(type);
    if (infos.empty()) return refuse_new(type, nullptr, nullptr);
    // A class made in Python: the line above gave it its type-cache entry.
    if (infos.size() != 1 || infos.front()->type != type) guard_type_cache_callback(type);
    self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<instance*>(self)->allocate_layout();
    return self;
  } catch (...) {
    if (self != nullptr) {
      // A layout that failed half-way is released as an empty simple one.
      auto* inst = reinterpret_cast<instance*>(self);
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

// ---- type_cache_callback -------------------------------------------------

// Each guarded callback's function record, with the one weak reference it
// was made for.
std::unordered_map<PyObject*, PyObject*>& cache_callbacks() {
  static auto* callbacks = new std::unordered_map<PyObject*, PyObject*>();
  return *callbacks;
}

PyObject* guarded_cache_callback(PyObject* record, PyObject* const* args, std::size_t nargsf,
                                 PyObject* kwnames) {
  auto& callbacks = cache_callbacks();
  const auto found = callbacks.find(record);
  if (found != callbacks.end() && PyVectorcall_NARGS(nargsf) == 1 && kwnames == nullptr &&
      args[0] == found->second) {
    callbacks.erase(found);
    return guarded_dispatcher(record, args, nargsf, kwnames);
  }
  PyErr_SetString(PyExc_TypeError,
                  "pybind11's type-cache callback takes only its own weak reference");
  return nullptr;
}

// pybind11 gives a Python subclass of a bound class, when it first sees it,
// a weak reference whose callback is a pybind11 function; that callback is
// made to accept only its own weak reference.
void guard_type_cache_callback(PyTypeObject* type) {
  bool found = false;
  for (auto* ref = reinterpret_cast<PyWeakReference*>(type->tp_weaklist); ref != nullptr;
       ref = ref->wr_next) {
    PyObject* callback = ref->wr_callback;
    if (callback == nullptr || !PyCFunction_Check(callback)) continue;
    PyObject* record = PyCFunction_GET_SELF(callback);
    if (py::detail::function_record_ptr_from_PyObject(record) == nullptr) continue;
    PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(callback)->m_ml;
    auto* meth = reinterpret_cast<Dispatcher>(reinterpret_cast<void (*)()>(def->ml_meth));
    found = true;
    if (meth == guarded_cache_callback) continue;
    if (meth != pybind11_dispatcher()) {
      throw std::runtime_error(
          "pybind11 repair type_cache_callback: the callback is not pybind11's dispatcher");
    }
    cache_callbacks()[record] = reinterpret_cast<PyObject*>(ref);
    def->ml_meth =
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded_cache_callback));
  }
  if (!found) {
    throw std::runtime_error(
        std::string("pybind11 repair type_cache_callback: no pybind11 callback on ") +
        type->tp_name);
  }
}

// ---- second_init ---------------------------------------------------------

// The instance parts whose first __init__ is under way, innermost first;
// read and changed only with the GIL held (a thread may give it up in user
// code).
struct Construction {
  PyObject* self;
  const py::detail::type_info* part;
  Construction* next;
};
Construction* constructions = nullptr;

class UnderConstruction {
 public:
  UnderConstruction(PyObject* self, const py::detail::type_info* part)
      : node_{self, part, constructions} {
    constructions = &node_;
  }
  UnderConstruction(const UnderConstruction&) = delete;
  UnderConstruction& operator=(const UnderConstruction&) = delete;
  ~UnderConstruction() {
    for (Construction** link = &constructions; *link != nullptr; link = &(*link)->next) {
      if (*link == &node_) {
        *link = node_.next;
        return;
      }
    }
  }

  static bool includes(PyObject* self, const py::detail::type_info* part) {
    for (const Construction* node = constructions; node != nullptr; node = node->next) {
      if (node->self == self && node->part == part) return true;
    }
    return false;
  }

 private:
  Construction node_;
};

// Runs the constructor on a new instance of `scope`, so that a failure
// leaves `self` as it was, then gives the new value to `self`. A pybind11
// instance's value never moves: a call that holds it across user code sees
// the new value in place, never freed memory. An instance whose first
// __init__ is still under way takes the value that one builds instead.
PyObject* construct_aside(PyObject* record, const py::detail::type_info* scope,
                          PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  const Py_ssize_t count = nargs + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
  std::vector<PyObject*> aside_args(args, args + count);
  PyTypeObject* type = scope->type;
  const py::object aside =
      py::reinterpret_steal<py::object>(type->tp_new(type, py::tuple().ptr(), nullptr));
  if (!aside) throw py::error_already_set();
  aside_args[0] = aside.ptr();
  const py::object result = py::reinterpret_steal<py::object>(
      guarded_dispatcher(record, aside_args.data(), static_cast<std::size_t>(nargs), kwnames));
  if (!result) return nullptr;

  const auto to = reinterpret_cast<instance*>(args[0])->get_value_and_holder(scope);
  if (!to.holder_constructed()) return result.inc_ref().ptr();
  // Only tensors are constructed and unregistered (enumeration values are
  // registered, and pybind11 ignores their second __init__).
  if (scope != py::detail::get_type_info(typeid(Tensor))) {
    throw py::type_error(std::string(type->tp_name) + " cannot be initialized twice");
  }
  const auto from = reinterpret_cast<instance*>(aside.ptr())->get_value_and_holder(scope);
  *static_cast<Tensor*>(to.value_ptr()) = std::move(*static_cast<Tensor*>(from.value_ptr()));
  return result.inc_ref().ptr();
}

// The module's classes with their pybind11 records, kept by guard_classes:
// looked up at every construction, and the classes live as long as the
// process.
std::vector<std::pair<PyTypeObject*, const py::detail::type_info*>> class_infos;

const py::detail::type_info* class_info(PyTypeObject* type) {
  for (const auto& [known, info] : class_infos) {
    if (known == type) return info;
  }
  return py::detail::get_type_info(type);
}

PyObject* guarded_constructor(PyObject* record, PyObject* const* args, std::size_t nargsf,
                              PyObject* kwnames) {
  try {
    const function_record* rec = py::detail::function_record_ptr_from_PyObject(record);
    auto* scope = reinterpret_cast<PyTypeObject*>(rec->scope.ptr());
    if (PyVectorcall_NARGS(nargsf) == 0 || !PyObject_TypeCheck(args[0], scope)) {
      return guarded_dispatcher(record, args, nargsf, kwnames);  // pybind11's TypeError
    }
    // The part of the instance this class constructs (a Python class may
    // derive from several of the module's classes).
    const py::detail::type_info* info = class_info(scope);
    const auto self = reinterpret_cast<instance*>(args[0])->get_value_and_holder(info);
    if (self.instance_registered()) return guarded_dispatcher(record, args, nargsf, kwnames);
    if (self.holder_constructed() || UnderConstruction::includes(args[0], info)) {
      return construct_aside(record, info, args, nargsf, kwnames);
    }
    const UnderConstruction mark(args[0], info);
    return guarded_dispatcher(record, args, nargsf, kwnames);
  } catch (...) {
    py::detail::try_translate_exceptions();
    return nullptr;
  }
}

void guard_function(py::handle function, int& wrapped) {
  if (!function || !PyCFunction_Check(function.ptr())) return;
  const function_record* rec =
      py::detail::function_record_ptr_from_PyObject(PyCFunction_GET_SELF(function.ptr()));
  if (rec == nullptr) return;  // not pybind11's
  PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(function.ptr())->m_ml;
  auto* meth = reinterpret_cast<Dispatcher>(reinterpret_cast<void (*)()>(def->ml_meth));
  if (meth == guarded_dispatcher || meth == guarded_constructor) return;
  if (meth != pybind11_dispatcher()) {
    precondition_failed("guarded_dispatcher",
                        std::string(rec->name) + " is not served by pybind11's dispatcher");
  }
  Dispatcher guard = rec->is_constructor ? guarded_constructor : guarded_dispatcher;
  def->ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guard));
  ++wrapped;
}

// A class attribute: a function, or one held by a method, static method or
// property (pybind11's static properties are properties too).
void guard_attribute(py::handle value, int& wrapped) {
  if (PyInstanceMethod_Check(value.ptr())) {
    guard_function(PyInstanceMethod_GET_FUNCTION(value.ptr()), wrapped);
  } else if (py::isinstance<py::staticmethod>(value)) {
    guard_function(value.attr("__func__"), wrapped);
  } else if (PyObject_TypeCheck(value.ptr(), &PyProperty_Type)) {
    for (const char* accessor : {"fget", "fset", "fdel"}) {
      guard_function(value.attr(accessor), wrapped);
    }
  } else {
    guard_function(value, wrapped);
  }
}

// ---- distinct_deallocators -----------------------------------------------

// CPython allows `x.__class__ = C` between types of one layout and one
// tp_free; each class frees its instances through a function of its own.
template <int N>
void free_instance(void* self) {
  static volatile int class_index = N;  // keeps the functions apart
  (void)class_index;
  PyObject_Free(self);
}
constexpr freefunc CLASS_FREES[] = {free_instance<0>, free_instance<1>, free_instance<2>,
                                    free_instance<3>};

void give_distinct_deallocators(const std::vector<PyTypeObject*>& classes) {
  if (classes.size() > std::size(CLASS_FREES)) {
    precondition_failed("distinct_deallocators", "more classes than deallocators");
  }
  for (std::size_t i = 0; i < classes.size(); ++i) {
    PyTypeObject* type = classes[i];
    if (type->tp_free != PyObject_Free) {
      precondition_failed("distinct_deallocators",
                          std::string(type->tp_name) + " is not freed by PyObject_Free");
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (CLASS_FREES[i] == CLASS_FREES[j]) {
        precondition_failed("distinct_deallocators", "the linker merged two deallocators");
      }
    }
    type->tp_free = CLASS_FREES[i];
  }
}

}  // namespace

void guard_instance_creation() {
  py::detail::internals& internals = py::detail::get_internals();
  if (!internals.registered_types_py.empty()) {
    precondition_failed("private_abi_key",
                        "a class was registered in the module's pybind11 state before it");
  }
  auto* base = reinterpret_cast<PyTypeObject*>(internals.instance_base);
  if (base->tp_new != py::detail::pybind11_object_new || base->tp_alloc != PyType_GenericAlloc) {
    precondition_failed("checked_new", "the base type's tp_new or tp_alloc is not pybind11's");
  }
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

void guard_classes(py::module_& module) {
  int wrapped = 0;
  std::vector<PyTypeObject*> classes;
  for (const auto item : module.attr("__dict__").cast<py::dict>()) {
    const py::handle value = item.second;
    if (PyType_Check(value.ptr())) {
      auto* type = reinterpret_cast<PyTypeObject*>(value.ptr());
      classes.push_back(type);
      class_infos.emplace_back(type, py::detail::get_type_info(type));
      for (const auto attribute : value.attr("__dict__").attr("values")()) {
        guard_attribute(attribute, wrapped);
      }
    } else {
      guard_attribute(value, wrapped);
    }
  }
  if (wrapped == 0) precondition_failed("guarded_dispatcher", "no pybind11 function found");
  give_distinct_deallocators(classes);
}

void precondition_failed(const char* kind, const char* name, const std::string& what,
                         const char* header) {
  throw py::import_error(std::string("pybind11 ") + kind + " " + name + ": " + what + " (see " +
                         header + ")");
}

void prepare_exception_state() {
  try {
    throw std::bad_alloc();
  } catch (const std::bad_alloc&) {  // NOLINT(bugprone-empty-catch): the throw is the point
  }
}

}  // namespace tolvane::python

// ---- main_interpreter_only -------------------------------------------------

namespace {

// CPython runs an extension's PyInit with the main interpreter active, also
// for an import from a sub-interpreter, and then creates the module in the
// sub-interpreter: the creation slot is where a sub-interpreter shows.
bool refuse_sub_interpreter() {
  if (PyInterpreterState_Get() == PyInterpreterState_Main()) return false;
  PyErr_SetString(PyExc_ImportError, "module _tolvane does not support loading in subinterpreters");
  return true;
}

extern "C" PyObject* create_in_main_interpreter(PyObject* module_spec, PyModuleDef* def) {
  if (refuse_sub_interpreter()) return nullptr;
  return py::detail::cached_create_module(module_spec, def);
}

}  // namespace

#undef PyInit__tolvane

extern "C" PYBIND11_EXPORT PyObject* PyInit__tolvane() {  // NOLINT(bugprone-reserved-identifier)
  if (refuse_sub_interpreter()) return nullptr;
  PyObject* definition = tolvane_pybind11_init();
  if (definition == nullptr) return nullptr;
  using Create = PyObject* (*)(PyObject*, PyModuleDef*);
  for (PyModuleDef_Slot* slot = reinterpret_cast<PyModuleDef*>(definition)->m_slots;
       slot->slot != 0; ++slot) {
    if (slot->slot != Py_mod_create) continue;
    const auto create = reinterpret_cast<Create>(slot->value);
    if (create == create_in_main_interpreter) return definition;
    if (create == py::detail::cached_create_module) {
      slot->value = reinterpret_cast<void*>(create_in_main_interpreter);
      return definition;
    }
    break;
  }
  PyErr_SetString(PyExc_ImportError,
                  "pybind11 repair main_interpreter_only: the module's creation slot is not "
                  "pybind11's (see python/pybind11_repairs.h)");
  return nullptr;
}
