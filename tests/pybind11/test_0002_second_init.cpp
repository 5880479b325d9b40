#include <pybind11/pybind11.h>

#include <memory>

namespace py = pybind11;

struct Thing {
  int n;
};
struct InPlace {
  int n;
};

PYBIND11_MODULE(m0002, m) {
  py::class_<Thing>(m, "Thing").def(py::init<int>()).def("n", [](const Thing& t) { return t.n; });
  // A constructor of one's own that assigns a second value in place.
  py::class_<InPlace>(m, "InPlace")
      .def(
          "__init__",
          [](py::detail::value_and_holder& v_h, int n) {
            if (v_h.holder_constructed()) {
              v_h.value_ptr<InPlace>()->n = n;
              return;
            }
            auto holder = std::make_unique<InPlace>(InPlace{n});
            v_h.value_ptr() = holder.get();
            new (&v_h.holder<std::unique_ptr<InPlace>>())
                std::unique_ptr<InPlace>(std::move(holder));
            v_h.set_holder_constructed();
          },
          py::detail::is_new_style_constructor())
      .def("plus", [](const InPlace& t, int k) { return t.n + k; });
}
