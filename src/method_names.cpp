// Interned names of the methods the kernel calls on Python adapters and channels.
#include "src/method_names.h"

namespace ruvo::py {
namespace {

MethodNames names{};  // kept for the life of the process

bool intern(PyObject*& slot, const char* text) {
  if (slot == nullptr) slot = PyUnicode_InternFromString(text);
  return slot != nullptr;
}

}  // namespace

bool intern_method_names() {
  return intern(names.domain_name, "domain_name") &&
         intern(names.constraint_channels, "constraint_channels") &&
         intern(names.map_action_to_state, "map_action_to_state") &&
         intern(names.detect_regime_change, "detect_regime_change") && intern(names.name, "name") &&
         intern(names.evaluate, "evaluate") && intern(names.dimension_names, "dimension_names");
}

const MethodNames& method_names() noexcept {
  return names;
}

}  // namespace ruvo::py
