#include <pybind11/pybind11.h>

namespace py = pybind11;

struct Thing {
  int n;
};

PYBIND11_MODULE(m0013, m) {
  py::class_<Thing>(m, "Thing").def(py::init<int>()).def("n", [](const Thing& t) { return t.n; });
  m.def("check", [] { return py::cast(Thing{3}).attr("n")(); });
}
