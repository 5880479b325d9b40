#pragma once

// Conversions of the _tolvane module: shapes and dims in, shapes and tensors
// out.
//
// Shapes and dims: a Python sequence of integers (list, tuple, range,
// array.array, bytearray, a NumPy integer array, a one-dimensional
// memoryview, any object of the sequence protocol; never str or bytes, never
// a set, generator or other iterable) of entries that are int or have
// __index__ (never float, nor anything only convertible with __int__)
// converts straight into a fixed array, entry by entry, without touching the
// heap. Every entry is converted, so a bad entry is refused before the rank
// is looked at; the array keeps one entry past MAX_RANK, which is all Shape
// and infer_shape need to refuse the rank themselves. An entry's TypeError
// or OverflowError refuses the argument; any other exception raised by the
// sequence or its entries (KeyboardInterrupt, MemoryError, ...) propagates
// unchanged. `convert_exact_entries` is the part that runs no user code;
// the fast paths use it alone.
//
// Tensors: an argument must be an initialised instance of Tensor or of a Python
// subclass, whose value was built as a Tensor (pybind11 reads a value only as
// the class it was built as, whatever Python calls it later). A returned tensor
// is a new value, so it becomes a new Python object that stays out of
// pybind11's registry of instances (which maps C++ addresses back to Python
// objects for returned references): registering would cost an allocation and
// two hash-table updates per object, and a second `__init__` on it would be
// ignored.

#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/dtype.h"
#include "core/shape.h"
#include "core/tensor.h"
#include "python/stack.h"

#if defined(_LIBCPP_VERSION)
#define TOLVANE_CXX_LIBRARY "libcpp"
#elif defined(__GLIBCXX__)
#define TOLVANE_CXX_LIBRARY "libstdcpp"
#elif defined(_MSVC_STL_VERSION)
#define TOLVANE_CXX_LIBRARY "msvcstl"
#endif
static_assert(std::string_view(PYBIND11_BUILD_ABI) == "_tolvane_private_" TOLVANE_CXX_LIBRARY,
              "the module's pybind11 state must be private, under a key that names its C++ "
              "library: build with PYBIND11_BUILD_ABI=\"_tolvane_private_<library>\" "
              "(CMakeLists.txt sets it)");

namespace tolvane::python {

template <typename T>
struct SmallList {
  std::array<T, MAX_RANK + 1> items{};
  std::size_t size = 0;  // saturates at MAX_RANK + 1

  std::span<const T> span() const { return {items.data(), size}; }

  void push(T item) {
    if (size < items.size()) items[size++] = item;
  }
};

// Extents of a shape, and the signed dims of view/reshape.
using Extents = SmallList<std::size_t>;
using Dims = SmallList<std::int64_t>;

// The failure of a conversion from Python: a TypeError, or an OverflowError,
// refuses the argument (false); any other error is the caller's to see.
inline bool refuse_or_raise() {
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_OverflowError)) {
    throw pybind11::error_already_set();
  }
  PyErr_Clear();
  return false;
}

// An integer, or an object with __index__, as a T; as Python's own indexing,
// nothing that is only convertible with __int__ (a NumPy float, a Decimal).
template <typename T>
bool load_integer(PyObject* entry, T& out) {
  pybind11::object number;
  if (PyLong_Check(entry)) {
    number = pybind11::reinterpret_borrow<pybind11::object>(entry);
  } else if (PyIndex_Check(entry)) {
    number = pybind11::reinterpret_steal<pybind11::object>(PyNumber_Index(entry));
    if (!number) return refuse_or_raise();
  } else {
    return false;
  }
  if constexpr (std::is_unsigned_v<T>) {
    out = PyLong_AsUnsignedLongLong(number.ptr());
  } else {
    out = PyLong_AsLongLong(number.ptr());
  }
  return out != static_cast<T>(-1) || PyErr_Occurred() == nullptr || refuse_or_raise();
}

enum class Entries {
  CONVERTED,  // every entry is in the list
  REFUSED,    // an entry is no T: the argument does not convert
  USER_CODE,  // not an exact list or tuple of exact ints: needs the general path
};

// An exact list or tuple of exact ints, read without running any user code.
template <typename T>
Entries convert_exact_entries(PyObject* sequence, SmallList<T>& out) {
  static_assert(std::is_integral_v<T> && sizeof(T) == sizeof(long long));
  PyObject* const* items = nullptr;
  Py_ssize_t size = 0;
  if (PyList_CheckExact(sequence)) {
    items = PySequence_Fast_ITEMS(sequence);
    size = PyList_GET_SIZE(sequence);
  } else if (PyTuple_CheckExact(sequence)) {
    items = PySequence_Fast_ITEMS(sequence);
    size = PyTuple_GET_SIZE(sequence);
  } else {
    return Entries::USER_CODE;
  }
  // A refused entry decides only once every entry is known to be an exact
  // int, as the general path converts them in order.
  bool refused = false;
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (!PyLong_CheckExact(items[i])) return Entries::USER_CODE;
    auto* entry = reinterpret_cast<PyLongObject*>(items[i]);
    T value{};
    if (PyUnstable_Long_IsCompact(entry)) {
      const Py_ssize_t compact = PyUnstable_Long_CompactValue(entry);
      refused = refused || (std::is_unsigned_v<T> && compact < 0);
      value = static_cast<T>(compact);
    } else if (!load_integer(items[i], value)) {
      // Beyond the compact range an exact int fails to convert only with
      // OverflowError, which refuses it.
      refused = true;
    }
    out.push(value);
  }
  return refused ? Entries::REFUSED : Entries::CONVERTED;
}

// User code that a conversion runs (an entry's __index__, a sequence's
// __len__ or __getitem__) may call the module again, and each such level
// takes several times the C stack of CPython's own nesting (a call through
// the module's binding and its conversion, against operator.index), which
// CPython's limit, a count of levels, does not allow for. Before it runs user
// code, a conversion raises RecursionError when the thread's stack is nearly
// used up (stack.h), and it counts USER_CODE_LEVELS levels, the bound where
// the platform does not say where the stack ends.
constexpr int USER_CODE_LEVELS = 10;

// Enters USER_CODE_LEVELS levels, or none and raises RecursionError. Left by
// leave_user_code_levels, never by a destructor: a daemon thread ended by
// forced unwinding after finalisation has no thread state to leave with.
inline void enter_user_code_levels() {
  if (stack_nearly_exhausted()) {
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded while converting a shape or dims");
    throw pybind11::error_already_set();
  }
  for (int entered = 0; entered < USER_CODE_LEVELS; ++entered) {
    if (Py_EnterRecursiveCall(" while converting a shape or dims") != 0) {
      for (; entered > 0; --entered) Py_LeaveRecursiveCall();
      throw pybind11::error_already_set();
    }
  }
}

inline void leave_user_code_levels() {
  for (int left = 0; left < USER_CODE_LEVELS; ++left) Py_LeaveRecursiveCall();
}

template <typename T>
bool load_entries_with_user_code(PyObject* seq, SmallList<T>& out);

// Any sequence of integers, as the header says.
template <typename T>
bool load_entries(PyObject* seq, SmallList<T>& out) {
  switch (convert_exact_entries(seq, out)) {
    case Entries::CONVERTED:
      return true;
    case Entries::REFUSED:
      return false;
    case Entries::USER_CODE:
      out.size = 0;
      break;
  }
  enter_user_code_levels();
  bool loaded = false;
  try {
    loaded = load_entries_with_user_code(seq, out);
  } catch (const std::exception&) {
    leave_user_code_levels();
    throw;
  }
  leave_user_code_levels();
  return loaded;
}

// The general path of load_entries, whose levels it has entered.
template <typename T>
bool load_entries_with_user_code(PyObject* seq, SmallList<T>& out) {
  const auto add = [&out](PyObject* entry) {
    T item{};
    if (!load_integer(entry, item)) return false;
    out.push(item);
    return true;
  };
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
      const auto entry = pybind11::reinterpret_borrow<pybind11::object>(PyList_GET_ITEM(seq, i));
      if (!add(entry.ptr())) return false;
    }
    return true;
  }
  const auto add_item = [&add, seq](Py_ssize_t i) {
    const auto entry = pybind11::reinterpret_steal<pybind11::object>(PySequence_GetItem(seq, i));
    return entry ? add(entry.ptr()) : refuse_or_raise();
  };
  const Py_ssize_t n = PySequence_Size(seq);
  if (n < 0) return refuse_or_raise();
  // A range holds no memory per entry, so it may be far too long to walk;
  // its first and last entries bound all the others.
  constexpr auto capacity = static_cast<Py_ssize_t>(MAX_RANK + 1);
  const Py_ssize_t walked = PyRange_Check(seq) && n > capacity ? capacity : n;
  for (Py_ssize_t i = 0; i < walked; ++i) {
    if (!add_item(i)) return false;
  }
  return walked == n || add_item(n - 1);
}

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

// The module's classes, as pybind11 lays them out: set by the module's
// initialisation once they are bound, and empty until then (a failed
// initialisation's classes are not kept). The module holds the classes for the
// process, so they outlive every call that reads them.
struct Classes {
  pybind11::simple_class<Tensor> tensor;
  pybind11::simple_class<Dtype> dtype;
  pybind11::simple_class<Device> device;
  // The enumerations' members, by value, held for the process as the classes
  // are: a Dtype or Device result is its member, as CPython's enumerations
  // give theirs.
  std::array<PyObject*, DTYPE_COUNT> dtypes{};
  std::array<PyObject*, DEVICE_TABLE.size()> devices{};
};

inline std::optional<Classes>& classes() {
  static std::optional<Classes> bound;
  return bound;
}

// A new Tensor object that owns `tensor`, unregistered.
inline PyObject* wrap(Tensor&& tensor) {
  const auto& bound = classes();
  if (!bound) throw pybind11::import_error("_tolvane: the module did not initialize");
  return bound->tensor.make(std::move(tensor)).release().ptr();
}

// A Dtype or Device as a new reference to its member; a value with no member
// becomes a new instance, as pybind11 casts it.
inline const auto& members_of(const Classes& bound, Dtype /*value*/) { return bound.dtypes; }
inline const auto& members_of(const Classes& bound, Device /*value*/) { return bound.devices; }

template <typename Enum>
PyObject* member(Enum value) {
  const auto& bound = classes();
  const auto index = static_cast<std::size_t>(value);
  if (bound && index < members_of(*bound, value).size()) {
    return Py_NewRef(members_of(*bound, value)[index]);
  }
  return pybind11::cast(value).release().ptr();
}

}  // namespace tolvane::python

namespace pybind11::detail {

template <typename T>
struct type_caster<tolvane::python::SmallList<T>> {
  using List = tolvane::python::SmallList<T>;

  PYBIND11_TYPE_CASTER(List, io_name("collections.abc.Sequence", "list") + const_name("[") +
                                 make_caster<T>::name + const_name("]"));

  bool load(handle src, bool /*convert*/) {
    return tolvane::python::load_entries(src.ptr(), value);
  }
};

template <>
class type_caster<tolvane::Tensor> {
 public:
  static constexpr auto name = const_name<tolvane::Tensor>();
  template <typename U>
  using cast_op_type = detail::cast_op_type<U>;

  // An initialised instance of Tensor or of a Python subclass; pybind11 refuses
  // one whose __init__ never ran.
  bool load(handle src, bool /*convert*/) {
    auto& classes = tolvane::python::classes();
    value = classes ? classes->tensor.load(src) : nullptr;
    return value != nullptr;
  }

  static handle cast(tolvane::Tensor&& src, return_value_policy /*policy*/, handle /*parent*/) {
    return tolvane::python::wrap(std::move(src));
  }

  operator tolvane::Tensor*() { return value; }
  operator tolvane::Tensor&() {
    if (value == nullptr) throw reference_cast_error();
    return *value;
  }

 private:
  tolvane::Tensor* value = nullptr;
};

}  // namespace pybind11::detail
