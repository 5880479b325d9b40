#include <pybind11/pybind11.h>

namespace py = pybind11;

struct Thing {
  int n;
};
struct Other {
  double x;
};
enum class Colour { RED, GREEN };

PYBIND11_MODULE(m0007, m) {
  py::class_<Thing>(m, "Thing").def(py::init<int>()).def("n", [](const Thing& t) { return t.n; });
  py::class_<Other>(m, "Other").def(py::init<double>());
  py::enum_<Colour>(m, "Colour").value("RED", Colour::RED).value("GREEN", Colour::GREEN);
}
