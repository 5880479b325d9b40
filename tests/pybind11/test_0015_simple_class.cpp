#include <pybind11/pybind11.h>

#include <string>

namespace py = pybind11;

struct Thing {
  int n;
};
struct Counted {
  std::string name;
};

PYBIND11_MODULE(m0015, m) {
  py::class_<Thing>(m, "Thing")
      .def(py::init<int>())
      .def("n", [](const Thing& t) { return t.n; })
      .def("plus", [](const Thing& t, int k) { return t.n + k; });
  m.def("make", [](int n) { return py::simple_class<Thing>().make(Thing{n}); });
  m.def("get", [](py::handle h) {
    const Thing* t = py::simple_class<Thing>().get(h);
    return t != nullptr ? py::object(py::int_(t->n)) : py::object(py::none());
  });
  m.def("load", [](py::handle h) {
    const Thing* t = py::simple_class<Thing>().load(h);
    return t != nullptr ? py::object(py::int_(t->n)) : py::object(py::none());
  });
  m.def("is_type", [](py::handle h) {
    return h.ptr() == reinterpret_cast<PyObject*>(py::simple_class<Thing>().type());
  });
  // A class that is not simple: refused with pybind11's error.
  py::class_<Counted, std::shared_ptr<Counted>>(m, "Counted");
  m.def("simple_counted", [] { py::simple_class<Counted> refused; });
}
