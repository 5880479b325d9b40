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
      .def(py::init_value([](int n) { return Thing{n}; }), py::arg("n"), "A thing.")
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
  m.def("translated", [] {
    try {
      throw py::value_error("translated");
    } catch (...) {
      py::translate_active_exception();
    }
    py::error_already_set error;
    return py::str(error.value());
  });
  m.def("metaclass_takes_vectorcalls", [](py::handle cls) {
    auto* meta = Py_TYPE(cls.ptr());
    return PyType_HasFeature(meta, Py_TPFLAGS_HAVE_VECTORCALL) != 0 &&
           meta->tp_vectorcall_offset ==
               static_cast<Py_ssize_t>(offsetof(PyTypeObject, tp_vectorcall));
  });
  // A class that is not simple: refused with pybind11's error.
  py::class_<Counted, std::shared_ptr<Counted>>(m, "Counted");
  m.def("simple_counted", [] { py::simple_class<Counted> refused; });
}
