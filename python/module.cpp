// The _tolvane extension module: converts Python arguments, forwards to the
// tensor core and the lazy graph, and wraps the results. Library exceptions
// reach Python through pybind11's standard translation.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/dtype.h"
#include "core/shape.h"
#include "core/tensor.h"
#include "graph/ops.h"

namespace py = pybind11;
using namespace tolvane;

namespace {

constexpr const char* REPR_PREFIX = "tolvane.";

using Extents = std::vector<std::size_t>;

Tensor construct(const Shape& shape, Dtype dtype, Device device) {
  return Tensor(shape, dtype, device);
}

// Converts the Python extents to a Shape before any factory runs.
template <Tensor (*factory)(const Shape&, Dtype, Device)>
Tensor make(const Extents& shape, Dtype dtype, Device device) {
  return factory(Shape(shape), dtype, device);
}

std::string tensor_repr(const Tensor& t) {
  std::string text = REPR_PREFIX;
  text += "Tensor(shape=[";
  const Shape& shape = t.shape();
  for (int i = 0; i < shape.rank(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(shape[i]);
  }
  const char* device = device_name(t.device());
  const char* dtype = dtype_name(t.dtype());
  text += "], dtype=";
  text += dtype;
  text += ", device=";
  text += device;
  text += ")";
  return text;
}

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

  // Shared by the constructor and the factories: shape, dtype, device.
  const py::arg shape_arg("shape");
  const py::arg_v dtype_arg("dtype", Dtype::FLOAT32, "Dtype.FLOAT32");
  const py::arg_v device_arg("device", Device::CPU, "Device.CPU");

  py::class_<Tensor>(m, "Tensor")
      .def(py::init(&make<construct>), "An empty (uninitialized) tensor.", shape_arg, dtype_arg,
           device_arg)
      .def_static("zeros", &make<Tensor::zeros>, shape_arg, dtype_arg, device_arg)
      .def_static("ones", &make<Tensor::ones>, shape_arg, dtype_arg, device_arg)
      .def_property_readonly("shape", [](const Tensor& t) { return t.shape().to_vector(); })
      .def_property_readonly("strides", [](const Tensor& t) { return t.strides().to_vector(); })
      .def_property_readonly("dtype", &Tensor::dtype)
      .def_property_readonly("device", &Tensor::device)
      .def_property_readonly("offset", &Tensor::offset)
      .def("numel", &Tensor::numel)
      .def("nbytes", &Tensor::nbytes)
      .def("allocated", &Tensor::allocated, "True if the tensor has backing storage allocated.")
      .def("is_contiguous", &Tensor::is_contiguous)
      .def("contiguous", &Tensor::contiguous,
           "Copy to a contiguous tensor if needed, else return self.")
      .def("view", &Tensor::view, py::arg("dims"),
           "Zero-copy reshape; requires a contiguous tensor. One dim may be -1.")
      .def("reshape", &Tensor::reshape, py::arg("dims"),
           "View when contiguous, copying otherwise. One dim may be -1.")
      .def("__add__", &add, py::is_operator(), "Lazy elementwise add")
      .def("__repr__", &tensor_repr);

  m.def("execute", &execute, py::arg("output"), "Materialize tensors in the graph");
}
