#include <pybind11/pybind11.h>

namespace py = pybind11;

struct Thing {
  int n;
};

PYBIND11_MODULE(m0020, m) {
  py::class_<Thing>(m, "Thing")
      .def(py::init_value([](int n) { return Thing{n}; }), py::arg("n"), "A thing.")
      .def("n", [](const Thing& t) { return t.n; })
      .def("plus", [](const Thing& t, int k) { return t.n + k; });
}
