// One certification from Python: adapter resolution, the pipeline, the result object.
#include "src/certification.h"

#include "kernel/pipeline.h"
#include "src/agentic_adapter.h"
#include "src/binding.h"
#include "src/errors.h"
#include "src/python_adapter.h"
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

PyObject* certify_python_adapter(PyObject* object, const CertifierConfig& config,
                                 const SimpleAction& action) {
  Failures failures;
  std::string domain;
  if (!call_domain_name(object, domain)) {
    std::string text = failures.take();
    if (failures.propagating()) return failures.raise_kept();
    raise_adapter_error(text);
    return nullptr;
  }
  std::optional<Result<Certificate>> result;
  {
    PythonDomainAdapter adapter(std::move(domain), Ref::borrow(object), failures);
    result.emplace(certify(config, adapter, action, utc_now, Summary::Skip));
  }
  if (failures.propagating()) {
    result.reset();
    return failures.raise_kept();
  }
  return finish(std::move(*result));
}

}  // namespace

PyObject* certify_with(PyObject* adapter, const CertifierConfig& config,
                       const SimpleAction& action) {
  if (auto* agentic = as_agentic_adapter(adapter)) {
    SharedBorrow borrow(agentic->borrow);
    if (!borrow) return nullptr;
    return finish(certify(config, agentic->value, action, utc_now, Summary::Skip));
  }
  return certify_python_adapter(adapter, config, action);
}

PyObject* certify_with(PyObject* adapter, const CertifierConfig& config,
                       Object<SimpleAction>* action) {
  if (auto* agentic = as_agentic_adapter(adapter)) {
    SharedBorrow adapter_borrow(agentic->borrow);
    if (!adapter_borrow) return nullptr;
    SharedBorrow action_borrow(action->borrow);
    if (!action_borrow) return nullptr;
    return finish(certify(config, agentic->value, action->value, utc_now, Summary::Skip));
  }
  SimpleAction copy;
  {
    SharedBorrow borrow(action->borrow);
    if (!borrow) return nullptr;
    copy = action->value;
  }
  return certify_python_adapter(adapter, config, copy);
}

}  // namespace ruvo::py
