// Exception texts and the exceptions raised for kernel and adapter failures.
#include "src/errors.h"

#include "src/binding.h"

namespace ruvo::py {

namespace {

void append_utf8(std::string& out, Py_UCS4 cp) {
  if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

void append_lossy(std::string& out, PyObject* str) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size)) {
    out.append(utf8, static_cast<std::size_t>(size));
    return;
  }
  // Only lone surrogates make the fast path fail; replace them one by one.
  PyErr_Clear();
  Py_ssize_t length = PyUnicode_GetLength(str);
  for (Py_ssize_t i = 0; i < length; ++i) append_utf8(out, PyUnicode_ReadChar(str, i));
}

}  // namespace

std::string lossy_utf8(PyObject* str) {
  std::string out;
  append_lossy(out, str);
  return out;
}

bool must_propagate(PyObject* exc) {
  return !PyErr_GivenExceptionMatches(exc, PyExc_Exception);
}

void Failures::keep(Ref exc) {
  if (!kept_) kept_ = std::move(exc);
}

void Failures::absorb_rendering_failure() {
  Ref failure = Ref::steal(PyErr_GetRaisedException());
  // Running out of memory while rendering is the module's failure, not the domain's.
  if (failure && (must_propagate(failure.get()) ||
                  PyErr_GivenExceptionMatches(failure.get(), PyExc_MemoryError))) {
    keep(std::move(failure));
  }
}

std::string Failures::render(PyObject* exc) {
  std::string out;
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(exc)));
  if (name) {
    append_lossy(out, name.get());
  } else {
    absorb_rendering_failure();
    out += Py_TYPE(exc)->tp_name;
  }
  out += ": ";
  Ref text = Ref::steal(PyObject_Str(exc));
  if (text) {
    append_lossy(out, text.get());
  } else {
    absorb_rendering_failure();
    out += "<exception str() failed>";
  }
  return out;
}

std::string Failures::take() {
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  if (!exc) return std::string();
  if (must_propagate(exc.get())) {
    keep(std::move(exc));
    return std::string();
  }
  return render(exc.get());
}

void Failures::hold() {
  if (Ref exc = Ref::steal(PyErr_GetRaisedException())) keep(std::move(exc));
}

PyObject* Failures::raise_kept() {
  PyErr_SetRaisedException(kept_.release());
  return nullptr;
}

namespace {

// Raises `type` with `text` as its only argument; when the text itself cannot be made,
// the MemoryError that says so is left set instead of an exception without arguments.
void raise_with_text(PyObject* type, std::string_view text) {
  Ref message = Ref::steal(new_text(text));
  if (message) PyErr_SetObject(type, message.get());
}

}  // namespace

void raise_kernel_error(const KernelError& error) {
  raise_with_text(PyExc_RuntimeError, error.display());
}

void raise_adapter_error(std::string_view exception_text) {
  std::string text = "Adapter must be an AgenticAdapter or a DomainAdapter subclass: ";
  text += exception_text;
  raise_with_text(PyExc_TypeError, text);
}

}  // namespace ruvo::py
