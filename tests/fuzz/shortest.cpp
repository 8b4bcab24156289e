// Fuzzes the shortest positional number text: reads back exactly, no exponent, no excess.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kernel/text.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// -?(0|[1-9][0-9]*)(.[0-9]*[1-9])?
bool positional(const std::string& s) {
  std::size_t i = s.starts_with('-') ? 1 : 0;
  const auto digit = [&](std::size_t k) { return k < s.size() && s[k] >= '0' && s[k] <= '9'; };
  if (!digit(i)) return false;
  if (s[i] == '0') {
    ++i;
  } else {
    while (digit(i)) ++i;
  }
  if (i == s.size()) return true;
  if (s[i] != '.' || !digit(i + 1)) return false;
  for (++i; digit(i); ++i) {
  }
  return i == s.size() && s.back() != '0';
}

// Digits between the first and the last non-zero one; zero has one.
int significant_digits(const std::string& s) {
  std::string digits;
  for (char c : s) {
    if (c >= '0' && c <= '9') digits += c;
  }
  const std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return 1;
  return static_cast<int>(digits.find_last_not_of('0') - first + 1);
}

bool reads_back(const char* text, double value) {
  return std::bit_cast<std::uint64_t>(std::strtod(text, nullptr)) ==
         std::bit_cast<std::uint64_t>(value);
}

}  // namespace

// Input: eight bytes of the double's bits.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Reader in(data, size);
  const double value = std::bit_cast<double>(in.u64());

  const std::string text = ruvo::text::shortest(value);
  std::string appended = "v=";
  ruvo::text::append_shortest(appended, value);
  FUZZ_CHECK(appended == "v=" + text, appended + " vs " + text);

  if (std::isnan(value)) {
    FUZZ_CHECK(text == "NaN", text);
    return 0;
  }
  if (std::isinf(value)) {
    FUZZ_CHECK(text == (value < 0 ? "-inf" : "inf"), text);
    return 0;
  }
  FUZZ_CHECK(positional(text), text);
  FUZZ_CHECK(text.starts_with('-') == std::signbit(value), text);
  FUZZ_CHECK(reads_back(text.c_str(), value), text);
  // The correctly rounded p-digit text is the best p-digit candidate, so the shortest
  // text needs no more digits than the first p whose "%.{p-1}e" reads back.
  int needed = 1;
  char buf[64];
  for (; needed < 17; ++needed) {
    std::snprintf(buf, sizeof buf, "%.*e", needed - 1, value);
    if (reads_back(buf, value)) break;
  }
  FUZZ_CHECK(significant_digits(text) <= needed, text + " vs " + std::to_string(needed));
  return 0;
}
