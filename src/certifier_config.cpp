// The Python class CertifierConfig: the four thresholds, held by value.
#include "src/certifier_config.h"

#include "kernel/text.h"

namespace ruvo::py {
namespace {

TypeCell cell;

constexpr Param kParams[] = {
    {"safe_threshold", Default::Value},
    {"caution_threshold", Default::Value},
    {"block_threshold", Default::Value},
    {"warning_margin_threshold", Default::Value},
};
constexpr Signature kNew = signature("CertifierConfig.__new__()", kParams);

PyObject* certifier_config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return bound(kNew, args, kwargs, [&](const Args& a) -> PyObject* {
    CertifierConfig c;
    if (!a.real(0, c.safe_threshold) || !a.real(1, c.caution_threshold) ||
        !a.real(2, c.block_threshold) || !a.real(3, c.warning_margin_threshold)) {
      return nullptr;
    }
    return new_instance(type, c);
  });
}

PyObject* certifier_config_repr(PyObject* self) {
  return read<CertifierConfig>(self, [](const CertifierConfig& c) {
    std::string out;
    append_config_repr(out, c);
    return new_text(out);
  });
}

template <double CertifierConfig::*Field>
PyObject* get_real(PyObject* self, void*) {
  return read<CertifierConfig>(
      self, [](const CertifierConfig& c) { return PyFloat_FromDouble(c.*Field); });
}
template <double CertifierConfig::*Field>
int set_real(PyObject* self, PyObject* value, void* name) {
  return write_field<CertifierConfig, double, Field>(self, value, static_cast<const char*>(name),
                                                     to_real);
}

#define RUVO_THRESHOLD(field)                                                             \
  {                                                                                       \
#field, get_real < &CertifierConfig::field>, set_real < &CertifierConfig::field>, "", \
        const_cast < char*>(#field)                                                       \
  }

PyGetSetDef kGetSet[] = {
    RUVO_THRESHOLD(safe_threshold),
    RUVO_THRESHOLD(caution_threshold),
    RUVO_THRESHOLD(block_threshold),
    RUVO_THRESHOLD(warning_margin_threshold),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef RUVO_THRESHOLD

const TypeDef kType{
    .name = "builtins.CertifierConfig",
    .doc =
        "CertifierConfig(safe_threshold=0.6, caution_threshold=0.3, block_threshold=0.1, "
        "warning_margin_threshold=0.5)\n--\n\n"
        "Configuration for the safety certifier.\n"
        "\n"
        "Controls the margin thresholds that determine zone classification:\n"
        "- safe_threshold: margin above which the action is Safe (default 0.6)\n"
        "- caution_threshold: margin above which the action is Caution (default 0.3)\n"
        "- block_threshold: margin at or below which the action is Blocked (default 0.1)",
    .basicsize = sizeof(Object<CertifierConfig>),
    .extra_flags = 0,
    .tp_new = certifier_config_new,
    .dealloc = dealloc_instance<CertifierConfig>,
    .repr = certifier_config_repr,
    .getset = kGetSet,
};

}  // namespace

PyTypeObject* certifier_config_type() {
  return cell.get_or_create(kType);
}

bool to_certifier_config(PyObject* obj, CertifierConfig& out) {
  return to_value(obj, cell.get(), "CertifierConfig", out);
}

PyObject* new_certifier_config(const CertifierConfig& config) {
  return new_instance(cell.get(), config);
}

void append_config_repr(std::string& out, const CertifierConfig& c) {
  out += "CertifierConfig(safe=";
  text::append_shortest(out, c.safe_threshold);
  out += ", caution=";
  text::append_shortest(out, c.caution_threshold);
  out += ", block=";
  text::append_shortest(out, c.block_threshold);
  out += ", warning=";
  text::append_shortest(out, c.warning_margin_threshold);
  out += ')';
}

}  // namespace ruvo::py
