// How failures become Python exceptions, and how Python exceptions become text.
#pragma once

#include <string>
#include <string_view>

#include "kernel/records.h"
#include "src/py_ref.h"

namespace ruvo::py {

// UTF-8 content of a str; lone surrogates come out as U+FFFD.
std::string lossy_utf8(PyObject* str);

// "<qualified type name>: <str(exc)>", with "<exception str() failed>" when str() raises.
std::string exception_text(PyObject* exc);

// Fetches and clears the pending exception and renders it.
std::string take_exception_text();

// RuntimeError whose only argument is the error's display text.
void raise_kernel_error(const KernelError& error);

// TypeError "Adapter must be an AgenticAdapter or a DomainAdapter subclass: " + text.
void raise_adapter_error(std::string_view exception_text);

}  // namespace ruvo::py
