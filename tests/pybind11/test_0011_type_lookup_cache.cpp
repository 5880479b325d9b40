#include <pybind11/pybind11.h>

namespace py = pybind11;

struct Thing {
  int n;
};

PYBIND11_MODULE(m0011, m) {
  py::class_<Thing>(m, "Thing").def(py::init<int>()).def("n", [](const Thing& t) { return t.n; });
  m.def("n_of", [](const Thing& t) { return t.n; });
}
