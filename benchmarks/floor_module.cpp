// The pybind11 floor: a module whose class has exactly the signatures of
// _tolvane.Tensor's constructor, `shape` property, `+` operator and `view`
// and `reshape` methods, and stores a value the size of a tensor record, but
// does no work of its own. Timing it shows what pybind11 itself costs.
//
// KeepingTensor is the floor of a recording `+`: its value is a shared handle
// to a record the size of a tensor record, and `+` makes a new record and
// keeps, for good, a node-sized record holding handles to both operands and
// the result, as the graph does.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/tensor.h"
#include "graph/graph.h"

namespace py = pybind11;

namespace {

using tolvane::Device;
using tolvane::Dtype;

struct Floor {
  // As large as a TensorImpl: the first bytes keep rank and extents.
  std::array<std::byte, sizeof(tolvane::TensorImpl)> payload{};

  std::vector<std::size_t> shape() const {
    std::size_t rank = 0;
    std::memcpy(&rank, payload.data(), sizeof rank);
    std::vector<std::size_t> out(rank);
    std::memcpy(out.data(), payload.data() + sizeof rank, rank * sizeof(std::size_t));
    return out;
  }
};

Floor make(const std::vector<std::size_t>& shape) {
  Floor f;
  const std::size_t rank = shape.size() < 4 ? shape.size() : 4;
  std::memcpy(f.payload.data(), &rank, sizeof rank);
  std::memcpy(f.payload.data() + sizeof rank, shape.data(), rank * sizeof(std::size_t));
  return f;
}

Floor view(const Floor&, const std::vector<std::int64_t>& dims) {
  return make(std::vector<std::size_t>(dims.begin(), dims.end()));
}

struct Record {
  std::array<std::byte, sizeof(tolvane::TensorImpl)> payload{};
};

struct KeepingTensor {
  std::shared_ptr<Record> record = std::make_shared<Record>();
};

struct KeptNode {
  std::shared_ptr<Record> inputs[2];
  std::shared_ptr<Record> output;
  std::array<std::byte, sizeof(tolvane::Node) - 3 * sizeof(std::shared_ptr<Record>)> rest{};
};

std::vector<std::unique_ptr<KeptNode>>& kept() {
  static auto* nodes = new std::vector<std::unique_ptr<KeptNode>>;  // kept until exit
  return *nodes;
}

KeepingTensor keeping_add(const KeepingTensor& a, const KeepingTensor& b) {
  KeepingTensor out;
  kept().push_back(std::make_unique<KeptNode>(KeptNode{{a.record, b.record}, out.record}));
  return out;
}

}  // namespace

PYBIND11_MODULE(_floor, m) {
  py::enum_<Dtype>(m, "Dtype").value("FLOAT32", Dtype::FLOAT32).export_values();
  py::enum_<Device>(m, "Device").value("CPU", Device::CPU).export_values();
  py::class_<Floor>(m, "Tensor")
      .def(py::init(
               [](const std::vector<std::size_t>& shape, Dtype, Device) { return make(shape); }),
           py::arg("shape"), py::arg_v("dtype", Dtype::FLOAT32, "Dtype.FLOAT32"),
           py::arg_v("device", Device::CPU, "Device.CPU"))
      .def_property_readonly("shape", &Floor::shape)
      .def("view", &view, py::arg("dims"))
      .def("reshape", &view, py::arg("dims"))
      .def("__add__", [](const Floor& a, const Floor&) { return a; }, py::is_operator());
  py::class_<KeepingTensor>(m, "KeepingTensor")
      .def(py::init([](const std::vector<std::size_t>&, Dtype, Device) { return KeepingTensor{}; }),
           py::arg("shape"), py::arg_v("dtype", Dtype::FLOAT32, "Dtype.FLOAT32"),
           py::arg_v("device", Device::CPU, "Device.CPU"))
      .def("__add__", &keeping_add, py::is_operator());
}
