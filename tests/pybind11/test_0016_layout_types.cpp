#include <pybind11/pybind11.h>

namespace py = pybind11;

// Counts its live values, so that a test sees a holder that is never freed.
struct Counted {
  static inline int live = 0;
  Counted() { ++live; }
  Counted(const Counted&) { ++live; }
  ~Counted() { --live; }
};
struct Thing : Counted {
  explicit Thing(int v) : n(v) {}
  int n;
};
struct Other : Counted {
  explicit Other(double v) : x(v) {}
  double x;
};
struct Base {
  virtual ~Base() = default;
  int base = 1;
};
struct Derived : Base {
  int derived = 2;
};

PYBIND11_MODULE(m0016, m) {
  py::class_<Thing>(m, "Thing").def(py::init<int>()).def("n", [](const Thing& t) { return t.n; });
  py::class_<Other>(m, "Other").def(py::init<double>()).def("x", [](const Other& o) {
    return o.x;
  });
  py::class_<Base>(m, "Base").def(py::init<>());
  py::class_<Derived, Base>(m, "Derived").def(py::init<>());
  m.def("base_of", [](const Base& b) { return b.base; });
  m.def("live", [] { return Counted::live; });
}
