#include <pybind11/pybind11.h>

namespace py = pybind11;

struct Thing {
  int n;
};
struct Other {
  int n;
};

namespace {
int calls = 0;

// Counts the calls it takes and hands their positional arguments to the
// metaclass.
PyObject* counting(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* /*kwnames*/) {
  ++calls;
  const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
  PyObject* tuple = PyTuple_New(n);
  if (tuple == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(args[i]));
  PyObject* result = Py_TYPE(type)->tp_call(type, tuple, nullptr);
  Py_DECREF(tuple);
  return result;
}
}  // namespace

PYBIND11_MODULE(m0019, m) {
  py::class_<Thing>(m, "Thing", py::class_vectorcall(&counting))
      .def(py::init<int>())
      .def("n", [](const Thing& t) { return t.n; });
  py::class_<Other>(m, "Other").def(py::init<int>()).def("n", [](const Other& o) { return o.n; });
  m.def("calls", [] { return calls; });
}
