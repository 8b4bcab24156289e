// Construction and compact text of the summary JSON value.
#include "kernel/json_value.h"

#include <array>
#include <charconv>
#include <cmath>

namespace ruvo {
namespace {

void append_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default: {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20) {
          out += "\\u00";
          out += kHex[byte >> 4];
          out += kHex[byte & 0x0f];
        } else {
          out += c;
        }
      }
    }
  }
  out += '"';
}

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
    void operator()(const std::string& s) const { append_string(out, s); }
    void operator()(const Object& o) const {
      out += '{';
      bool first = true;
      for (const auto& [key, value] : o) {
        if (!first) out += ',';
        first = false;
        append_string(out, key);
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
