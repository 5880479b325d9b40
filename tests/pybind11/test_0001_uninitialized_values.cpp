#include <pybind11/pybind11.h>

namespace py = pybind11;

struct Thing {
  int n;
};
enum class Colour { RED, GREEN };

PYBIND11_MODULE(m0001, m) {
  py::class_<Thing>(m, "Thing").def(py::init<int>()).def("n", [](const Thing& t) { return t.n; });
  py::enum_<Colour>(m, "Colour").value("RED", Colour::RED).value("GREEN", Colour::GREEN);
  m.def("value", [](Colour c) { return static_cast<int>(c); });
}
