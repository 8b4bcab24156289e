// How failures become Python exceptions, and how Python exceptions become text.
#pragma once

#include <string>
#include <string_view>

#include "kernel/records.h"
#include "src/py_ref.h"

namespace ruvo::py {

// UTF-8 content of a str; lone surrogates come out as U+FFFD.
std::string lossy_utf8(PyObject* str);

// True for exceptions that must reach the caller unchanged (KeyboardInterrupt,
// SystemExit and anything else that is not an Exception).
bool must_propagate(PyObject* exc);

// The Python failures met during one certification. Ordinary exceptions are rendered to
// text and dropped at once; the first one that must propagate is kept aside, so the
// kernel never sees a pending exception, and re-raised when the certification is over.
class Failures {
 public:
  // Fetches, clears and renders the pending exception.
  std::string take();
  // "<qualified type name>: <str(exc)>", "<exception str() failed>" when str() raises.
  std::string render(PyObject* exc);

  // Keeps the pending exception to be raised unchanged: a failure of the module's own
  // work (an allocation, say) is no verdict of the domain code.
  void hold();

  bool propagating() const noexcept { return static_cast<bool>(kept_); }
  // Raises the kept exception again; returns null for the caller to pass on.
  PyObject* raise_kept();

 private:
  void keep(Ref exc);
  // Drops the exception raised while rendering, keeping it when it must reach the caller.
  void absorb_rendering_failure();
  Ref kept_;
};

// RuntimeError whose only argument is the error's display text.
void raise_kernel_error(const KernelError& error);

// TypeError "Adapter must be an AgenticAdapter or a DomainAdapter subclass: " + text.
void raise_adapter_error(std::string_view exception_text);

}  // namespace ruvo::py
