#include <pybind11/pybind11.h>

#include <string>

namespace py = pybind11;

struct Thing {
  int n;
};

PYBIND11_MODULE(m0017, m) {
  py::class_<Thing>(m, "Thing").def(py::init<int>()).def("__repr__", [](const Thing& t) {
    return "Thing(" + std::to_string(t.n) + ")";
  });
}
