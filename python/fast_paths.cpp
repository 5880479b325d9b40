#include "python/fast_paths.h"

#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace py = pybind11;

namespace tolvane::python {

namespace fast {

namespace {

// Tensor's and its metaclass's version tags at import: CPython gives a type a
// new tag whenever it changes.
unsigned int tensor_version = 0;
unsigned int metaclass_version = 0;

}  // namespace

bool tensor_unchanged(PyTypeObject* type) {
  const auto& bound = classes();
  return bound && type == bound->tensor.type() && type->tp_version_tag == tensor_version &&
         Py_TYPE(type)->tp_version_tag == metaclass_version;
}

PyObject* call_pybind11(PyObject* function, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  const auto total = static_cast<std::size_t>(1 + nargs + keywords);
  std::array<PyObject*, 8> small{};
  std::unique_ptr<PyObject*[]> large;
  PyObject** stack = small.data();
  if (total > small.size()) {
    large.reset(new (std::nothrow) PyObject*[total]);
    if (!large) return PyErr_NoMemory();
    stack = large.get();
  }
  stack[0] = self;
  std::copy(args, args + nargs + keywords, stack + 1);
  return PyObject_Vectorcall(function, stack, static_cast<std::size_t>(1 + nargs), kwnames);
}

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

}  // namespace fast

namespace {

// The bindings whose fast paths are off: in test builds, those
// TOLVANE_PLAIN_PYBIND11 names (all for "1"; none when unset, empty or "0"),
// each of which must be among `known` when it is given. Release builds have
// all of them on.
class SwitchedOff {
 public:
  explicit SwitchedOff([[maybe_unused]] const std::vector<FastPaths::Recorded>* known = nullptr) {
#ifdef TOLVANE_CHECK_INVARIANTS
    const char* value = std::getenv("TOLVANE_PLAIN_PYBIND11");
    const std::string_view list = value != nullptr ? value : "";
    all_ = list == "1";
    if (list.empty() || list == "0" || all_) return;
    for (std::size_t start = 0; start <= list.size();) {
      const std::size_t end = std::min(list.find(',', start), list.size());
      std::string name(list.substr(start, end - start));
      if (known != nullptr && std::none_of(known->begin(), known->end(),
                                           [&](const auto& e) { return name == e.name; })) {
        throw py::import_error("TOLVANE_PLAIN_PYBIND11: no fast path is named '" + name +
                               "' (1 for all, 0 for none)");
      }
      names_.push_back(std::move(name));
      start = end + 1;
    }
#endif
  }

  bool operator()(std::string_view name) const {
    return all_ || std::find(names_.begin(), names_.end(), name) != names_.end();
  }

 private:
  bool all_ = false;
  std::vector<std::string> names_;
};

// The definitions CPython keeps pointers to, one per installed fast path.
struct Definitions {
  std::optional<std::string> doc;
  PyMethodDef method{};
  std::array<PyGetSetDef, 2> getset{};
};

// Every installed fast path's definitions: CPython keeps pointers to them
// for the process, so they are never freed.
std::vector<std::unique_ptr<Definitions>>& kept_definitions() {
  static auto* kept = new std::vector<std::unique_ptr<Definitions>>();
  return *kept;
}

// `object`'s docstring, if it has one.
std::optional<std::string> docstring(const py::handle object) {
  const py::object doc = object.attr("__doc__");
  if (doc.is_none()) return std::nullopt;
  return doc.cast<std::string>();
}

}  // namespace

bool FastPaths::constructor_switched_off() { return SwitchedOff()("__init__"); }

void FastPaths::install() {
  const SwitchedOff switched_off(&entries_);
  auto* type = reinterpret_cast<PyTypeObject*>(cls_.ptr());
  functions_.reserve(entries_.size());
  for (const Recorded& entry : entries_) {
    if (switched_off(entry.name) || entry.kind == Recorded::CONSTRUCTOR) continue;
    // The pybind11 function: the instance or static method's function, the
    // property's getter or the module's function, held for the process.
    const py::handle owner = entry.kind == Recorded::FUNCTION ? py::handle(module_) : cls_;
    const py::object bound = entry.kind == Recorded::FUNCTION
                                 ? py::object(module_.attr(entry.name))
                                 : py::object(cls_.attr("__dict__")[entry.name]);
    const py::object function = entry.kind == Recorded::GETTER     ? bound.attr("fget")
                                : entry.kind == Recorded::FUNCTION ? bound
                                                                   : bound.attr("__func__");
    auto defs = std::make_unique<Definitions>(
        Definitions{docstring(entry.kind == Recorded::STATIC ? function : bound)});
    const char* doc = defs->doc ? defs->doc->c_str() : nullptr;
    defs->method = {entry.name, reinterpret_cast<PyCFunction>(entry.fast),
                    METH_FASTCALL | METH_KEYWORDS, doc};
    py::object descriptor;
    switch (entry.kind) {
      case Recorded::METHOD:
        descriptor = py::reinterpret_steal<py::object>(PyDescr_NewMethod(type, &defs->method));
        break;
      case Recorded::GETTER:
        defs->getset[0] = {entry.name, reinterpret_cast<::getter>(entry.fast), nullptr, doc,
                           nullptr};
        descriptor =
            py::reinterpret_steal<py::object>(PyDescr_NewGetSet(type, defs->getset.data()));
        break;
      case Recorded::STATIC:
        // Unbound, as pybind11's static methods are, so that introspection and
        // the stubs see a static method.
        descriptor = py::reinterpret_steal<py::object>(PyCFunction_New(&defs->method, nullptr));
        if (descriptor) {
          descriptor = py::reinterpret_steal<py::object>(PyStaticMethod_New(descriptor.ptr()));
        }
        break;
      case Recorded::FUNCTION:
        descriptor = py::reinterpret_steal<py::object>(
            PyCFunction_NewEx(&defs->method, module_.ptr(), module_.attr("__name__").ptr()));
        break;
      case Recorded::CONSTRUCTOR:
        break;
    }
    if (!descriptor) throw py::error_already_set();
    kept_definitions().push_back(std::move(defs));
    functions_.emplace_back(entry.function, function.inc_ref().ptr());
    // Through the type's own setattr, which keeps its slots and caches right.
    owner.attr(entry.name) = descriptor;
  }
  // Last: the version tags are those of the finished class.
  for (const Recorded& entry : entries_) {
    if (switched_off(entry.name) || entry.kind != Recorded::CONSTRUCTOR) continue;
    if (PyUnstable_Type_AssignVersionTag(type) == 0 ||
        PyUnstable_Type_AssignVersionTag(Py_TYPE(type)) == 0) {
      throw py::import_error("_tolvane: no version tag for Tensor or its metaclass");
    }
    if (type->tp_vectorcall != reinterpret_cast<vectorcallfunc>(entry.fast)) {
      throw py::import_error("_tolvane: Tensor's vectorcall is not its constructor's fast path");
    }
    versions_.emplace(type->tp_version_tag, Py_TYPE(type)->tp_version_tag);
  }
}

void FastPaths::commit() noexcept {
  for (const auto& [slot, function] : functions_) *slot = function;
  if (versions_) std::tie(fast::tensor_version, fast::metaclass_version) = *versions_;
}

}  // namespace tolvane::python
