// The one binding layer: slot guards, borrow flags, instance layout, type creation,
// argument binding and the conversions with their standard error texts.
#pragma once

#include "src/py_ref.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace ruvo::py {

// ---------------------------------------------------------------------------
// Slot boundary: no C++ exception unwinds into the interpreter.

void set_unexpected_exception() noexcept;

template <class F>
auto guard(F&& f) noexcept -> decltype(f()) {
  using R = decltype(f());
  try {
    return f();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    set_unexpected_exception();
  }
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    return R(-1);
  }
}

// ---------------------------------------------------------------------------
// Borrow flag: shared readers or one exclusive writer, refused rather than raced.

class BorrowFlag {
 public:
  bool try_shared() noexcept {
    std::int32_t v = state_.load(std::memory_order_relaxed);
    do {
      if (v < 0) return false;
    } while (!state_.compare_exchange_weak(v, v + 1, std::memory_order_acquire));
    return true;
  }
  void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }
  bool try_exclusive() noexcept {
    std::int32_t expected = 0;
    return state_.compare_exchange_strong(expected, -1, std::memory_order_acquire);
  }
  void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

 private:
  std::atomic<std::int32_t> state_{0};
};

// Instance layout of every class of the module: the value lives inside the object.
template <class T>
struct Object {
  PyObject_HEAD BorrowFlag borrow;
  T value;
};

template <class T>
Object<T>* object_of(PyObject* self) noexcept {
  return reinterpret_cast<Object<T>*>(self);
}

// RAII shared borrow; on refusal sets RuntimeError "Already mutably borrowed".
class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) noexcept;
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow() {
    if (flag_) flag_->release_shared();
  }
  explicit operator bool() const noexcept { return flag_ != nullptr; }

 private:
  BorrowFlag* flag_;
};

// RAII exclusive borrow; on refusal sets RuntimeError "Already borrowed".
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) noexcept;
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ~ExclusiveBorrow() {
    if (flag_) flag_->release_exclusive();
  }
  explicit operator bool() const noexcept { return flag_ != nullptr; }

 private:
  BorrowFlag* flag_;
};

// Allocates an instance of `type` (or a subclass) holding `value`.
template <class T>
PyObject* new_instance(PyTypeObject* type, T&& value) {
  using V = std::remove_cvref_t<T>;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  auto* obj = object_of<V>(self);
  new (&obj->borrow) BorrowFlag();
  new (&obj->value) V(std::forward<T>(value));
  return self;
}

// Releases members, frees the object, then drops the reference to the heap type.
template <class T>
void dealloc_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  if (PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC)) PyObject_GC_UnTrack(self);
  object_of<T>(self)->value.~T();
  type->tp_free(self);
  Py_DECREF(type);
}

// ---------------------------------------------------------------------------
// Type creation.

struct TypeDef {
  const char* name;  // full name, "builtins.X"
  const char* doc;   // "X(sig)\n--\n\ndoc", or the doc alone
  int basicsize;
  unsigned long extra_flags;  // Py_TPFLAGS_BASETYPE, Py_TPFLAGS_HAVE_GC
  newfunc tp_new;             // null: the always-failing constructor
  destructor dealloc;
  reprfunc repr = nullptr;
  PyGetSetDef* getset = nullptr;
  PyMethodDef* methods = nullptr;
  traverseproc traverse = nullptr;
  inquiry clear = nullptr;
};

// Creates the class object once per process and keeps it for the process's life.
class TypeCell {
 public:
  // Borrowed; null with an exception set when creation fails.
  PyTypeObject* get_or_create(const TypeDef& def);
  PyTypeObject* get() const noexcept { return type_; }

 private:
  PyTypeObject* type_ = nullptr;
};

// Property deleter/setter helpers.
void set_cannot_delete() noexcept;

// ---------------------------------------------------------------------------
// Argument binding.

enum class Default : std::uint8_t {
  Required,
  None,   // default None: an explicit None counts as omitted
  Value,  // any other default: None is a value to convert
};

struct Param {
  constexpr Param(const char* param_name, Default param_kind)
      : name(param_name), kind(param_kind), size(std::char_traits<char>::length(param_name)) {}

  const char* name;
  Default kind;
  std::size_t size;  // of the name, so keywords of another length are passed over at once
};

struct Signature {
  const char* display;  // "StateDelta.__new__()", "certify_action()"
  const Param* params;
  std::uint8_t count;
  std::uint8_t required;
  // Optional: one slot per parameter for its interned name, made on first use and kept for
  // the process's life. Keyword names at call sites are interned, so a match is then one
  // pointer comparison; for functions called with keywords in hot loops.
  PyObject** interned = nullptr;
};

inline constexpr std::size_t kMaxParams = 9;

template <std::size_t N>
constexpr Signature signature(const char* display, const Param (&params)[N]) {
  static_assert(N <= kMaxParams, "Args holds at most kMaxParams arguments");
  std::uint8_t required = 0;
  for (const Param& p : params) required += p.kind == Default::Required ? 1 : 0;
  return Signature{display, params, static_cast<std::uint8_t>(N), required};
}
template <std::size_t N>
constexpr Signature signature(const char* display, const Param (&params)[N],
                              PyObject* (&interned)[N]) {
  Signature sig = signature(display, params);
  sig.interned = interned;
  return sig;
}
constexpr Signature signature(const char* display) {
  return Signature{display, nullptr, 0, 0};
}

// Bound arguments of one call: a borrowed slot per parameter, null when omitted.
class Args {
 public:
  explicit Args(const Signature& sig) noexcept : sig_(sig) {}

  // Vectorcall form (METH_FASTCALL | METH_KEYWORDS).
  bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
  // tp_new form.
  bool bind(PyObject* args, PyObject* kwargs);

  PyObject* operator[](std::size_t i) const noexcept { return slots_[i]; }
  bool given(std::size_t i) const noexcept { return slots_[i] != nullptr; }
  const char* name(std::size_t i) const noexcept { return sig_.params[i].name; }

  // Each converter leaves `out` untouched when the argument was omitted, and on failure
  // raises the argument error for the parameter.
  bool text(std::size_t i, std::string& out) const;
  bool real(std::size_t i, double& out) const;

  // Runs `convert(obj)` (which returns false with an exception set) under the
  // argument-error rule for parameter i; skipped when omitted.
  template <class F>
  bool convert(std::size_t i, F&& convert) const;

 private:
  bool place_keyword(PyObject* key, PyObject* value);
  bool place(std::size_t i, PyObject* value);
  bool finish();

  const Signature& sig_;
  PyObject* slots_[kMaxParams] = {};
};

// ---------------------------------------------------------------------------
// Conversions. Each returns false with the conversion's own TypeError (or the
// interpreter's error) set; callers at an argument boundary add the prefix.

// `__qualname__` of the object's type, as UTF-8.
std::string qualified_type_name(PyObject* obj);
// Sets TypeError "'<qualname>' object cannot be converted to '<target>'".
void set_conversion_error(PyObject* obj, const char* target);

bool to_text(PyObject* obj, std::string& out);
// The UTF-8 text of a str, kept by the str itself: valid while the object lives.
bool to_text_view(PyObject* obj, std::string_view& out);
bool to_real(PyObject* obj, double& out);

// Copies the value held by an instance of `type` (or a subclass).
template <class T>
bool to_value(PyObject* obj, PyTypeObject* type, const char* class_name, T& out) {
  if (!PyObject_TypeCheck(obj, type)) {
    set_conversion_error(obj, class_name);
    return false;
  }
  auto* o = object_of<T>(obj);
  SharedBorrow borrow(o->borrow);
  if (!borrow) return false;
  out = o->value;
  return true;
}

// Checks the sequence protocol, then iterates once, calling `item(obj)` per element.
// `reserve(n)` receives a capacity hint bounded by a sane cap.
bool check_sequence(PyObject* obj);
// A lying __len__ must not drive an allocation: hints are capped.
inline constexpr Py_ssize_t kSizeHintCap = 1024;
// The length, bounded by a sane cap, or 0 when it cannot be taken. -1 only when taking it
// raised something that must not be swallowed (KeyboardInterrupt, SystemExit, MemoryError).
Py_ssize_t sequence_size_hint(PyObject* obj);

template <class Reserve, class Item>
bool for_each_in_sequence(PyObject* obj, Reserve&& reserve, Item&& item) {
  if (!check_sequence(obj)) return false;
  // Exact lists and tuples are walked by index, as their own iterators walk them: the
  // length is read afresh at each step, since converting an item may run code that changes
  // the list, and each item is held while it is converted.
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    const bool is_list = PyList_CheckExact(obj);
    const auto size = [&] { return is_list ? PyList_GET_SIZE(obj) : PyTuple_GET_SIZE(obj); };
    reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(size(), kSizeHintCap)));
    for (Py_ssize_t i = 0; i < size(); ++i) {
      Ref element = Ref::borrow(is_list ? PyList_GET_ITEM(obj, i) : PyTuple_GET_ITEM(obj, i));
      if (!item(element.get())) return false;
    }
    return true;
  }
  const Py_ssize_t hint = sequence_size_hint(obj);
  if (hint < 0) return false;
  reserve(static_cast<std::size_t>(hint));
  Ref iter = Ref::steal(PyObject_GetIter(obj));
  if (!iter) return false;
  while (true) {
    Ref element = Ref::steal(PyIter_Next(iter.get()));
    if (!element) return !PyErr_Occurred();
    if (!item(element.get())) return false;
  }
}

// A sequence of floats (a str is refused).
bool to_real_vector(PyObject* obj, std::vector<double>& out);

// Turns a pending conversion TypeError into "argument '<name>': <message>"; any other
// exception is left as it is.
void raise_argument_error(const char* name);

// Entry points. The whole body, argument binding included, runs inside the guard: the
// binding's error path allocates too. `body(args)` converts every argument before it
// takes an exclusive borrow, so no Python code runs under one.
template <class F>
PyObject* bound(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                F&& body) noexcept {
  return guard([&]() -> PyObject* {
    Args a(sig);
    if (!a.bind(args, nargs, kwnames)) return nullptr;
    return body(static_cast<const Args&>(a));
  });
}

template <class F>
PyObject* bound(const Signature& sig, PyObject* args, PyObject* kwargs, F&& body) noexcept {
  return guard([&]() -> PyObject* {
    Args a(sig);
    if (!a.bind(args, kwargs)) return nullptr;
    return body(static_cast<const Args&>(a));
  });
}

template <class F>
bool Args::convert(std::size_t i, F&& convert) const {
  if (slots_[i] == nullptr) return true;
  if (convert(slots_[i])) return true;
  raise_argument_error(sig_.params[i].name);
  return false;
}

// Runs `f()` (which converts a property's new value) under the argument-error rule,
// named after the property.
template <class F>
bool property_value(const char* name, F&& f) {
  if (f()) return true;
  raise_argument_error(name);
  return false;
}

// ---------------------------------------------------------------------------
// Instance access at the slot boundary: a read under a shared borrow, a write under an
// exclusive one, each guarded.

template <class T, class F>
PyObject* read(PyObject* self, F&& f) noexcept {
  return guard([&]() -> PyObject* {
    auto* o = object_of<T>(self);
    SharedBorrow borrow(o->borrow);
    if (!borrow) return nullptr;
    return f(static_cast<const T&>(o->value));
  });
}

template <class T, class F>
PyObject* mutate(PyObject* self, F&& f) noexcept {
  return guard([&]() -> PyObject* {
    auto* o = object_of<T>(self);
    ExclusiveBorrow borrow(o->borrow);
    if (!borrow) return nullptr;
    return f(o->value);
  });
}

// Property setter: refuses deletion, converts the new value (which may run Python code),
// then stores it under an exclusive borrow; a failed conversion leaves the field as it was.
template <class T, class V, class Convert, class Store>
int write(PyObject* self, PyObject* value, const char* name, Convert&& convert,
          Store&& store) noexcept {
  if (value == nullptr) {
    set_cannot_delete();
    return -1;
  }
  return guard([&]() -> int {
    V converted{};
    if (!property_value(name, [&] { return convert(value, converted); })) return -1;
    auto* o = object_of<T>(self);
    ExclusiveBorrow borrow(o->borrow);
    if (!borrow) return -1;
    store(o->value, std::move(converted));
    return 0;
  });
}

// Setter of a plain field.
template <class T, class V, V T::*Field>
int write_field(PyObject* self, PyObject* value, const char* name,
                bool (*convert)(PyObject*, V&)) noexcept {
  return write<T, V>(self, value, name, convert, [](T& t, V&& v) { t.*Field = std::move(v); });
}

// Method table entry for METH_FASTCALL | METH_KEYWORDS functions.
using FastcallKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction as_method(FastcallKeywords f) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// ---------------------------------------------------------------------------
// Small object builders.

inline PyObject* new_text(std::string_view s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

}  // namespace ruvo::py
