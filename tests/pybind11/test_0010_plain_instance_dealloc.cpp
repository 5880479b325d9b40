#include <pybind11/pybind11.h>

namespace py = pybind11;

struct Thing {
  int n;
};
struct Open {
  int n;
};

PYBIND11_MODULE(m0010, m) {
  py::class_<Thing>(m, "Thing").def(py::init<int>()).def("n", [](const Thing& t) { return t.n; });
  py::class_<Open>(m, "Open", py::dynamic_attr()).def(py::init<int>());
  m.def("make", [](int n) { return Thing{n}; });
  // The result keeps its argument alive (a patient).
  m.def("keeping", [](py::object) { return Thing{9}; }, py::keep_alive<0, 1>());
}
