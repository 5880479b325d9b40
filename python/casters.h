#pragma once

// Conversions of the _tolvane module: shapes and dims in, shapes out.
//
// A Python sequence of integers (list, tuple, range, array.array, bytearray,
// a NumPy integer array, a one-dimensional memoryview, any object of the
// sequence protocol; never str or bytes, never a set, generator or other
// iterable) of entries that are int or have __index__ (never float, nor
// anything only convertible with __int__) converts straight into a fixed
// array, entry by entry, without touching the heap. Every entry is
// converted, so a bad entry is refused before the rank is looked at; the
// array keeps one entry past MAX_RANK, which is all Shape and infer_shape
// need to refuse the rank themselves.
// An entry's TypeError or OverflowError refuses the argument; any other
// exception raised by the sequence or its entries (KeyboardInterrupt,
// MemoryError, ...) propagates unchanged.
//
// Tensor, Dtype and Device arguments convert through pybind11_repairs.h.

#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/shape.h"
#include "python/pybind11_repairs.h"

namespace tolvane::python {

template <typename T>
struct SmallList {
  std::array<T, MAX_RANK + 1> items{};
  std::size_t size = 0;  // saturates at MAX_RANK + 1

  std::span<const T> span() const { return {items.data(), size}; }
};

// Extents of a shape, and the signed dims of view/reshape.
using Extents = SmallList<std::size_t>;
using Dims = SmallList<std::int64_t>;

// A fresh list of the first rank() entries, built without an intermediate.
inline pybind11::typing::List<int> to_list(const Shape& shape) {
  auto list = pybind11::reinterpret_steal<pybind11::typing::List<int>>(PyList_New(shape.rank()));
  if (!list) throw pybind11::error_already_set();
  for (int i = 0; i < shape.rank(); ++i) {
    PyObject* entry = PyLong_FromSize_t(shape[i]);
    if (entry == nullptr) throw pybind11::error_already_set();
    PyList_SET_ITEM(list.ptr(), i, entry);
  }
  return list;
}

}  // namespace tolvane::python

namespace pybind11::detail {

template <typename T>
struct type_caster<tolvane::python::SmallList<T>> {
  using List = tolvane::python::SmallList<T>;

  PYBIND11_TYPE_CASTER(List, io_name("collections.abc.Sequence", "list") + const_name("[") +
                                 make_caster<T>::name + const_name("]"));

  bool load(handle src, bool /*convert*/) {
    PyObject* seq = src.ptr();
    if (PyUnicode_Check(seq) || PyBytes_Check(seq) || !PySequence_Check(seq)) return false;
    // A multi-dimensional view has no length (NotImplementedError).
    if (PyMemoryView_Check(seq) && PyMemoryView_GET_BUFFER(seq)->ndim > 1) return false;
    if (PyTuple_Check(seq)) {
      for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq); ++i) {
        if (!add(PyTuple_GET_ITEM(seq, i))) return false;
      }
      return true;
    }
    if (PyList_Check(seq)) {
      // An entry's __index__ may change the list: hold each entry while it
      // converts and read the length afresh.
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
        if (!add(reinterpret_borrow<object>(PyList_GET_ITEM(seq, i)))) return false;
      }
      return true;
    }
    const Py_ssize_t n = PySequence_Size(seq);
    if (n < 0) return refuse_or_raise();
    // A range holds no memory per entry, so it may be far too long to walk;
    // its first and last entries bound all the others.
    const Py_ssize_t walked = PyRange_Check(seq) && n > CAPACITY ? CAPACITY : n;
    for (Py_ssize_t i = 0; i < walked; ++i) {
      if (!add_item(seq, i)) return false;
    }
    return walked == n || add_item(seq, n - 1);
  }

 private:
  static constexpr Py_ssize_t CAPACITY = tolvane::MAX_RANK + 1;

  bool add(handle entry) {
    T item{};
    if (!load_integer(entry, item)) return false;
    if (value.size < value.items.size()) value.items[value.size++] = item;
    return true;
  }

  bool add_item(PyObject* seq, Py_ssize_t i) {
    const object entry = reinterpret_steal<object>(PySequence_GetItem(seq, i));
    return entry ? add(entry) : refuse_or_raise();
  }
};

}  // namespace pybind11::detail
