// One certification from Python: adapter resolution, the pipeline, the result object.
#include "src/certification.h"

#include "kernel/pipeline.h"
#include "src/agentic_adapter.h"
#include "src/binding.h"
#include "src/errors.h"
#include "src/safety_certificate.h"

namespace ruvo::py {

namespace {

PyObject* finish(Result<Certificate>&& result) {
  if (!result) {
    raise_kernel_error(result.error());
    return nullptr;
  }
  return new_safety_certificate(std::move(result).value());
}

}  // namespace

PyObject* certify_with(PyObject* adapter, const CertifierConfig& config,
                       const SimpleAction& action) {
  if (auto* agentic = as_agentic_adapter(adapter)) {
    SharedBorrow borrow(agentic->borrow);
    if (!borrow) return nullptr;
    return finish(certify(config, agentic->value, action));
  }
  Ref name = Ref::steal(PyObject_CallMethod(adapter, "domain_name", nullptr));
  if (!name) {
    raise_adapter_error(take_exception_text());
    return nullptr;
  }
  std::string domain;
  if (!to_text(name.get(), domain)) {
    raise_adapter_error(take_exception_text());
    return nullptr;
  }
  // Python-implemented adapters are not supported yet.
  PyErr_SetString(PyExc_TypeError,
                  "Adapter must be an AgenticAdapter or a DomainAdapter subclass: "
                  "TypeError: Python adapters are not supported yet");
  return nullptr;
}

}  // namespace ruvo::py
