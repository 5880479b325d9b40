#include <pybind11/pybind11.h>

PYBIND11_MODULE(m0008, m) {
  m.def("twice", [](int n) { return 2 * n; });
  m.def("half", [](double x) { return x / 2; });
}
