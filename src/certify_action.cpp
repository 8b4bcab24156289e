// The module function certify_action: one-shot certification from loose arguments.
#include "src/certify_action.h"

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/thread_spare.h"

#include "src/certification.h"
#include "src/certifier_config.h"
#include "src/simple_action.h"

namespace ruvo::py {
namespace {

constexpr Param kParams[] = {
    {"adapter", Default::Required},      {"action_id", Default::None},
    {"agent_id", Default::None},         {"deltas", Default::None},
    {"action", Default::None},           {"config", Default::None},
    {"safe_threshold", Default::Value},  {"caution_threshold", Default::Value},
    {"block_threshold", Default::Value},
};
PyObject* interned_names[std::size(kParams)] = {};
const Signature kSignature = signature("certify_action()", kParams, interned_names);

enum : std::size_t {
  kAdapter,
  kActionId,
  kAgentId,
  kDeltas,
  kAction,
  kConfig,
  kSafe,
  kCaution,
  kBlock,
};

bool fail_iteration(const char* message) {
  PyErr_SetString(PyExc_RuntimeError, message);
  return false;
}

// Deltas kept per thread between calls: the first `used` are this call's, and every
// dimension string keeps its buffer for the next call. Oversized leftovers are let go.
struct DeltaScratch {
  std::vector<StateDelta> items;
  std::size_t used = 0;

  StateDelta& next() {
    if (used == items.size()) items.emplace_back();
    return items[used++];
  }
  void clear() {
    used = 0;
    constexpr std::size_t kKeptItems = 64;
    constexpr std::size_t kKeptText = 256;
    if (items.size() > kKeptItems) items.clear();
    for (StateDelta& item : items) {
      if (item.dimension.capacity() > kKeptText) std::string().swap(item.dimension);
    }
  }
  std::size_t capacity() const { return items.capacity(); }
  std::span<StateDelta> in_use() { return {items.data(), used}; }
};

// Walks the dict once in its own order, reading each value when the walk reaches its key,
// as the dict's own iterator does. A value's conversion may be Python code that changes
// the dict: the entry being converted is held, a change of size fails at once, and every
// key the walk reaches must be the one the dict held at that place when the walk began,
// so the result always matches the dict as it then stands.
bool walk_deltas(PyObject* obj, DeltaScratch& deltas) {
  const Py_ssize_t size = PyDict_GET_SIZE(obj);
  ThreadSpare<std::vector<Ref>, 0> keys;
  keys->reserve(static_cast<std::size_t>(size));
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(obj, &pos, &key, &value)) keys->push_back(Ref::borrow(key));

  pos = 0;
  for (const Ref& expected : *keys) {
    if (!PyDict_Next(obj, &pos, &key, &value) || key != expected.get()) {
      return fail_iteration("dictionary keys changed during iteration");
    }
    Ref held_value = Ref::borrow(value);
    StateDelta& delta = deltas.next();
    if (!to_text(key, delta.dimension) || !to_real(held_value.get(), delta.to_value)) {
      return false;
    }
    if (PyDict_GET_SIZE(obj) != size) {
      return fail_iteration("dictionary changed size during iteration");
    }
  }
  if (PyDict_Next(obj, &pos, &key, &value)) {
    return fail_iteration("dictionary keys changed during iteration");
  }
  return true;
}

// The deltas of a dict of dimension -> to_value, from 1.0, sorted by dimension; of two
// keys with one text (str subclasses may hash apart) the later in the dict wins.
bool to_sorted_deltas(PyObject* obj, DeltaScratch& deltas) {
  if (!PyDict_Check(obj)) {
    set_conversion_error(obj, "PyDict");
    return false;
  }
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  // Exact floats convert without running Python code, so nothing can change the dict while
  // it is walked and a single plain walk is enough; the first other value starts over with
  // the guarded walk. Keys convert without running Python code either way.
  while (PyDict_Next(obj, &pos, &key, &value)) {
    if (!PyFloat_CheckExact(value)) {
      deltas.used = 0;
      if (!walk_deltas(obj, deltas)) return false;
      break;
    }
    StateDelta& delta = deltas.next();
    delta.to_value = PyFloat_AS_DOUBLE(value);
    if (!to_text(key, delta.dimension)) return false;
  }
  std::span<StateDelta> items = deltas.in_use();
  stable_sort_by_name(items, [](const StateDelta& d) -> std::string_view { return d.dimension; });
  std::size_t kept = 0;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (kept > 0 && items[kept - 1].dimension == items[i].dimension) {
      items[kept - 1].to_value = items[i].to_value;
    } else {
      if (kept != i) std::swap(items[kept], items[i]);
      ++kept;
    }
  }
  deltas.used = kept;
  for (StateDelta& delta : deltas.in_use()) delta.from_value = 1.0;
  return true;
}

// The action certify_action builds: its identifiers are views of the call's arguments,
// which the caller keeps alive, and its deltas live in the thread's scratch.
class LooseAction final : public ProposedAction {
 public:
  LooseAction(std::string_view action_id, std::string_view agent_id,
              std::span<const StateDelta> deltas)
      : action_id_(action_id), agent_id_(agent_id), deltas_(deltas) {}

  std::string_view action_id() const override { return action_id_; }
  std::string_view agent_id() const override { return agent_id_; }
  std::span<const StateDelta> state_deltas() const override { return deltas_; }

 private:
  std::string_view action_id_;
  std::string_view agent_id_;
  std::span<const StateDelta> deltas_;
};

PyObject* certify_action(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return bound(kSignature, args, nargs, kwnames, [&](const Args& a) -> PyObject* {
    std::string_view action_id = "unnamed";
    std::string_view agent_id = "unnamed";
    ThreadSpare<DeltaScratch, 0> deltas;
    SimpleAction given_action;
    CertifierConfig given_config;
    CertifierConfig loose;
    // Every argument is converted, even those the chosen form ignores.
    if (!a.convert(kActionId, [&](PyObject* v) { return to_text_view(v, action_id); }) ||
        !a.convert(kAgentId, [&](PyObject* v) { return to_text_view(v, agent_id); }) ||
        !a.convert(kDeltas, [&](PyObject* v) { return to_sorted_deltas(v, *deltas); }) ||
        !a.convert(kAction, [&](PyObject* v) { return to_simple_action(v, given_action); }) ||
        !a.convert(kConfig, [&](PyObject* v) { return to_certifier_config(v, given_config); }) ||
        !a.real(kSafe, loose.safe_threshold) || !a.real(kCaution, loose.caution_threshold) ||
        !a.real(kBlock, loose.block_threshold)) {
      return nullptr;
    }
    const CertifierConfig& config = a.given(kConfig) ? given_config : loose;
    if (a.given(kAction)) return certify_with(a[kAdapter], config, given_action);
    return certify_with(a[kAdapter], config, LooseAction(action_id, agent_id, deltas->in_use()));
  });
}

PyMethodDef kDef = {
    "certify_action",
    as_method(certify_action),
    METH_FASTCALL | METH_KEYWORDS,
    "certify_action(adapter, action_id=None, agent_id=None, deltas=None, action=None, "
    "config=None, safe_threshold=0.6, caution_threshold=0.3, block_threshold=0.1)\n"
    "--\n"
    "\n"
    "Certify an action using a domain adapter.\n"
    "\n"
    "The adapter can be either:\n"
    "- An AgenticAdapter (convenience wrapper)\n"
    "- A custom DomainAdapter subclass\n"
    "\n"
    "When using AgenticAdapter, pass deltas as a dict of dimension_name -> to_value.\n"
    "When using a custom DomainAdapter, pass a SimpleAction directly via the `action`\n"
    "parameter.\n"
    "\n"
    "Args:\n"
    "    adapter: AgenticAdapter or DomainAdapter subclass instance\n"
    "    action_id: Unique action identifier (used with AgenticAdapter)\n"
    "    agent_id: Agent identifier (used with AgenticAdapter)\n"
    "    deltas: Dict of dimension_name -> to_value (used with AgenticAdapter)\n"
    "    action: SimpleAction instance (used with custom DomainAdapter)\n"
    "    config: CertifierConfig instance (optional, uses defaults if not provided)\n"
    "    safe_threshold: Margin threshold for Safe zone (default 0.6, ignored if config set)\n"
    "    caution_threshold: Margin threshold for Caution zone (default 0.3, ignored if config "
    "set)\n"
    "    block_threshold: Margin threshold for Blocked (default 0.1, ignored if config set)\n"
    "\n"
    "Returns:\n"
    "    SafetyCertificate with the certification decision",
};

}  // namespace

PyObject* new_certify_action_function(PyObject* module) {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return nullptr;
  return PyCMethod_New(&kDef, module, module_name.get(), nullptr);
}

}  // namespace ruvo::py
