// Fuzzes the sixteen-digit exponential text against "%.16e" and reading it back.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "kernel/text.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// "%.16e" with the exponent the kernel's way: no '+', no leading zeros ("e-01" -> "e-1").
std::string reference(double value) {
  char buf[64];
  const int n = std::snprintf(buf, sizeof buf, "%.16e", value);
  const std::string s(buf, static_cast<std::size_t>(n));
  const std::size_t e = s.find('e');
  std::string out = s.substr(0, e + 1);
  std::size_t i = e + 1;
  if (s[i] == '-') out += '-';
  ++i;  // printf always writes the sign
  while (i + 1 < s.size() && s[i] == '0') ++i;
  out += s.substr(i);
  return out;
}

}  // namespace

// Input: eight bytes of the double's bits.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Reader in(data, size);
  const std::uint64_t bits = in.u64();
  const double value = std::bit_cast<double>(bits);

  // Exactly the stated room, on the heap, so a write past it is caught.
  const auto buf = std::make_unique<char[]>(ruvo::text::kExponential16MaxSize);
  char* end = ruvo::text::write_exponential16(buf.get(), value);
  FUZZ_CHECK(end > buf.get() && end <= buf.get() + ruvo::text::kExponential16MaxSize,
             std::to_string(end - buf.get()));
  const std::string written(buf.get(), end);

  std::string appended = "m:";
  ruvo::text::append_exponential16(appended, value);
  FUZZ_CHECK(appended == "m:" + written, appended + " vs " + written);

  if (std::isnan(value)) {
    FUZZ_CHECK(written == "NaN", written);
    return 0;
  }
  if (std::isinf(value)) {
    FUZZ_CHECK(written == (value < 0 ? "-inf" : "inf"), written);
    return 0;
  }
  const std::string expected = reference(value);
  FUZZ_CHECK(written == expected, written + " != " + expected);
  // Seventeen significant digits always read back to the same double, sign of zero included.
  const double back = std::strtod(written.c_str(), nullptr);
  FUZZ_CHECK(std::bit_cast<std::uint64_t>(back) == bits, written);
  return 0;
}
