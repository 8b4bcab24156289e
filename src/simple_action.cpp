// The Python class SimpleAction: identifiers plus deltas held by value.
#include "src/simple_action.h"

#include "kernel/text.h"
#include "src/state_delta.h"

namespace ruvo::py {
namespace {

TypeCell cell;

constexpr Param kParams[] = {
    {"action_id", Default::Required},
    {"agent_id", Default::Required},
    {"state_deltas", Default::None},
};
constexpr Signature kNew = signature("SimpleAction.__new__()", kParams);

// Converts a sequence of StateDelta into `out` only when every item converts.
bool to_deltas(PyObject* obj, std::vector<StateDelta>& out) {
  std::vector<StateDelta> deltas;
  bool ok = for_each_in_sequence(
      obj, [&](std::size_t n) { deltas.reserve(n); },
      [&](PyObject* item) {
        StateDelta d;
        if (!to_state_delta(item, d)) return false;
        deltas.push_back(std::move(d));
        return true;
      });
  if (ok) out = std::move(deltas);
  return ok;
}

PyObject* simple_action_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return bound(kNew, args, kwargs, [&](const Args& a) -> PyObject* {
    SimpleAction action;
    if (!a.text(0, action.mutable_action_id()) || !a.text(1, action.mutable_agent_id()) ||
        !a.convert(2, [&](PyObject* v) { return to_deltas(v, action.mutable_state_deltas()); })) {
      return nullptr;
    }
    return new_instance(type, std::move(action));
  });
}

PyObject* simple_action_repr(PyObject* self) {
  return read<SimpleAction>(self, [](const SimpleAction& a) {
    std::string out = "SimpleAction(action_id=";
    out += a.action_id();
    out += ", agent_id=";
    out += a.agent_id();
    out += ", deltas=";
    out += std::to_string(a.state_deltas().size());
    out += ')';
    return new_text(out);
  });
}

PyObject* get_action_id(PyObject* self, void*) {
  return read<SimpleAction>(self, [](const SimpleAction& a) { return new_text(a.action_id()); });
}
int set_action_id(PyObject* self, PyObject* value, void*) {
  return write<SimpleAction, std::string>(
      self, value, "action_id", to_text,
      [](SimpleAction& a, std::string&& v) { a.mutable_action_id() = std::move(v); });
}
PyObject* get_agent_id(PyObject* self, void*) {
  return read<SimpleAction>(self, [](const SimpleAction& a) { return new_text(a.agent_id()); });
}
int set_agent_id(PyObject* self, PyObject* value, void*) {
  return write<SimpleAction, std::string>(
      self, value, "agent_id", to_text,
      [](SimpleAction& a, std::string&& v) { a.mutable_agent_id() = std::move(v); });
}

PyObject* get_state_deltas(PyObject* self, void*) {
  return read<SimpleAction>(self, [](const SimpleAction& a) -> PyObject* {
    auto deltas = a.state_deltas();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(deltas.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < deltas.size(); ++i) {
      PyObject* item = new_state_delta(deltas[i]);
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}
int set_state_deltas(PyObject* self, PyObject* value, void*) {
  return write<SimpleAction, std::vector<StateDelta>>(
      self, value, "deltas", to_deltas, [](SimpleAction& a, std::vector<StateDelta>&& v) {
        a.mutable_state_deltas() = std::move(v);
      });
}

PyGetSetDef kGetSet[] = {
    {"action_id", get_action_id, set_action_id, "", nullptr},
    {"agent_id", get_agent_id, set_agent_id, "", nullptr},
    {"state_deltas", get_state_deltas, set_state_deltas, "Get the state deltas for this action.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const TypeDef kType{
    .name = "builtins.SimpleAction",
    .doc =
        "SimpleAction(action_id, agent_id, state_deltas=None)\n--\n\n"
        "A simple proposed action for safety certification.",
    .basicsize = sizeof(Object<SimpleAction>),
    .extra_flags = 0,
    .tp_new = simple_action_new,
    .dealloc = dealloc_instance<SimpleAction>,
    .repr = simple_action_repr,
    .getset = kGetSet,
};

}  // namespace

PyTypeObject* simple_action_type() {
  return cell.get_or_create(kType);
}

Object<SimpleAction>* as_simple_action(PyObject* obj) {
  if (PyObject_TypeCheck(obj, cell.get())) return object_of<SimpleAction>(obj);
  set_conversion_error(obj, "SimpleAction");
  return nullptr;
}

bool to_simple_action(PyObject* obj, SimpleAction& out) {
  return to_value(obj, cell.get(), "SimpleAction", out);
}

PyObject* new_simple_action(const ProposedAction& action) {
  auto deltas = action.state_deltas();
  SimpleAction copy(std::string(action.action_id()), std::string(action.agent_id()),
                    std::vector<StateDelta>(deltas.begin(), deltas.end()));
  return new_instance(cell.get(), std::move(copy));
}

}  // namespace ruvo::py
