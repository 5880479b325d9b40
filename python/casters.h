#pragma once

// Argument conversions of the _tolvane module.
//
// Shapes and dims: a Python sequence of integers (list, tuple, range,
// array.array, bytearray, a NumPy integer array, any object of the sequence
// protocol; never str or bytes, never a set, generator or other iterable)
// converts straight into a fixed array, entry by entry with pybind11's own
// integer conversion, without touching the heap. Every entry is converted, so
// a bad entry is refused before the rank is looked at; the array keeps one
// entry past MAX_RANK, which is all Shape and infer_shape need to refuse the
// rank themselves.
//
// Tensor, Dtype and Device arguments: only instances whose C++ value was
// constructed. pybind11's generic conversion hands out raw storage for an
// instance whose __init__ never ran (made with `Tensor.__new__(Tensor)`);
// this refuses it with TypeError. None is never a tensor.

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include "core/dtype.h"
#include "core/shape.h"
#include "core/tensor.h"

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

// Puts `tensor` into an instance's value and holder, neither of which exists
// yet, without registering the instance (see type_caster<Tensor>::cast).
inline void hold(pybind11::detail::value_and_holder& v_h, Tensor&& tensor) {
  auto holder = std::make_unique<Tensor>(std::move(tensor));
  v_h.value_ptr() = holder.get();
  new (&v_h.holder<std::unique_ptr<Tensor>>()) std::unique_ptr<Tensor>(std::move(holder));
  v_h.set_holder_constructed();
}

}  // namespace tolvane::python

namespace pybind11::detail {

template <typename T>
struct type_caster<tolvane::python::SmallList<T>> {
  using List = tolvane::python::SmallList<T>;
  using entry_caster = make_caster<T>;

  PYBIND11_TYPE_CASTER(List, io_name("collections.abc.Sequence", "list") + const_name("[") +
                                 entry_caster::name + const_name("]"));

  bool load(handle src, bool convert) {
    PyObject* seq = src.ptr();
    if (PyUnicode_Check(seq) || PyBytes_Check(seq) || !PySequence_Check(seq)) return false;
    if (PyTuple_Check(seq)) {
      for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq); ++i) {
        if (!add(PyTuple_GET_ITEM(seq, i), convert)) return false;
      }
      return true;
    }
    if (PyList_Check(seq)) {
      // An entry's __index__ may change the list: hold each entry while it
      // converts and read the length afresh.
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
        if (!add(reinterpret_borrow<object>(PyList_GET_ITEM(seq, i)), convert)) return false;
      }
      return true;
    }
    const Py_ssize_t n = PySequence_Size(seq);
    if (n < 0) return refuse_or_raise();
    // A range holds no memory per entry, so it may be far too long to walk;
    // its first and last entries bound all the others.
    const Py_ssize_t walked = PyRange_Check(seq) && n > CAPACITY ? CAPACITY : n;
    for (Py_ssize_t i = 0; i < walked; ++i) {
      if (!add_item(seq, i, convert)) return false;
    }
    return walked == n || add_item(seq, n - 1, convert);
  }

 private:
  static constexpr Py_ssize_t CAPACITY = tolvane::MAX_RANK + 1;

  bool add(handle entry, bool convert) {
    entry_caster conv;
    if (!conv.load(entry, convert)) return false;
    if (value.size < value.items.size()) value.items[value.size++] = cast_op<T>(conv);
    return true;
  }

  bool add_item(PyObject* seq, Py_ssize_t i, bool convert) {
    const object entry = reinterpret_steal<object>(PySequence_GetItem(seq, i));
    return entry ? add(entry, convert) : refuse_or_raise();
  }

  // A sequence that cannot say its length or give an entry with a TypeError
  // (or, for a range beyond ssize_t, an OverflowError) is not a sequence of
  // integers; any other error is the caller's to see.
  static bool refuse_or_raise() {
    if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_OverflowError)) {
      throw error_already_set();
    }
    PyErr_Clear();
    return false;
  }
};

// Loads only constructed instances of the registered class of T, whose type
// it looks up once rather than at every call; returns go through pybind11's
// own conversion.
template <typename T>
class constructed_caster : public type_caster_generic {
 public:
  static constexpr auto name = type_caster_base<T>::name;
  template <typename U>
  using cast_op_type = detail::cast_op_type<U>;

  constructed_caster() : type_caster_generic(registered()) {}

  bool load(handle src, bool /*convert*/) {
    const type_info* info = typeinfo;
    if (info == nullptr || !PyObject_TypeCheck(src.ptr(), info->type)) return false;
    auto* inst = reinterpret_cast<instance*>(src.ptr());
    const value_and_holder v_h = inst->get_value_and_holder(info, false);
    if (v_h.inst == nullptr) return false;
    if (!v_h.holder_constructed()) {
      constexpr const char* what = std::is_same_v<T, tolvane::Tensor> ? "tensor" : "value";
      throw type_error(std::string(info->type->tp_name) + ": the " + what +
                       " was never initialized (its __init__ did not run)");
    }
    value = v_h.value_ptr();
    return true;
  }

  template <typename U>
  static handle cast(U&& src, return_value_policy policy, handle parent) {
    return type_caster_base<T>::cast(std::forward<U>(src), policy, parent);
  }

  operator T*() { return static_cast<T*>(value); }
  operator T&() {
    if (value == nullptr) throw reference_cast_error();
    return *static_cast<T*>(value);
  }

 protected:
  // Null until the class is registered, then kept: the module's classes
  // live as long as the process.
  static const type_info* registered() {
    static const type_info* info = nullptr;
    if (info == nullptr) info = get_type_info(typeid(T));
    return info;
  }
};

// Returned tensors become new Python objects that stay out of pybind11's
// registry of instances, which maps C++ addresses back to Python objects for
// returned references: every tensor the module returns is a new value, and
// registering costs an allocation and two hash-table updates per object.
template <>
class type_caster<tolvane::Tensor> : public constructed_caster<tolvane::Tensor> {
 public:
  using constructed_caster<tolvane::Tensor>::cast;

  static handle cast(tolvane::Tensor&& src, return_value_policy /*policy*/, handle /*parent*/) {
    PyTypeObject* type = registered()->type;
    // The module's tp_alloc throws std::bad_alloc rather than return null.
    object self = reinterpret_steal<object>(type->tp_alloc(type, 0));
    auto* inst = reinterpret_cast<instance*>(self.ptr());
    inst->allocate_layout();
    inst->owned = true;
    value_and_holder v_h = inst->get_value_and_holder();
    tolvane::python::hold(v_h, std::move(src));
    return self.release();
  }
};
template <>
class type_caster<tolvane::Dtype> : public constructed_caster<tolvane::Dtype> {};
template <>
class type_caster<tolvane::Device> : public constructed_caster<tolvane::Device> {};

}  // namespace pybind11::detail
