// Fuzzes the decision text's quoting: the quoted form is UTF-8 and unquotes to the input.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kernel/text.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// Undoes the quoting's escapes over the code points between the quotes; nullopt for
// anything the quoting must not write: a bare quote or backslash, a raw control character,
// an unknown or non-canonical escape.
std::optional<std::u32string> unquote(std::u32string_view body) {
  std::u32string out;
  for (std::size_t i = 0; i < body.size(); ++i) {
    const char32_t c = body[i];
    if (c == U'"') return std::nullopt;
    // C0, DEL and C1 controls are never printable.
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return std::nullopt;
    if (c != U'\\') {
      out += c;
      continue;
    }
    if (++i == body.size()) return std::nullopt;
    switch (body[i]) {
      case U'"':
        out += U'"';
        continue;
      case U'\\':
        out += U'\\';
        continue;
      case U't':
        out += U'\t';
        continue;
      case U'r':
        out += U'\r';
        continue;
      case U'n':
        out += U'\n';
        continue;
      case U'0':
        out += U'\0';
        continue;
      case U'u':
        break;
      default:
        return std::nullopt;
    }
    // \u{hex}: lowercase, no leading zero, at most six digits.
    if (++i == body.size() || body[i] != U'{') return std::nullopt;
    char32_t cp = 0;
    std::size_t digits = 0;
    for (++i; i < body.size() && body[i] != U'}'; ++i, ++digits) {
      const char32_t h = body[i];
      int v;
      if (h >= U'0' && h <= U'9') {
        v = static_cast<int>(h - U'0');
      } else if (h >= U'a' && h <= U'f') {
        v = static_cast<int>(h - U'a') + 10;
      } else {
        return std::nullopt;
      }
      if (digits == 0 && v == 0 && i + 1 < body.size() && body[i + 1] != U'}') {
        return std::nullopt;
      }
      cp = cp * 16 + static_cast<char32_t>(v);
      if (digits == 6) return std::nullopt;
    }
    if (i == body.size() || digits == 0) return std::nullopt;
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    // These have short escapes, and printable ASCII is never escaped.
    if (cp == U'"' || cp == U'\\' || cp == U'\t' || cp == U'\r' || cp == U'\n' || cp == 0 ||
        (cp >= 0x20 && cp < 0x7F)) {
      return std::nullopt;
    }
    out += cp;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // Appending must leave what is already there alone.
  const std::string prefix = "reason: ";
  std::string out = prefix;
  ruvo::text::append_quoted(out, input);
  FUZZ_CHECK(out.starts_with(prefix), out);
  const std::string_view quoted = std::string_view(out).substr(prefix.size());

  FUZZ_CHECK(quoted.size() >= 2 && quoted.front() == '"' && quoted.back() == '"',
             std::string(quoted));
  FUZZ_CHECK(fuzz::is_valid_utf8(quoted), std::string(quoted));
  const std::u32string body = fuzz::decode_replacing(quoted.substr(1, quoted.size() - 2));
  const std::optional<std::u32string> unquoted = unquote(body);
  FUZZ_CHECK(unquoted.has_value(), std::string(quoted));
  // Invalid input bytes come back as U+FFFD, everything else as it was.
  FUZZ_CHECK(*unquoted == fuzz::decode_replacing(input),
             std::string(quoted) + " unquotes to " + fuzz::encode_utf8(*unquoted));
  return 0;
}
