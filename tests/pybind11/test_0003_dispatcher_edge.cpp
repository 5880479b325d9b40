#include <pybind11/pybind11.h>

namespace py = pybind11;

struct Thing {
  int n;
};

PYBIND11_MODULE(m0003, m) {
  // A constructor's new instance is registered after the call.
  py::class_<Thing>(m, "Thing").def(py::init<int>()).def("n", [](const Thing& t) { return t.n; });
  m.def("twice", [](int n) { return 2 * n; }, py::arg("n"));
}
