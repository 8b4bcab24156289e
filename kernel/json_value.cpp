// Construction and compact text of the summary JSON value.
#include "kernel/json_value.h"

#include <array>
#include <charconv>
#include <cmath>

#include "kernel/text.h"

namespace ruvo {
namespace {

void append_number(std::string& out, double d) {
  std::array<char, 32> buf{};
  auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), d);
  if (ec != std::errc()) {
    out += "null";
    return;
  }
  out.append(buf.data(), end);
}

}  // namespace

JsonValue JsonValue::number(double d) {
  return std::isfinite(d) ? JsonValue(d) : JsonValue();
}

std::string JsonValue::dump() const {
  std::string out;
  struct Writer {
    std::string& out;
    void operator()(const Null&) const { out += "null"; }
    void operator()(double d) const { append_number(out, d); }
    void operator()(const std::string& s) const { text::append_json_string(out, s); }
    void operator()(const Object& o) const {
      out += '{';
      bool first = true;
      for (const auto& [key, value] : o) {
        if (!first) out += ',';
        first = false;
        text::append_json_string(out, key);
        out += ':';
        std::visit(*this, value.v_);
      }
      out += '}';
    }
  };
  std::visit(Writer{out}, v_);
  return out;
}

}  // namespace ruvo
