#include <pybind11/pybind11.h>

#include <type_traits>

namespace py = pybind11;

// The declaration main_interpreter_only() where pybind11 has it, else the
// closest one it has.
template <typename M, typename = void>
struct Declared {
  static M get() { return M::not_supported(); }
};
template <typename M>
struct Declared<M, std::void_t<decltype(M::main_interpreter_only())>> {
  static M get() { return M::main_interpreter_only(); }
};

struct Thing {
  int n;
};

PYBIND11_MODULE(m0009, m, Declared<py::multiple_interpreters>::get()) {
  py::class_<Thing>(m, "Thing").def(py::init<int>()).def("n", [](const Thing& t) { return t.n; });
}
