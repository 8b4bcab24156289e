// The kernel adapter and channel that forward every operation to Python objects.
#include "src/python_adapter.h"

#include <cstring>
#include <memory>

#include "src/binding.h"
#include "src/method_names.h"
#include "src/simple_action.h"

namespace ruvo::py {
namespace {

// Makes sure the calling thread holds the interpreter lock. Certification is entered from
// Python, so the thread nearly always holds it already, and then nothing is done.
class LockHeld {
 public:
  LockHeld() noexcept : taken_(PyGILState_Check() == 0) {
    if (taken_) state_ = PyGILState_Ensure();
  }
  LockHeld(const LockHeld&) = delete;
  LockHeld& operator=(const LockHeld&) = delete;
  ~LockHeld() {
    if (taken_) PyGILState_Release(state_);
  }

 private:
  bool taken_;
  PyGILState_STATE state_{};
};

template <class... A>
Ref call_method(PyObject* object, PyObject* name, A... args) {
  PyObject* argv[] = {object, args...};
  return Ref::steal(PyObject_VectorcallMethod(
      name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// A new list of floats, one per position.
Ref state_list(std::span<const double> state) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(state.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < state.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(state[i]);
    if (item == nullptr) return Ref();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

// Whether the floats of `list` hold exactly `state`, bit for bit (NaN and -0.0 included).
bool holds(PyObject* list, std::span<const double> state) {
  if (PyList_GET_SIZE(list) != static_cast<Py_ssize_t>(state.size())) return false;
  for (std::size_t i = 0; i < state.size(); ++i) {
    const double held = PyFloat_AS_DOUBLE(PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i)));
    if (std::memcmp(&held, &state[i], sizeof held) != 0) return false;
  }
  return true;
}

bool to_text_vector(PyObject* obj, std::vector<std::string>& out) {
  return for_each_in_sequence(
      obj, [&](std::size_t n) { out.reserve(n); },
      [&](PyObject* item) { return to_text(item, out.emplace_back()); });
}

bool text_equals(PyObject* str, const char* text) {
  return str != nullptr && PyUnicode_Check(str) && PyUnicode_EqualToUTF8(str, text);
}

// NumPy's boolean scalar ("bool_", or "bool" in NumPy 2) of module "numpy".
bool is_numpy_bool(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  Ref name = Ref::steal(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  if (!text_equals(name.get(), "bool_") && !text_equals(name.get(), "bool")) return false;
  Ref module = Ref::steal(PyType_GetModuleName(type));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  return text_equals(module.get(), "numpy");
}

bool to_bool(PyObject* obj, bool& out) {
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  if (is_numpy_bool(obj)) {
    int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
  }
  set_conversion_error(obj, "PyBool");
  return false;
}

KernelError adapter_failed(Failures& failures) {
  return KernelError(KernelError::Kind::DomainAdapterFailed, failures.take());
}

// The module's own preparation for a call failed (out of memory): that exception, not a
// domain verdict, is what the caller gets.
KernelError preparation_failed(Failures& failures, KernelError::Kind kind) {
  failures.hold();
  return KernelError(kind, std::string());
}

// Releases a reference with the interpreter lock held, whichever thread gets here.
void release(Ref& object) {
  if (!object) return;
  LockHeld lock;
  object.reset();
}

}  // namespace

Ref StateFloats::list(std::span<const double> state) {
  if (!kept_ || !holds(kept_.get(), state)) {
    kept_ = state_list(state);
    if (!kept_) return Ref();
  }
  return Ref::steal(PyList_GetSlice(kept_.get(), 0, PyList_GET_SIZE(kept_.get())));
}

bool call_domain_name(PyObject* object, std::string& out) {
  LockHeld lock;
  Ref name = call_method(object, method_names().domain_name);
  return name && to_text(name.get(), out);
}

PythonDomainAdapter::~PythonDomainAdapter() {
  LockHeld lock;
  object_.reset();
  floats_ = StateFloats();
}

Status PythonDomainAdapter::constraint_channels(ChannelList& out) const {
  LockHeld lock;
  const MethodNames& names = method_names();
  Ref listed = call_method(object_.get(), names.constraint_channels);
  if (!listed) return adapter_failed(failures_);
  bool ok = for_each_in_sequence(
      listed.get(), [&](std::size_t n) { out.reserve(n); },
      [&](PyObject* item) {
        std::string name;
        std::vector<std::string> dimensions;
        Ref named = call_method(item, names.name);
        if (!named || !to_text(named.get(), name)) return false;
        Ref dimensioned = call_method(item, names.dimension_names);
        if (!dimensioned || !to_text_vector(dimensioned.get(), dimensions)) return false;
        out.add(std::make_unique<PythonConstraintChannel>(std::move(name), std::move(dimensions),
                                                          Ref::borrow(item), failures_, floats_));
        return true;
      });
  if (!ok) return adapter_failed(failures_);
  return std::nullopt;
}

Status PythonDomainAdapter::map_action_to_state(const ProposedAction& action,
                                                StateVector& out) const {
  LockHeld lock;
  Ref rebuilt = Ref::steal(new_simple_action(action));
  if (!rebuilt) return preparation_failed(failures_, KernelError::Kind::DomainAdapterFailed);
  Ref mapped = call_method(object_.get(), method_names().map_action_to_state, rebuilt.get());
  if (!mapped || !to_real_vector(mapped.get(), out)) return adapter_failed(failures_);
  return std::nullopt;
}

Status PythonDomainAdapter::current_state(StateVector&) const {
  return KernelError(KernelError::Kind::DomainAdapterFailed, "current_state not implemented");
}

Result<bool> PythonDomainAdapter::detect_regime_change(std::span<const double> current,
                                                       std::span<const double> proposed) const {
  LockHeld lock;
  Ref current_list = state_list(current);
  Ref proposed_list = current_list ? floats_.list(proposed) : Ref();
  if (!proposed_list) return preparation_failed(failures_, KernelError::Kind::DomainAdapterFailed);
  Ref answer = call_method(object_.get(), method_names().detect_regime_change, current_list.get(),
                           proposed_list.get());
  bool regime = false;
  if (!answer || !to_bool(answer.get(), regime)) return adapter_failed(failures_);
  return regime;
}

std::optional<JsonValue> PythonDomainAdapter::domain_summary(const MarginMap& margins) const {
  JsonValue::Object channel_margins;
  for (const auto& [name, margin] : margins) {
    channel_margins.emplace_hint(channel_margins.end(), name, JsonValue::number(margin));
  }
  JsonValue::Object summary;
  summary.emplace("channel_margins", JsonValue::object(std::move(channel_margins)));
  summary.emplace("domain", JsonValue::string(domain_name_));
  return JsonValue::object(std::move(summary));
}

PythonConstraintChannel::~PythonConstraintChannel() {
  release(object_);
}

Result<double> PythonConstraintChannel::evaluate(std::span<const double> state) const {
  LockHeld lock;
  Ref list = floats_.list(state);
  if (!list) return preparation_failed(failures_, KernelError::Kind::ChannelEvaluationFailed);
  Ref margin = call_method(object_.get(), method_names().evaluate, list.get());
  double value = 0.0;
  if (!margin || !to_real(margin.get(), value)) {
    return KernelError(KernelError::Kind::ChannelEvaluationFailed, failures_.take());
  }
  return value;
}

}  // namespace ruvo::py
