// The _tolvane extension module: converts Python arguments, forwards to the
// tensor core and the lazy graph, and wraps the results. Library exceptions
// reach Python through pybind11's standard translation.

#include <pybind11/pybind11.h>

#include <string>

#include "core/dtype.h"

namespace py = pybind11;
using namespace tolvane;

namespace {

constexpr const char* REPR_PREFIX = "tolvane.";

}  // namespace

PYBIND11_MODULE(_tolvane, m) {
  m.doc() = "Tolvane doc";
  m.attr("__version__") = TOLVANE_VERSION;

  py::enum_<Dtype>(m, "Dtype")
      .value("FLOAT32", Dtype::FLOAT32)
      .value("INT32", Dtype::INT32)
      .value("FLOAT64", Dtype::FLOAT64)
      .value("INT64", Dtype::INT64)
      .export_values()
      .def(
          "__repr__", [](Dtype d) { return REPR_PREFIX + std::string(dtype_name(d)); },
          py::prepend());

  py::enum_<Device>(m, "Device")
      .value("CPU", Device::CPU)
      .value("CUDA", Device::CUDA)
      .value("HIP", Device::HIP)
      .export_values()
      .def(
          "__repr__", [](Device d) { return REPR_PREFIX + std::string(device_name(d)); },
          py::prepend());

  m.attr("float32") = Dtype::FLOAT32;
  m.attr("int32") = Dtype::INT32;
  m.attr("float64") = Dtype::FLOAT64;
  m.attr("int64") = Dtype::INT64;
  m.attr("cpu") = Device::CPU;
}
