#include <pybind11/pybind11.h>

#include <string>

namespace py = pybind11;

struct Thing {
  int n;
};
struct Other {
  std::string text;
};
enum class Colour { RED, GREEN };

PYBIND11_MODULE(m0014, m) {
  py::class_<Thing>(m, "Thing").def(py::init<int>()).def("n", [](const Thing& t) { return t.n; });
  py::enum_<Colour>(m, "Colour").value("RED", Colour::RED).value("GREEN", Colour::GREEN);
  py::class_<Other>(m, "Other").def(py::init<std::string>());
  m.def("check", [] {
    return py::cast(Thing{3}).attr("n")().cast<int>() + static_cast<int>(Colour::GREEN);
  });
}
