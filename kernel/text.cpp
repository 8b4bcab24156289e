// Quoting and number texts: everything here appends into the caller's string.
#include "kernel/text.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>

#include "kernel/unicode_tables.h"

namespace ruvo::text {
namespace {

using unicode_tables::Range;

__extension__ typedef unsigned __int128 Uint128;

template <std::size_t N>
bool in_ranges(const Range (&table)[N], char32_t cp) {
  // First range starting after cp; the one before it is the only candidate.
  const Range* it = std::upper_bound(std::begin(table), std::end(table), std::uint32_t{cp},
                                     [](std::uint32_t v, const Range& r) { return v < r.first; });
  if (it == std::begin(table)) return false;
  return std::uint32_t{cp} <= std::prev(it)->last;
}

constexpr char32_t kReplacement = 0xFFFD;

// Printable ASCII that a quoted text writes as it is.
constexpr bool is_plain_ascii(unsigned char b) {
  return b >= 0x20 && b < 0x7F && b != '"' && b != '\\';
}

// End of the run of plain ASCII bytes starting at s[i]: eight bytes are tested at once with
// the usual bit tricks, which are exact for "some byte is below / above / equal to".
std::size_t plain_ascii_run_end(std::string_view s, std::size_t i) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHighs = 0x8080808080808080u;
  const auto has_zero = [](std::uint64_t w) { return (w - kOnes) & ~w & kHighs; };
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    const std::uint64_t below_space = (w - kOnes * 0x20) & ~w & kHighs;
    const std::uint64_t above_tilde = ((w + kOnes * (127 - 0x7E)) | w) & kHighs;
    if (below_space | above_tilde | has_zero(w ^ (kOnes * '"')) | has_zero(w ^ (kOnes * '\\'))) {
      break;
    }
  }
  while (i < s.size() && is_plain_ascii(static_cast<unsigned char>(s[i]))) ++i;
  return i;
}

// Decodes one code point at s[i] and advances i. An ill-formed sequence yields U+FFFD for its
// maximal well-formed prefix (at least one byte), so a truncated sequence costs one
// replacement and the byte that broke it is decoded afresh.
char32_t decode_utf8(std::string_view s, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int extra;
  char32_t cp;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    extra = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    extra = 2;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    extra = 3;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;  // no overlong forms
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    ++i;
    return kReplacement;
  }
  std::size_t k = i + 1;
  for (int n = 0; n < extra; ++n, ++k) {
    if (k >= s.size()) {
      i = k;
      return kReplacement;
    }
    const unsigned char b = byte(k);
    if (b < lo || b > hi) {
      i = k;
      return kReplacement;
    }
    cp = (cp << 6) | (b & 0x3F);
    lo = 0x80;
    hi = 0xBF;
  }
  i = k;
  return cp;
}

void append_utf8(std::string& out, char32_t cp) {
  char buf[4];
  std::size_t n;
  if (cp < 0x80) {
    buf[0] = static_cast<char>(cp);
    n = 1;
  } else if (cp < 0x800) {
    buf[0] = static_cast<char>(0xC0 | (cp >> 6));
    buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 2;
  } else if (cp < 0x10000) {
    buf[0] = static_cast<char>(0xE0 | (cp >> 12));
    buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 3;
  } else {
    buf[0] = static_cast<char>(0xF0 | (cp >> 18));
    buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 4;
  }
  out.append(buf, n);
}

void append_unicode_escape(std::string& out, char32_t cp) {
  char buf[16] = {'\\', 'u', '{'};
  auto res = std::to_chars(buf + 3, buf + sizeof buf, static_cast<std::uint32_t>(cp), 16);
  *res.ptr++ = '}';
  out.append(buf, static_cast<std::size_t>(res.ptr - buf));
}

// Writes "NaN", "inf" or "-inf" and returns true when `value` is not finite.
bool append_non_finite(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
    return true;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return true;
  }
  return false;
}

// "00" to "99", so digits are written two at a time.
constexpr auto kDigitPairs = [] {
  std::array<char, 200> pairs{};
  for (int i = 0; i < 100; ++i) {
    pairs[2 * static_cast<std::size_t>(i)] = static_cast<char>('0' + i / 10);
    pairs[2 * static_cast<std::size_t>(i) + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}();

// Writes v < 10^8 as exactly eight digits.
void write_8_digits(char* p, std::uint32_t v) {
  const std::uint32_t high = v / 10000;
  const std::uint32_t low = v % 10000;
  std::memcpy(p, &kDigitPairs[2 * (high / 100)], 2);
  std::memcpy(p + 2, &kDigitPairs[2 * (high % 100)], 2);
  std::memcpy(p + 4, &kDigitPairs[2 * (low / 100)], 2);
  std::memcpy(p + 6, &kDigitPairs[2 * (low % 100)], 2);
}

// Powers of five up to 5^32, the largest whose product with a 53-bit mantissa fits in
// 128 bits.
constexpr std::size_t kMaxScale = 32;
constexpr auto kPowersOfFive = [] {
  std::array<Uint128, kMaxScale + 1> powers{};
  powers[0] = 1;
  for (std::size_t k = 1; k < powers.size(); ++k) powers[k] = powers[k - 1] * 5;
  return powers;
}();

constexpr std::uint64_t kSeventeenDigits = 100000000000000000ULL;  // 10^17
constexpr std::uint64_t kSixteenDigits = kSeventeenDigits / 10;

// floor(mantissa * 2^exp2 * 10^scale), and whether the dropped fraction is below, at or
// above one half (-1, 0, 1), computed exactly in 128 bits.
struct Scaled {
  std::uint64_t digits;
  int fraction;
};
Scaled scale_exactly(std::uint64_t mantissa, int exp2, int scale) {
  const Uint128 v = Uint128{mantissa} * kPowersOfFive[static_cast<std::size_t>(scale)];
  const int shift = exp2 + scale;
  if (shift >= 0) return {static_cast<std::uint64_t>(v << shift), -1};
  const int drop = -shift;
  // Every caller's product is below 2^127, so nothing survives such a shift and the
  // dropped part is below one half.
  if (drop >= 128) return {0, -1};
  const Uint128 half = Uint128{1} << (drop - 1);
  const Uint128 rest = v & ((half << 1) - 1);
  return {static_cast<std::uint64_t>(v >> drop), rest < half ? -1 : rest == half ? 0 : 1};
}

// Mantissa, power-of-two exponent and sign of a finite double, value = mantissa * 2^exp2;
// false for zero, subnormals, infinities and NaN.
struct Binary {
  std::uint64_t mantissa;
  int exp2;
  int log2;  // floor(log2(|value|))
  bool negative;
};
bool decompose(double value, Binary& out) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  const int biased = static_cast<int>((bits >> 52) & 0x7FF);
  if (biased == 0 || biased == 0x7FF) return false;
  out.mantissa = (bits & ((std::uint64_t{1} << 52) - 1)) | std::uint64_t{1} << 52;
  out.exp2 = biased - 1075;
  out.log2 = biased - 1023;
  out.negative = (bits >> 63) != 0;
  return true;
}

// The exponential text of zero or a magnitude in [1e-16, 1e16), the range of every margin
// worth the effort, without the general formatter: the seventeen digits are rounded half
// to even from the exact scaled value. Returns the end, or null for anything else.
char* write_exponential16_exact(char* p, double value) {
  Binary b{};
  if (value == 0.0) {
    b.negative = std::signbit(value);
  } else if (!decompose(value, b)) {
    return nullptr;
  }
  if (b.negative) *p++ = '-';
  if (value == 0.0) {
    std::memcpy(p, "0.0000000000000000e0", 20);
    return p + 20;
  }
  // The margin of a channel with all its headroom left: common enough to skip the scaling.
  if (value == 1.0) {
    std::memcpy(p, "1.0000000000000000e0", 20);
    return p + 20;
  }
  // floor(log2 * log10(2)); the decimal exponent is this or one more.
  const int low = (b.log2 * 78913) >> 18;
  if (low < -16 || low > 15) return nullptr;
  int exponent = low + 1;
  Scaled s = scale_exactly(b.mantissa, b.exp2, 16 - exponent);
  if (s.digits < kSixteenDigits) {
    exponent = low;
    s = scale_exactly(b.mantissa, b.exp2, 16 - exponent);
  }
  std::uint64_t digits = s.digits;
  if (s.fraction > 0 || (s.fraction == 0 && (digits & 1) != 0)) ++digits;
  if (digits == kSeventeenDigits) {
    digits = kSixteenDigits;
    ++exponent;
  }

  constexpr std::uint64_t kEightDigits = 100000000;
  *p++ = static_cast<char>('0' + digits / (kEightDigits * kEightDigits));
  *p++ = '.';
  write_8_digits(p, static_cast<std::uint32_t>(digits / kEightDigits % kEightDigits));
  write_8_digits(p + 8, static_cast<std::uint32_t>(digits % kEightDigits));
  p += 16;
  *p++ = 'e';
  return std::to_chars(p, p + 3, exponent).ptr;  // at most "-16"
}

constexpr int kMaxFixedDecimals = 17;
constexpr auto kPowersOfTen = [] {
  std::array<std::uint64_t, kMaxFixedDecimals + 1> powers{};
  powers[0] = 1;
  for (std::size_t k = 1; k < powers.size(); ++k) powers[k] = powers[k - 1] * 10;
  return powers;
}();

// The fixed-point text of a zero or normal value whose scaled magnitude stays below 2^62,
// without the general formatter: rounded half to even from the exact value. Returns false for
// anything else.
bool append_fixed_exact(std::string& out, double value, int decimals) {
  if (decimals > kMaxFixedDecimals) return false;
  const std::uint64_t unit = kPowersOfTen[static_cast<std::size_t>(decimals)];
  Binary b{};
  std::uint64_t n = 0;
  if (value == 0.0) {
    b.negative = std::signbit(value);
  } else {
    if (!decompose(value, b) || !(std::fabs(value) * static_cast<double>(unit) < 0x1p62))
      return false;
    const Scaled s = scale_exactly(b.mantissa, b.exp2, decimals);
    n = s.digits;
    if (s.fraction > 0 || (s.fraction == 0 && (n & 1) != 0)) ++n;
  }

  char buf[48];
  char* p = buf;
  if (b.negative) *p++ = '-';
  p = std::to_chars(p, buf + sizeof buf, n / unit).ptr;
  if (decimals > 0) {
    *p++ = '.';
    std::uint64_t fraction = n % unit;
    for (char* q = p + decimals; q != p;) {
      *--q = static_cast<char>('0' + fraction % 10);
      fraction /= 10;
    }
    p += decimals;
  }
  out.append(buf, static_cast<std::size_t>(p - buf));
  return true;
}

}  // namespace

bool is_grapheme_extend(char32_t cp) {
  return in_ranges(unicode_tables::kGraphemeExtend, cp);
}

bool is_printable(char32_t cp) {
  if (cp > 0x10FFFF) return false;
  return in_ranges(unicode_tables::kPrintability, cp) ==
         unicode_tables::kPrintabilityListsPrintable;
}

void append_quoted(std::string& out, std::string_view s) {
  out.reserve(out.size() + s.size() + 2);
  out += '"';
  std::size_t i = 0;
  while (i < s.size()) {
    // Plain printable ASCII is by far the common case: copied a whole run at a time, with
    // no table lookup.
    const std::size_t run = plain_ascii_run_end(s, i);
    out.append(s.data() + i, run - i);
    i = run;
    if (i == s.size()) break;
    const char32_t cp = decode_utf8(s, i);
    switch (cp) {
      case U'"':
        out += "\\\"";
        continue;
      case U'\\':
        out += "\\\\";
        continue;
      case U'\t':
        out += "\\t";
        continue;
      case U'\r':
        out += "\\r";
        continue;
      case U'\n':
        out += "\\n";
        continue;
      case U'\0':
        out += "\\0";
        continue;
      default:
        break;
    }
    if (is_grapheme_extend(cp) || !is_printable(cp)) {
      append_unicode_escape(out, cp);
    } else {
      append_utf8(out, cp);
    }
  }
  out += '"';
}

void append_shortest(std::string& out, double value) {
  if (append_non_finite(out, value)) return;
  // Shortest round-trip digits in scientific form, "d[.ddd]e±XX", laid out positionally below.
  char buf[40];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  const char* p = buf;
  if (*p == '-') {
    out += '-';
    ++p;
  }
  char digits[20];
  int ndigits = 0;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits[ndigits++] = *p;
  }
  ++p;  // 'e'
  int exponent = 0;
  std::from_chars(*p == '+' ? p + 1 : p, res.ptr, exponent);
  if (ndigits == 1 && digits[0] == '0') {
    out += '0';
    return;
  }
  // Position of the decimal point counted in digits from the left of `digits`.
  const int point = exponent + 1;
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out.append(digits, static_cast<std::size_t>(ndigits));
  } else if (point >= ndigits) {
    out.append(digits, static_cast<std::size_t>(ndigits));
    out.append(static_cast<std::size_t>(point - ndigits), '0');
  } else {
    out.append(digits, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits + point, static_cast<std::size_t>(ndigits - point));
  }
}

std::string shortest(double value) {
  std::string out;
  append_shortest(out, value);
  return out;
}

void append_fixed(std::string& out, double value, int decimals) {
  if (append_non_finite(out, value)) return;
  decimals = std::max(decimals, 0);
  if (append_fixed_exact(out, value, decimals)) return;
  // Sign, up to 309 integral digits, point, decimals.
  constexpr std::size_t kStack = 384;
  const std::size_t need = 312 + static_cast<std::size_t>(decimals);
  if (need <= kStack) {
    char buf[kStack];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    out.append(buf, static_cast<std::size_t>(res.ptr - buf));
    return;
  }
  const std::size_t start = out.size();
  out.resize(start + need);
  auto res = std::to_chars(out.data() + start, out.data() + out.size(), value,
                           std::chars_format::fixed, decimals);
  out.resize(static_cast<std::size_t>(res.ptr - out.data()));
}

char* write_exponential16(char* out, double value) {
  if (char* end = write_exponential16_exact(out, value)) return end;
  if (std::isnan(value)) {
    std::memcpy(out, "NaN", 3);
    return out + 3;
  }
  if (std::isinf(value)) {
    if (value < 0) *out++ = '-';
    std::memcpy(out, "inf", 3);
    return out + 3;
  }
  char buf[40];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, 16);
  const char* e = std::find(buf, res.ptr, 'e');
  const auto mantissa = static_cast<std::size_t>(e - buf) + 1;
  std::memcpy(out, buf, mantissa);
  out += mantissa;
  const char* p = e + 1;
  if (*p == '-') *out++ = '-';
  ++p;  // the sign is always present
  while (p + 1 < res.ptr && *p == '0') ++p;
  const auto digits = static_cast<std::size_t>(res.ptr - p);
  std::memcpy(out, p, digits);
  return out + digits;
}

void append_exponential16(std::string& out, double value) {
  char buf[kExponential16MaxSize];
  out.append(buf, static_cast<std::size_t>(write_exponential16(buf, value) - buf));
}

char* write_rfc3339(char* out, std::int64_t seconds, std::uint32_t nanos) {
  // Floor division so instants before the epoch still land on the right day and second.
  std::int64_t days = seconds / 86400;
  std::int64_t secs_of_day = seconds % 86400;
  if (secs_of_day < 0) {
    secs_of_day += 86400;
    --days;
  }
  // Civil date from days since 1970-01-01 in the proleptic Gregorian calendar
  // (400-year eras of 146097 days, years starting in March).
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);

  char* p = out;
  const auto put2 = [&p](std::int64_t v) {
    std::memcpy(p, &kDigitPairs[2 * static_cast<std::size_t>(v)], 2);
    p += 2;
  };
  if (year >= 0 && year <= 9999) {
    put2(year / 100);
    put2(year % 100);
  } else {
    p = std::to_chars(p, p + 20, year).ptr;
  }
  *p++ = '-';
  put2(month);
  *p++ = '-';
  put2(day);
  *p++ = 'T';
  put2(secs_of_day / 3600);
  *p++ = ':';
  put2(secs_of_day / 60 % 60);
  *p++ = ':';
  put2(secs_of_day % 60);
  if (nanos != 0) {
    *p++ = '.';
    if (nanos % 1000000 == 0) {
      const std::uint32_t ms = nanos / 1000000;
      *p++ = static_cast<char>('0' + ms / 100);
      put2(ms % 100);
    } else if (nanos % 1000 == 0) {
      const std::uint32_t us = nanos / 1000;
      put2(us / 10000);
      put2(us / 100 % 100);
      put2(us % 100);
    } else {
      *p++ = static_cast<char>('0' + nanos / 100000000);
      write_8_digits(p, nanos % 100000000);
      p += 8;
    }
  }
  std::memcpy(p, "+00:00", 6);
  return p + 6;
}

void append_rfc3339(std::string& out, std::int64_t seconds, std::uint32_t nanos) {
  char buf[kRfc3339MaxSize];
  out.append(buf, static_cast<std::size_t>(write_rfc3339(buf, seconds, nanos) - buf));
}

void append_json_string(std::string& out, std::string_view s) {
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

}  // namespace ruvo::text
