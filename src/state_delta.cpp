// The Python class StateDelta: one dimension of a proposed change, held by value.
#include "src/state_delta.h"

#include "kernel/text.h"

namespace ruvo::py {
namespace {

TypeCell cell;

constexpr Param kParams[] = {
    {"dimension", Default::Required},
    {"from_value", Default::Value},
    {"to_value", Default::Value},
};
constexpr Signature kNew = signature("StateDelta.__new__()", kParams);

PyObject* state_delta_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return bound(kNew, args, kwargs, [&](const Args& a) -> PyObject* {
    StateDelta d;
    if (!a.text(0, d.dimension) || !a.real(1, d.from_value) || !a.real(2, d.to_value)) {
      return nullptr;
    }
    return new_instance(type, std::move(d));
  });
}

PyObject* state_delta_repr(PyObject* self) {
  return read<StateDelta>(self, [](const StateDelta& d) {
    std::string out = "StateDelta(dimension=";
    out += d.dimension;
    out += ", from_value=";
    text::append_shortest(out, d.from_value);
    out += ", to_value=";
    text::append_shortest(out, d.to_value);
    out += ')';
    return new_text(out);
  });
}

PyObject* get_dimension(PyObject* self, void*) {
  return read<StateDelta>(self, [](const StateDelta& d) { return new_text(d.dimension); });
}
int set_dimension(PyObject* self, PyObject* value, void*) {
  return write_field<StateDelta, std::string, &StateDelta::dimension>(self, value, "dimension",
                                                                      to_text);
}

template <double StateDelta::*Field>
PyObject* get_real(PyObject* self, void*) {
  return read<StateDelta>(self, [](const StateDelta& d) { return PyFloat_FromDouble(d.*Field); });
}
template <double StateDelta::*Field>
int set_real(PyObject* self, PyObject* value, void* name) {
  return write_field<StateDelta, double, Field>(self, value, static_cast<const char*>(name),
                                                to_real);
}

PyGetSetDef kGetSet[] = {
    {"dimension", get_dimension, set_dimension, "", nullptr},
    {"from_value", get_real<&StateDelta::from_value>, set_real<&StateDelta::from_value>, "",
     const_cast<char*>("from_value")},
    {"to_value", get_real<&StateDelta::to_value>, set_real<&StateDelta::to_value>, "",
     const_cast<char*>("to_value")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const TypeDef kType{
    .name = "builtins.StateDelta",
    .doc =
        "StateDelta(dimension, from_value=0.0, to_value=0.0)\n--\n\n"
        "A single dimension of state change proposed by an action.",
    .basicsize = sizeof(Object<StateDelta>),
    .extra_flags = 0,
    .tp_new = state_delta_new,
    .dealloc = dealloc_instance<StateDelta>,
    .repr = state_delta_repr,
    .getset = kGetSet,
};

}  // namespace

PyTypeObject* state_delta_type() {
  return cell.get_or_create(kType);
}

bool to_state_delta(PyObject* obj, StateDelta& out) {
  return to_value(obj, cell.get(), "StateDelta", out);
}

PyObject* new_state_delta(const StateDelta& delta) {
  return new_instance(cell.get(), delta);
}

}  // namespace ruvo::py
