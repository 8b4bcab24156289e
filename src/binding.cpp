// Argument binding, conversions and type creation shared by every class of the module.
#include "src/binding.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace ruvo::py {

void set_unexpected_exception() noexcept {
  PyErr_SetString(PyExc_SystemError, "ruvo_safety: unexpected internal error");
}

SharedBorrow::SharedBorrow(BorrowFlag& flag) noexcept : flag_(&flag) {
  if (!flag.try_shared()) {
    flag_ = nullptr;
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
  }
}

ExclusiveBorrow::ExclusiveBorrow(BorrowFlag& flag) noexcept : flag_(&flag) {
  if (!flag.try_exclusive()) {
    flag_ = nullptr;
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
  }
}

void set_cannot_delete() noexcept {
  PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
}

namespace {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  Ref name = Ref::steal(PyType_GetName(type));
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
  return nullptr;
}

}  // namespace

PyTypeObject* TypeCell::get_or_create(const TypeDef& def) {
  if (type_ != nullptr) return type_;
  std::vector<PyType_Slot> slots;
  slots.reserve(10);
  slots.push_back({Py_tp_doc, const_cast<char*>(def.doc)});
  slots.push_back({Py_tp_new, reinterpret_cast<void*>(def.tp_new ? def.tp_new : no_constructor)});
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(def.dealloc)});
  if (def.repr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(def.repr)});
  if (def.getset) slots.push_back({Py_tp_getset, def.getset});
  if (def.methods) slots.push_back({Py_tp_methods, def.methods});
  if (def.traverse) slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(def.traverse)});
  if (def.clear) slots.push_back({Py_tp_clear, reinterpret_cast<void*>(def.clear)});
  slots.push_back({0, nullptr});
  PyType_Spec type_spec{def.name, def.basicsize, 0,
                        static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | def.extra_flags),
                        slots.data()};
  PyObject* type = PyType_FromSpec(&type_spec);
  if (type == nullptr) return nullptr;
  type_ = reinterpret_cast<PyTypeObject*>(type);  // kept for the life of the process
  return type_;
}

// ---------------------------------------------------------------------------
// Binding.

namespace {

void append_name_list(std::string& out, const std::vector<const char*>& names) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        out += " and ";
      } else if (i + 1 == names.size()) {
        out += ", and ";
      } else {
        out += ", ";
      }
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
}

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (sig.required == sig.count) {
    PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given", sig.display,
                 static_cast<int>(sig.count), given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %d to %d positional arguments but %zd %s given",
                 sig.display, static_cast<int>(sig.required), static_cast<int>(sig.count), given,
                 verb);
  }
  return false;
}

// Keyword names at call sites are nearly always ASCII literals: those are compared in place.
bool is_named(PyObject* key, const Param& param) {
  if (PyUnicode_IS_COMPACT_ASCII(key)) {
    return static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)) == param.size &&
           std::memcmp(PyUnicode_DATA(key), param.name, param.size) == 0;
  }
  return PyUnicode_EqualToUTF8(key, param.name) != 0;
}

}  // namespace

bool Args::place(std::size_t i, PyObject* value) {
  if (slots_[i] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig_.display,
                 sig_.params[i].name);
    return false;
  }
  slots_[i] = value;
  return true;
}

bool Args::place_keyword(PyObject* key, PyObject* value) {
  if (sig_.interned != nullptr) {
    for (std::size_t i = 0; i < sig_.count; ++i) {
      PyObject*& name = sig_.interned[i];
      if (name == nullptr) {
        name = PyUnicode_InternFromString(sig_.params[i].name);
        // Without the interned name the comparison below still decides.
        if (name == nullptr) PyErr_Clear();
      }
      if (key == name) return place(i, value);
    }
  }
  if (PyUnicode_Check(key)) {
    for (std::size_t i = 0; i < sig_.count; ++i) {
      if (is_named(key, sig_.params[i])) return place(i, value);
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig_.display, key);
  return false;
}

bool Args::finish() {
  bool complete = true;
  for (std::size_t i = 0; i < sig_.count; ++i) {
    const Param& p = sig_.params[i];
    if (slots_[i] == nullptr) {
      complete = complete && p.kind != Default::Required;
    } else if (p.kind == Default::None && slots_[i] == Py_None) {
      slots_[i] = nullptr;
    }
  }
  if (complete) return true;
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig_.count; ++i) {
    if (slots_[i] == nullptr && sig_.params[i].kind == Default::Required) {
      missing.push_back(sig_.params[i].name);
    }
  }
  std::string msg(sig_.display);
  msg += " missing ";
  msg += std::to_string(missing.size());
  msg +=
      missing.size() == 1 ? " required positional argument: " : " required positional arguments: ";
  append_name_list(msg, missing);
  PyErr_SetString(PyExc_TypeError, msg.c_str());
  return false;
}

bool Args::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  nargs = PyVectorcall_NARGS(nargs);
  if (nargs > sig_.count) return too_many_positional(sig_, nargs);
  std::copy(args, args + nargs, slots_);
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!place_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k])) return false;
    }
  }
  return finish();
}

bool Args::bind(PyObject* args, PyObject* kwargs) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > sig_.count) return too_many_positional(sig_, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots_[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!place_keyword(key, value)) return false;
    }
  }
  return finish();
}

bool Args::text(std::size_t i, std::string& out) const {
  return convert(i, [&](PyObject* obj) { return to_text(obj, out); });
}

bool Args::real(std::size_t i, double& out) const {
  return convert(i, [&](PyObject* obj) { return to_real(obj, out); });
}

// ---------------------------------------------------------------------------
// Conversions.

std::string qualified_type_name(PyObject* obj) {
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (name) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
      return std::string(utf8, static_cast<std::size_t>(size));
    }
  }
  PyErr_Clear();
  return std::string(Py_TYPE(obj)->tp_name);
}

void set_conversion_error(PyObject* obj, const char* target) {
  std::string msg = "'";
  msg += qualified_type_name(obj);
  msg += "' object cannot be converted to '";
  msg += target;
  msg += '\'';
  PyErr_SetString(PyExc_TypeError, msg.c_str());
}

bool to_text_view(PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    set_conversion_error(obj, "PyString");
    return false;
  }
  // Compact ASCII text is its own UTF-8.
  if (PyUnicode_IS_COMPACT_ASCII(obj)) {
    out = std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                           static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)));
    return true;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) return false;
  out = std::string_view(utf8, static_cast<std::size_t>(size));
  return true;
}

bool to_text(PyObject* obj, std::string& out) {
  std::string_view text;
  if (!to_text_view(obj, text)) return false;
  out.assign(text);
  return true;
}

bool to_real(PyObject* obj, double& out) {
  if (PyFloat_CheckExact(obj)) {
    out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  double d = PyFloat_AsDouble(obj);
  if (d == -1.0 && PyErr_Occurred()) return false;
  out = d;
  return true;
}

bool check_sequence(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    set_conversion_error(obj, "Sequence");
    return false;
  }
  return true;
}

Py_ssize_t sequence_size_hint(PyObject* obj) {
  // The length only pre-sizes the result.
  Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) {
    // An ordinary failure only loses the hint; an interrupt, an exit or running out of
    // memory must reach the caller.
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
      return -1;
    }
    PyErr_Clear();
    return 0;
  }
  return std::min(n, kSizeHintCap);
}

bool to_real_vector(PyObject* obj, std::vector<double>& out) {
  return for_each_in_sequence(
      obj, [&](std::size_t n) { out.reserve(n); },
      [&](PyObject* item) {
        double d = 0.0;
        if (!to_real(item, d)) return false;
        out.push_back(d);
        return true;
      });
}

void raise_argument_error(const char* name) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return;
  Ref exc = Ref::steal(raised);
  if (Py_TYPE(exc.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(exc.release());
    return;
  }
  Ref message = Ref::steal(PyObject_Str(exc.get()));
  if (!message) {
    PyErr_Clear();
    message = Ref::steal(PyUnicode_FromString("<exception str() failed>"));
    if (!message) return;
  }
  Ref text = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, message.get()));
  if (!text) return;
  Ref replacement = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, text.get()));
  if (!replacement) return;
  PyException_SetCause(replacement.get(), PyException_GetCause(exc.get()));
  PyErr_SetRaisedException(replacement.release());
}

}  // namespace ruvo::py
