// Fuzzes the JSON writer: strings and summary values parse back, strictly, to what was written.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kernel/json_value.h"
#include "kernel/text.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// A summary value as plain data, so the writer's output and the built value can be compared.
struct Model {
  enum class Kind { Null, Number, String, Object } kind = Kind::Null;
  double number = 0;
  std::string string;
  // An object's members in text order.
  std::vector<std::string> names;
  std::vector<Model> values;
};

bool operator==(const Model& a, const Model& b) {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case Model::Kind::Null:
      return true;
    case Model::Kind::Number:
      return std::bit_cast<std::uint64_t>(a.number) == std::bit_cast<std::uint64_t>(b.number);
    case Model::Kind::String:
      return a.string == b.string;
    case Model::Kind::Object:
      return a.names == b.names && a.values == b.values;
  }
  return false;
}

// Strict RFC 8259 for what a summary can hold (null, numbers, strings, objects), compact:
// no whitespace anywhere. Bytes from 0x80 up are taken as they are; their UTF-8 validity
// is checked separately.
class Parser {
 public:
  explicit Parser(std::string_view s) : s_(s) {}

  std::optional<Model> document() {
    std::optional<Model> v = value(0);
    if (!v || i_ != s_.size()) return std::nullopt;
    return v;
  }

 private:
  // A string at the current position.
  std::optional<std::string> string() {
    if (!take('"')) return std::nullopt;
    std::string out;
    while (i_ < s_.size()) {
      const auto c = static_cast<unsigned char>(s_[i_++]);
      if (c == '"') return out;
      if (c < 0x20) return std::nullopt;
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (i_ == s_.size()) return std::nullopt;
      switch (s_[i_++]) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          std::optional<char32_t> cp = hex4();
          if (!cp || (*cp >= 0xDC00 && *cp <= 0xDFFF)) return std::nullopt;
          if (*cp >= 0xD800 && *cp <= 0xDBFF) {
            if (!take('\\') || !take('u')) return std::nullopt;
            const std::optional<char32_t> low = hex4();
            if (!low || *low < 0xDC00 || *low > 0xDFFF) return std::nullopt;
            cp = 0x10000 + ((*cp - 0xD800) << 10) + (*low - 0xDC00);
          }
          fuzz::append_utf8(out, *cp);
          break;
        }
        default:
          return std::nullopt;
      }
    }
    return std::nullopt;
  }

  bool take(char c) {
    if (i_ >= s_.size() || s_[i_] != c) return false;
    ++i_;
    return true;
  }
  bool digit() const { return i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9'; }

  std::optional<char32_t> hex4() {
    char32_t v = 0;
    for (int k = 0; k < 4; ++k, ++i_) {
      if (i_ >= s_.size()) return std::nullopt;
      const char h = s_[i_];
      int d;
      if (h >= '0' && h <= '9') {
        d = h - '0';
      } else if (h >= 'a' && h <= 'f') {
        d = h - 'a' + 10;
      } else if (h >= 'A' && h <= 'F') {
        d = h - 'A' + 10;
      } else {
        return std::nullopt;
      }
      v = v * 16 + static_cast<char32_t>(d);
    }
    return v;
  }

  // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
  std::optional<Model> number() {
    const std::size_t start = i_;
    take('-');
    if (take('0')) {
    } else if (digit()) {
      while (digit()) ++i_;
    } else {
      return std::nullopt;
    }
    if (take('.')) {
      if (!digit()) return std::nullopt;
      while (digit()) ++i_;
    }
    if (take('e') || take('E')) {
      if (!take('+')) take('-');
      if (!digit()) return std::nullopt;
      while (digit()) ++i_;
    }
    Model m;
    m.kind = Model::Kind::Number;
    m.number = std::strtod(std::string(s_.substr(start, i_ - start)).c_str(), nullptr);
    return m;
  }

  std::optional<Model> value(int depth) {
    if (depth > 64 || i_ >= s_.size()) return std::nullopt;
    Model m;
    if (s_.substr(i_).starts_with("null")) {
      i_ += 4;
      return m;
    }
    if (s_[i_] == '"') {
      std::optional<std::string> s = string();
      if (!s) return std::nullopt;
      m.kind = Model::Kind::String;
      m.string = std::move(*s);
      return m;
    }
    if (take('{')) {
      m.kind = Model::Kind::Object;
      if (take('}')) return m;
      do {
        std::optional<std::string> name = string();
        if (!name || !take(':')) return std::nullopt;
        std::optional<Model> member = value(depth + 1);
        if (!member) return std::nullopt;
        m.names.push_back(std::move(*name));
        m.values.push_back(std::move(*member));
      } while (take(','));
      if (!take('}')) return std::nullopt;
      return m;
    }
    return number();
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

// Builds a value and its expected model together from the input: a kind byte, then the
// kind's payload. An object's members are added in input order, each by emplace (the first
// value of a name stays) or insert_or_assign (the last one wins).
std::pair<ruvo::JsonValue, Model> build(fuzz::Reader& in, int depth) {
  Model m;
  switch (in.u8() % 4) {
    case 0:
      return {ruvo::JsonValue(), m};
    case 1: {
      const double d = std::bit_cast<double>(in.u64());
      // Non-finite numbers are stored as null.
      if (std::isfinite(d)) {
        m.kind = Model::Kind::Number;
        m.number = d;
      }
      return {ruvo::JsonValue::number(d), m};
    }
    case 2:
      m.kind = Model::Kind::String;
      m.string = in.str();
      return {ruvo::JsonValue::string(m.string), m};
    default:
      break;
  }
  if (depth >= 4) return {ruvo::JsonValue(), m};
  m.kind = Model::Kind::Object;
  std::map<std::string, Model> expected;  // std::string orders by unsigned bytes
  ruvo::JsonValue::Object object;
  for (int n = in.u8() % 8; n > 0 && !in.empty(); --n) {
    const bool assign = in.u8() & 1;
    std::string name = in.str();
    auto [value, model] = build(in, depth + 1);
    if (assign) {
      object.insert_or_assign(name, std::move(value));
      expected[name] = std::move(model);
    } else {
      object.emplace(name, std::move(value));
      expected.emplace(std::move(name), std::move(model));
    }
  }
  for (auto& [name, model] : expected) {
    m.names.push_back(name);
    m.values.push_back(std::move(model));
  }
  return {ruvo::JsonValue::object(std::move(object)), m};
}

bool all_valid_utf8(const Model& m) {
  if (m.kind == Model::Kind::String) return fuzz::is_valid_utf8(m.string);
  for (const std::string& name : m.names) {
    if (!fuzz::is_valid_utf8(name)) return false;
  }
  for (const Model& member : m.values) {
    if (!all_valid_utf8(member)) return false;
  }
  return true;
}

}  // namespace

// Input: the whole of it is one string; read again from the start, it builds a value.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string out = "[";
  ruvo::text::append_json_string(out, input);
  FUZZ_CHECK(out.starts_with("["), out);
  const std::string_view json = std::string_view(out).substr(1);
  const std::optional<Model> back = Parser(json).document();
  FUZZ_CHECK(back && back->kind == Model::Kind::String && back->string == input, out);
  // Non-ASCII bytes pass through, so the text is UTF-8 exactly when the input is.
  FUZZ_CHECK(fuzz::is_valid_utf8(json) == fuzz::is_valid_utf8(input), out);

  fuzz::Reader in(data, size);
  const auto [value, model] = build(in, 0);
  const std::string text = value.dump();
  const std::optional<Model> parsed = Parser(text).document();
  FUZZ_CHECK(parsed.has_value(), text);
  FUZZ_CHECK(*parsed == model, text);
  FUZZ_CHECK(fuzz::is_valid_utf8(text) == all_valid_utf8(model), text);
  return 0;
}
