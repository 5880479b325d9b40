#include <pybind11/pybind11.h>

PYBIND11_MODULE(m0005, m) {
  m.def("one", [] { return 1; });
}
