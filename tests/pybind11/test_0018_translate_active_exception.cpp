#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(m0018, m) {
  m.def("translated", [](int which) {
    try {
      if (which == 0) throw py::value_error("translated");
      throw std::out_of_range("out of range");
    } catch (...) {
      py::translate_active_exception();
    }
    py::error_already_set error;
    return py::make_tuple(py::str(error.type().attr("__name__")), py::str(error.value()));
  });
}
