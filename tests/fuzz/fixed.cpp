// Fuzzes the fixed-point number text against the C library's "%.*f".
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kernel/text.h"
#include "tests/fuzz/fuzz_support.h"

// Input: eight bytes of the double's bits, two bytes for the decimal count.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Reader in(data, size);
  const double value = std::bit_cast<double>(in.u64());
  // Up to well past the 1074 decimals that the smallest subnormal needs; a negative count
  // means none.
  const int decimals = static_cast<int>(in.u16() % 1200) - 20;

  std::string out = "x=";
  ruvo::text::append_fixed(out, value, decimals);

  std::string expected = "x=";
  if (std::isnan(value)) {
    expected += "NaN";
  } else if (std::isinf(value)) {
    expected += value < 0 ? "-inf" : "inf";
  } else {
    // glibc rounds the exact binary value to nearest, ties to even, as the kernel does.
    const int places = std::max(decimals, 0);
    std::vector<char> buf(static_cast<std::size_t>(places) + 320);
    const int n = std::snprintf(buf.data(), buf.size(), "%.*f", places, value);
    FUZZ_CHECK(n > 0 && static_cast<std::size_t>(n) < buf.size(), "reference overflow");
    expected.append(buf.data(), static_cast<std::size_t>(n));
  }
  FUZZ_CHECK(out == expected, out + " != " + expected);
  return 0;
}
