// The _tolvane extension module: converts Python arguments, forwards to the
// tensor core and the lazy graph, and wraps the results. Library exceptions
// reach Python through pybind11's standard translation.

#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

#include <cstddef>
#include <new>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/dtype.h"
#include "core/shape.h"
#include "core/tensor.h"
#include "graph/ops.h"
#include "python/casters.h"
#include "python/fast_paths.h"

namespace py = pybind11;
using namespace tolvane;
using tolvane::python::Dims;
using tolvane::python::Extents;
using tolvane::python::FastPaths;
using tolvane::python::to_list;

namespace {

constexpr const char* REPR_PREFIX = "tolvane.";

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
  text += ')';
  return text;
}

// A classic enumeration with a member for each row of its table, exported
// into the module, whose values print as "tolvane.<short name>".
template <typename Enum, typename ForEachRow>
void bind_enum(py::module_& m, const char* name, ForEachRow for_each_row,
               const char* (*short_name)(Enum)) {
  py::enum_<Enum> enumeration(m, name);
  for_each_row([&enumeration](const auto& row) { enumeration.value(row.enumerator, row.value); });
  enumeration.export_values().def(
      "__repr__", [short_name](Enum value) { return REPR_PREFIX + std::string(short_name(value)); },
      py::prepend());
}

// "FLOAT32" -> "float32".
py::str lower_case(const char* text) { return py::str(text).attr("lower")(); }

// Dtype, Device, then the lower-case aliases of every Dtype and of CPU.
void bind_enums(py::module_& m) {
  bind_enum<Dtype>(m, "Dtype", [](auto&& f) { for_each_dtype(f); }, &dtype_name);
  bind_enum<Device>(m, "Device", [](auto&& f) { for_each_device(f); }, &device_name);
  for_each_dtype([&m](const auto& row) { m.attr(lower_case(row.enumerator)) = row.value; });
  m.attr("cpu") = Device::CPU;
}

// The defaults of the constructor's and the factories' trailing parameters.
constexpr Dtype DEFAULT_DTYPE = Dtype::FLOAT32;
constexpr Device DEFAULT_DEVICE = Device::CPU;
constexpr std::tuple<Dtype, Device> constructor_defaults() {
  return {DEFAULT_DTYPE, DEFAULT_DEVICE};
}

// The bound functions (each with its fast path, python/fast_paths.h).
Tensor make_tensor(const Extents& shape, Dtype dtype, Device device) {
  return Tensor(Shape(shape.span()), dtype, device);
}
Tensor zeros_of(const Extents& shape, Dtype dtype, Device device) {
  return Tensor::zeros(Shape(shape.span()), dtype, device);
}
Tensor ones_of(const Extents& shape, Dtype dtype, Device device) {
  return Tensor::ones(Shape(shape.span()), dtype, device);
}
py::typing::List<int> shape_of(const Tensor& t) { return to_list(t.shape()); }
py::typing::List<int> strides_of(const Tensor& t) { return to_list(t.strides()); }
Dtype dtype_of(const Tensor& t) { return t.dtype(); }
Device device_of(const Tensor& t) { return t.device(); }
std::size_t offset_of(const Tensor& t) { return t.offset(); }
std::int64_t numel_of(const Tensor& t) { return t.numel(); }
std::size_t nbytes_of(const Tensor& t) { return t.nbytes(); }
bool allocated_of(const Tensor& t) { return t.allocated(); }
bool is_contiguous_of(const Tensor& t) { return t.is_contiguous(); }
Tensor contiguous_of(const Tensor& t) { return t.contiguous(); }
Tensor view_of(const Tensor& t, const Dims& dims) { return t.view(dims.span()); }
Tensor reshape_of(const Tensor& t, const Dims& dims) { return t.reshape(dims.span()); }

// The Tensor class. Every member takes its receiver by reference, so None is
// never a tensor. The module body installs and commits the fast paths.
FastPaths bind_tensor(py::module_& m) {
  // Shared by the constructor and the factories: shape, dtype, device.
  const py::arg shape_arg("shape");
  const py::arg_v dtype_arg("dtype", DEFAULT_DTYPE, "Dtype.FLOAT32");
  const py::arg_v device_arg("device", DEFAULT_DEVICE, "Device.CPU");

  py::class_<Tensor> cls(m, "Tensor", FastPaths::vectorcall<&make_tensor, &constructor_defaults>());
  FastPaths fast(cls);
  // A tensor returned by the module is unregistered (casters.h); a second
  // __init__ assigns the new tensor in place once it is built, so a call
  // that holds this instance's value across user code (an entry's __index__
  // that re-initialises it) sees the new value, never freed memory.
  fast.constructor<&make_tensor, &constructor_defaults>("An empty (uninitialized) tensor.",
                                                        shape_arg, dtype_arg, device_arg)
      .static_method<&zeros_of, &constructor_defaults>("zeros", shape_arg, dtype_arg, device_arg)
      .static_method<&ones_of, &constructor_defaults>("ones", shape_arg, dtype_arg, device_arg)
      .getter<&shape_of>("shape")
      .getter<&strides_of>("strides")
      .getter<&dtype_of>("dtype")
      .getter<&device_of>("device")
      .getter<&offset_of>("offset")
      .method<&numel_of>("numel")
      .method<&nbytes_of>("nbytes")
      .method<&allocated_of>("allocated", "True if the tensor has backing storage allocated.")
      .method<&is_contiguous_of>("is_contiguous")
      .method<&contiguous_of>("contiguous",
                              "Copy to a contiguous tensor if needed, else return self.")
      .method<&view_of>("view", py::arg("dims"),
                        "Zero-copy reshape; requires a contiguous tensor. One dim may be -1.")
      .method<&reshape_of>("reshape", py::arg("dims"),
                           "View when contiguous, copying otherwise. One dim may be -1.")
      .method<&add>("__add__", py::is_operator(), "Lazy elementwise add")
      .method<&tensor_repr>("__repr__");
  return fast;
}

void bind_graph(py::module_& m, FastPaths& fast) {
  fast.function<&execute>(m, "execute", py::arg("output"), "Materialize tensors in the graph");
}

// The first C++ exception a thread throws sets up the C++ runtime's own state
// for it (libstdc++ allocates it then); under memory exhaustion that first
// throw would end the process instead of becoming MemoryError. The module
// throws one as it loads, in the importing thread, while memory is there.
[[maybe_unused]] const bool exception_handling_ready = []() noexcept {
  try {
    throw std::bad_alloc();
  } catch (const std::bad_alloc&) {
    return true;
  }
}();

}  // namespace

// The module loads only in the main interpreter, and refuses every
// sub-interpreter before any state is set up in it. The state its calls share
// (the classes, the fast paths' functions) is replaced only once the body has
// succeeded: a load that fails (a second load of the file under another name,
// which finds the classes registered, or one that runs out of memory) leaves
// a loaded module working.
PYBIND11_MODULE(_tolvane, m, py::multiple_interpreters::main_interpreter_only()) {
  m.doc() = "Tolvane doc";
  m.attr("__version__") = TOLVANE_VERSION;
  bind_enums(m);
  FastPaths fast = bind_tensor(m);
  bind_graph(m, fast);
  fast.install();
  tolvane::python::Classes bound;
  std::vector<py::object> kept{m.attr("Tensor"), m.attr("Dtype"), m.attr("Device")};
  for_each_dtype([&](const auto& row) {
    kept.push_back(m.attr("Dtype").attr(row.enumerator));
    bound.dtypes.at(static_cast<std::size_t>(row.value)) = kept.back().ptr();
  });
  for_each_device([&](const auto& row) {
    kept.push_back(m.attr("Device").attr(row.enumerator));
    bound.devices.at(static_cast<std::size_t>(row.value)) = kept.back().ptr();
  });
  // The casters and the fast paths keep pointers to the classes and the
  // members: the module holds a reference to each that it never gives back,
  // so that `del _tolvane.Tensor` and a collection cannot free them under
  // those pointers.
  for (py::object& cls : kept) cls.release();
  fast.commit();
  tolvane::python::classes() = bound;
}
