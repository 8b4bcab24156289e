// Tests for the quoting, number and timestamp texts.
#include "kernel/text.h"

#include <gtest/gtest.h>

#include "case_names.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "kernel/unicode_tables.h"

namespace ruvo::text {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string quote_text(std::string_view s) {
  std::string out;
  append_quoted(out, s);
  return out;
}

std::string fixed(double v, int decimals) {
  std::string out;
  append_fixed(out, v, decimals);
  return out;
}

std::string exp16(double v) {
  std::string out;
  append_exponential16(out, v);
  return out;
}

std::string rfc3339(std::int64_t seconds, std::uint32_t nanos) {
  std::string out;
  append_rfc3339(out, seconds, nanos);
  return out;
}

double bits_to_double(std::uint64_t bits) {
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

std::uint64_t double_to_bits(double d) {
  std::uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  return bits;
}

// ---------------------------------------------------------------- quoting

struct QuoteCase {
  const char* label;
  std::string input;
  std::string expected;
};

void PrintTo(const QuoteCase& c, std::ostream* os) {
  *os << c.label;
}

class QuoteTest : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(QuoteTest, Renders) {
  const QuoteCase& c = GetParam();
  EXPECT_EQ(quote_text(c.input), c.expected) << c.label;
}

const std::string kFFFD = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    Escapes, QuoteTest,
    ::testing::Values(QuoteCase{"empty", "", R"("")"},
                      QuoteCase{"plain", "budget ok", R"("budget ok")"},
                      QuoteCase{"double quote", "say \"hi\"", R"("say \"hi\"")"},
                      QuoteCase{"backslash", "a\\b", R"("a\\b")"},
                      QuoteCase{"single quote untouched", "on 'rate'", R"("on 'rate'")"},
                      QuoteCase{"tab cr lf", "a\tb\rc\nd", R"("a\tb\rc\nd")"},
                      QuoteCase{"nul", std::string("a\0b", 3), R"("a\0b")"},
                      QuoteCase{"nul then digit",
                                std::string("\0"
                                            "1",
                                            2),
                                R"("\01")"},
                      QuoteCase{"other controls", "\x01\x1b\x7f", R"("\u{1}\u{1b}\u{7f}")"},
                      QuoteCase{"C1 control", "\u0085", R"("\u{85}")"},
                      QuoteCase{"all printable ascii", " !#$%&'()*+,-./09:;<=>?@AZ[]^_`az{|}~",
                                R"(" !#$%&'()*+,-./09:;<=>?@AZ[]^_`az{|}~")"},
                      QuoteCase{"escaped pipe and colon not special", "a|b:c", R"("a|b:c")"}),
    testing_support::NamedByPrintTo());

INSTANTIATE_TEST_SUITE_P(
    Unicode, QuoteTest,
    ::testing::Values(
        QuoteCase{"combining acute", "e\u0301", R"("e\u{301}")"},
        QuoteCase{"precomposed e acute", "\u00E9", "\"\u00E9\""},
        QuoteCase{"zero width joiner", "a\u200Db", R"("a\u{200d}b")"},
        QuoteCase{"zero width non-joiner", "\u200C", R"("\u{200c}")"},
        QuoteCase{"no-break space", "1\u00A0kg", R"("1\u{a0}kg")"},
        QuoteCase{"ideographic space", "\u3000", R"("\u{3000}")"},
        QuoteCase{"line separator", "\u2028", R"("\u{2028}")"},
        QuoteCase{"paragraph separator", "\u2029", R"("\u{2029}")"},
        QuoteCase{"byte order mark", "\uFEFF", R"("\u{feff}")"},
        QuoteCase{"soft hyphen", "\u00AD", R"("\u{ad}")"},
        QuoteCase{"tag character", "\U000E0001", R"("\u{e0001}")"},
        QuoteCase{"cjk", "\u4E2D\u6587", "\"\u4E2D\u6587\""},
        QuoteCase{"hangul", "\uAC00", "\"\uAC00\""},
        QuoteCase{"emoji", "\U0001F600", "\"\U0001F600\""},
        QuoteCase{"variation selector", "\u2764\uFE0F", "\"\u2764\\u{fe0f}\""},
        QuoteCase{"spacing mark printable", "\u0915\u0903", "\"\u0915\u0903\""},
        QuoteCase{"spacing mark with grapheme extend", "\u0995\u09BE", "\"\u0995\\u{9be}\""},
        QuoteCase{"unassigned", "\u0378", R"("\u{378}")"},
        QuoteCase{"noncharacter", "\U0010FFFF", R"("\u{10ffff}")"},
        QuoteCase{"private use", "\uE000", R"("\u{e000}")"},
        QuoteCase{"supplementary private use", "\U000F0000", R"("\u{f0000}")"},
        QuoteCase{"replacement char itself", "\uFFFD", "\"\uFFFD\""},
        QuoteCase{"last plane 14 variation selector", "\U000E01EF", R"("\u{e01ef}")"}),
    testing_support::NamedByPrintTo());

INSTANTIATE_TEST_SUITE_P(
    InvalidUtf8, QuoteTest,
    ::testing::Values(
        QuoteCase{"lone continuation", "a\x80z", "\"a" + kFFFD + "z\""},
        QuoteCase{"invalid lead", "\xFF", "\"" + kFFFD + "\""},
        QuoteCase{"truncated at end", "\xE4\xB8", "\"" + kFFFD + "\""},
        QuoteCase{"truncated before ascii", "\xF0\x9F\x98x", "\"" + kFFFD + "x\""},
        QuoteCase{"truncated before quote", "\xE4\"", "\"" + kFFFD + "\\\"\""},
        QuoteCase{"overlong slash", "\xC0\xAF", "\"" + kFFFD + kFFFD + "\""},
        QuoteCase{"overlong three bytes", "\xE0\x80\xAF", "\"" + kFFFD + kFFFD + kFFFD + "\""},
        QuoteCase{"encoded surrogate", "\xED\xA0\x80", "\"" + kFFFD + kFFFD + kFFFD + "\""},
        QuoteCase{"above U+10FFFF", "\xF4\x90\x80\x80",
                  "\"" + kFFFD + kFFFD + kFFFD + kFFFD + "\""},
        QuoteCase{"valid after invalid", "\x80\u00E9", "\"" + kFFFD + "\u00E9\""}),
    testing_support::NamedByPrintTo());

TEST(Quote, AppendsWithoutTouchingExistingText) {
  std::string out = "reason: ";
  append_quoted(out, "x");
  EXPECT_EQ(out, "reason: \"x\"");
}

// ---------------------------------------------------------------- Unicode tables

template <std::size_t N>
void expect_well_formed(const unicode_tables::Range (&table)[N], const char* name) {
  for (std::size_t i = 0; i < N; ++i) {
    EXPECT_LE(table[i].first, table[i].last) << name << " range " << i;
    EXPECT_LE(table[i].last, 0x10FFFFu) << name << " range " << i;
    if (i > 0) {
      // Strictly above and not adjacent: binary search and range merging rely on both.
      EXPECT_GT(table[i].first, table[i - 1].last + 1) << name << " range " << i;
    }
  }
}

TEST(UnicodeTables, SortedDisjointAndMerged) {
  expect_well_formed(unicode_tables::kGraphemeExtend, "kGraphemeExtend");
  expect_well_formed(unicode_tables::kPrintability, "kPrintability");
}

struct PropertyCase {
  char32_t cp;
  bool printable;
  bool grapheme_extend;
};

void PrintTo(const PropertyCase& c, std::ostream* os) {
  *os << "U+" << std::hex << std::uppercase << static_cast<std::uint32_t>(c.cp);
}

class PropertyTest : public ::testing::TestWithParam<PropertyCase> {};

TEST_P(PropertyTest, Lookup) {
  const PropertyCase& c = GetParam();
  EXPECT_EQ(is_printable(c.cp), c.printable) << std::hex << static_cast<std::uint32_t>(c.cp);
  EXPECT_EQ(is_grapheme_extend(c.cp), c.grapheme_extend)
      << std::hex << static_cast<std::uint32_t>(c.cp);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, PropertyTest,
    ::testing::Values(PropertyCase{0x00, false, false}, PropertyCase{0x1F, false, false},
                      PropertyCase{0x20, true, false}, PropertyCase{0x7E, true, false},
                      PropertyCase{0x7F, false, false}, PropertyCase{0x9F, false, false},
                      PropertyCase{0xA0, false, false}, PropertyCase{0xA1, true, false},
                      PropertyCase{0x2FF, true, false}, PropertyCase{0x300, true, true},
                      PropertyCase{0x36F, true, true}, PropertyCase{0x370, true, false},
                      PropertyCase{0x377, true, false}, PropertyCase{0x378, false, false},
                      PropertyCase{0x200C, false, true}, PropertyCase{0x200D, false, false},
                      PropertyCase{0xD800, false, false}, PropertyCase{0xDFFF, false, false},
                      PropertyCase{0xE000, false, false}, PropertyCase{0xF8FF, false, false},
                      PropertyCase{0xF900, true, false}, PropertyCase{0xFFFD, true, false},
                      PropertyCase{0xFFFE, false, false}, PropertyCase{0x1F600, true, false},
                      PropertyCase{0x20000, true, false}, PropertyCase{0xE0100, true, true},
                      PropertyCase{0xE01EF, true, true}, PropertyCase{0xE01F0, false, false},
                      PropertyCase{0x10FFFF, false, false}, PropertyCase{0x110000, false, false},
                      PropertyCase{0xFFFFFFFF, false, false}),
    testing_support::NamedByPrintTo());

// ---------------------------------------------------------------- shortest

struct ShortestCase {
  double value;
  const char* expected;
};

// The input, not the text: NaN and -NaN render alike.
void PrintTo(const ShortestCase& c, std::ostream* os) {
  *os << c.value;
}

class ShortestTest : public ::testing::TestWithParam<ShortestCase> {};

TEST_P(ShortestTest, Renders) {
  const ShortestCase& c = GetParam();
  EXPECT_EQ(shortest(c.value), c.expected);
  std::string out = "x=";
  append_shortest(out, c.value);
  EXPECT_EQ(out, std::string("x=") + c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ShortestTest,
    ::testing::Values(
        ShortestCase{50.0, "50"}, ShortestCase{0.0, "0"}, ShortestCase{-0.0, "-0"},
        ShortestCase{100.0, "100"}, ShortestCase{1.0, "1"}, ShortestCase{0.6, "0.6"},
        ShortestCase{0.1 + 0.2, "0.30000000000000004"}, ShortestCase{1e-7, "0.0000001"},
        ShortestCase{1e21, "1000000000000000000000"}, ShortestCase{123.456, "123.456"},
        ShortestCase{-1.25, "-1.25"}, ShortestCase{0.5, "0.5"}, ShortestCase{10.5, "10.5"},
        ShortestCase{1152921504606846976.0, "1152921504606847000"},
        ShortestCase{1e16, "10000000000000000"}, ShortestCase{1e22, "10000000000000000000000"},
        ShortestCase{1.5e-10, "0.00000000015"},
        ShortestCase{9007199254740993.0, "9007199254740992"}, ShortestCase{kNaN, "NaN"},
        ShortestCase{-kNaN, "NaN"}, ShortestCase{kInf, "inf"}, ShortestCase{-kInf, "-inf"}),
    testing_support::NamedByPrintTo());

TEST(Shortest, ExtremeMagnitudesWrittenOut) {
  EXPECT_EQ(shortest(5e-324), "0." + std::string(323, '0') + "5");
  EXPECT_EQ(shortest(-5e-324), "-0." + std::string(323, '0') + "5");
  EXPECT_EQ(shortest(1.7976931348623157e308), "17976931348623157" + std::string(292, '0'));
  EXPECT_EQ(shortest(2.2250738585072014e-308), "0." + std::string(307, '0') + "22250738585072014");
}

// Significant digits of a positional text: leading and trailing zeros do not count.
int significant_digits(const std::string& s) {
  std::string digits;
  for (char ch : s) {
    if (ch >= '0' && ch <= '9') digits += ch;
  }
  const std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return 1;
  const std::size_t last = digits.find_last_not_of('0');
  return static_cast<int>(last - first + 1);
}

// Any finite double must read back bit for bit, with no exponent, and one significant digit
// fewer must no longer read back.
TEST(Shortest, RoundTripsAndIsShortestOnRandomBitPatterns) {
  std::mt19937_64 rng(20260301);
  char shorter[64];
  for (int i = 0; i < 200000; ++i) {
    const double v = bits_to_double(rng());
    if (!std::isfinite(v)) continue;
    const std::string s = shortest(v);
    ASSERT_EQ(s.find_first_of("eE"), std::string::npos) << s;
    ASSERT_EQ(double_to_bits(std::strtod(s.c_str(), nullptr)), double_to_bits(v)) << s;
    const int n = significant_digits(s);
    if (n > 1) {
      std::snprintf(shorter, sizeof shorter, "%.*e", n - 2, v);
      ASSERT_NE(std::strtod(shorter, nullptr), v) << s << " vs " << shorter;
    }
  }
}

// ---------------------------------------------------------------- fixed

struct FixedCase {
  double value;
  int decimals;
  const char* expected;
};

// The input, not the text: two inputs here round to the same text.
void PrintTo(const FixedCase& c, std::ostream* os) {
  *os << c.value << " to " << c.decimals << " places";
}

class FixedTest : public ::testing::TestWithParam<FixedCase> {};

TEST_P(FixedTest, Renders) {
  const FixedCase& c = GetParam();
  EXPECT_EQ(fixed(c.value, c.decimals), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, FixedTest,
    ::testing::Values(FixedCase{0.5, 4, "0.5000"}, FixedCase{0.05, 4, "0.0500"},
                      FixedCase{0.1, 2, "0.10"}, FixedCase{1.0, 4, "1.0000"},
                      FixedCase{0.0, 4, "0.0000"}, FixedCase{-0.0, 4, "-0.0000"},
                      FixedCase{-0.00001, 4, "-0.0000"}, FixedCase{0.45, 4, "0.4500"},
                      FixedCase{0.125, 2, "0.12"},      // a true tie rounds to even
                      FixedCase{0.375, 2, "0.38"},      // a true tie rounds to even
                      FixedCase{2.675, 2, "2.67"},      // stored slightly below 2.675
                      FixedCase{0.00015, 4, "0.0001"},  // stored slightly below
                      FixedCase{0.00005, 4, "0.0001"},  // stored slightly above
                      FixedCase{0.30000000000000004, 4, "0.3000"}, FixedCase{-1.5, 2, "-1.50"},
                      FixedCase{2.5, 0, "2"}, FixedCase{12345.6789, 2, "12345.68"},
                      FixedCase{kNaN, 4, "NaN"}, FixedCase{-kNaN, 2, "NaN"},
                      FixedCase{kInf, 4, "inf"}, FixedCase{-kInf, 2, "-inf"}),
    testing_support::NamedByPrintTo());

TEST(Fixed, HugeValueWritesEveryIntegralDigit) {
  EXPECT_EQ(fixed(1e300, 4),
            "1000000000000000052504760255204420248704468581108159154915854115511802457988908195786"
            "3713750804478640437044438328838781769425232353604305756447921847867069828483872009265"
            "7580373783023379478809005936895323497079994508111903896764088007465274278014249457925"
            "8788820056842838115669472196386865459400540160.0000");
  EXPECT_EQ(fixed(-1.7976931348623157e308, 2).size(), 1 + 309 + 1 + 2);
}

TEST(Fixed, ManyDecimalsBeyondStackBuffer) {
  const std::string s = fixed(5e-324, 1100);
  ASSERT_EQ(s.size(), 2u + 1100u);
  EXPECT_EQ(s.substr(0, 10), "0.00000000");
  EXPECT_EQ(s.substr(2 + 323, 20), "49406564584124654417");
}

// glibc's printf also rounds from the exact binary value, ties to even.
TEST(Fixed, MatchesPrintfOnRandomValues) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> unit(-2.0, 2.0);
  std::uniform_int_distribution<int> scale(-12, 20);
  char ref[512];
  for (int i = 0; i < 50000; ++i) {
    const double v = std::ldexp(unit(rng), scale(rng));
    for (int decimals : {0, 2, 4, 9}) {
      std::snprintf(ref, sizeof ref, "%.*f", decimals, v);
      ASSERT_EQ(fixed(v, decimals), ref) << v;
    }
  }
}

// Margins and thresholds are written without the general formatter; this covers that path
// on exact ties, tiny values, both signs and the largest magnitudes it accepts.
TEST(Fixed, MatchesPrintfOnTiesAndLimits) {
  std::vector<double> values = {0.0, 1e-300, 5e-324, 0.5, 1.0, 0x1p62, 0x1p53, 1e15, 1e18};
  for (int shift = 1; shift <= 24; ++shift) {
    for (std::uint64_t k = 1; k < 600; k += 2) values.push_back(std::ldexp(double(k), -shift));
  }
  for (int decade = -20; decade <= 19; ++decade) {
    const double p = std::pow(10.0, decade);
    for (double v : {p, std::nextafter(p, 0.0), std::nextafter(p, kInf), 0.5 * p, 4.5 * p}) {
      values.push_back(v);
    }
  }
  char ref[512];
  for (double v : values) {
    for (double signed_v : {v, -v}) {
      for (int decimals = 0; decimals <= 20; ++decimals) {
        std::snprintf(ref, sizeof ref, "%.*f", decimals, signed_v);
        ASSERT_EQ(fixed(signed_v, decimals), ref) << signed_v << " " << decimals;
      }
    }
  }
}

// ---------------------------------------------------------------- exponential

struct ExpCase {
  double value;
  const char* expected;
};

// The input, not the text: NaN and -NaN render alike.
void PrintTo(const ExpCase& c, std::ostream* os) {
  *os << c.value;
}

class Exponential16Test : public ::testing::TestWithParam<ExpCase> {};

TEST_P(Exponential16Test, Renders) {
  const ExpCase& c = GetParam();
  EXPECT_EQ(exp16(c.value), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, Exponential16Test,
    ::testing::Values(ExpCase{0.5, "5.0000000000000000e-1"}, ExpCase{0.8, "8.0000000000000004e-1"},
                      ExpCase{1.0, "1.0000000000000000e0"}, ExpCase{0.0, "0.0000000000000000e0"},
                      ExpCase{-0.0, "-0.0000000000000000e0"}, ExpCase{0.1, "1.0000000000000001e-1"},
                      ExpCase{0.25, "2.5000000000000000e-1"}, ExpCase{10.0, "1.0000000000000000e1"},
                      ExpCase{123.456, "1.2345600000000000e2"},
                      ExpCase{-2.5, "-2.5000000000000000e0"},
                      ExpCase{1e100, "1.0000000000000000e100"},
                      ExpCase{1.7976931348623157e308, "1.7976931348623157e308"},
                      ExpCase{5e-324, "4.9406564584124654e-324"},
                      ExpCase{1e-5, "1.0000000000000001e-5"}, ExpCase{kNaN, "NaN"},
                      ExpCase{-kNaN, "NaN"}, ExpCase{kInf, "inf"}, ExpCase{-kInf, "-inf"}),
    testing_support::NamedByPrintTo());

// Distinct doubles must give distinct texts, and the mantissa must match printf's rounding.
TEST(Exponential16, MatchesPrintfOnRandomBitPatterns) {
  std::mt19937_64 rng(11);
  char ref[64];
  for (int i = 0; i < 100000; ++i) {
    const double v = bits_to_double(rng());
    if (!std::isfinite(v)) continue;
    std::snprintf(ref, sizeof ref, "%.16e", v);
    const std::string s = exp16(v);
    const std::size_t e = s.find('e');
    ASSERT_NE(e, std::string::npos) << s;
    const std::string ref_str = ref;
    ASSERT_EQ(s.substr(0, e + 1), ref_str.substr(0, ref_str.find('e') + 1));
    ASSERT_EQ(std::strtol(s.c_str() + e + 1, nullptr, 10),
              std::strtol(ref + ref_str.find('e') + 1, nullptr, 10));
    ASSERT_EQ(s.find('+'), std::string::npos) << s;
    ASSERT_EQ(double_to_bits(std::strtod(s.c_str(), nullptr)), double_to_bits(v)) << s;
  }
}

// Mantissa and exponent as printf writes them, for the same text layout as exp16.
std::string exp16_reference(double v) {
  char ref[64];
  std::snprintf(ref, sizeof ref, "%.16e", v);
  std::string s = ref;
  const std::size_t e = s.find('e');
  return s.substr(0, e + 1) + std::to_string(std::strtol(ref + e + 1, nullptr, 10));
}

// Margins lie where the texts are built without the general formatter, so that range gets
// dense coverage: every decade, exact halfway cases and values that round up to the next
// power of ten.
TEST(Exponential16, MatchesPrintfWhereMarginsLie) {
  std::vector<double> values;
  std::mt19937_64 rng(12);
  std::uniform_real_distribution<double> unit(1.0, 10.0);
  for (int decade = -18; decade <= 17; ++decade) {
    const double p = std::pow(10.0, decade);
    for (double v : {p, std::nextafter(p, 0.0), std::nextafter(p, kInf)}) values.push_back(v);
    for (int i = 0; i < 2000; ++i) values.push_back(unit(rng) * p);
  }
  // Odd multiples of a power of two have a last decimal digit of 5 at the eighteenth
  // significant place for suitable sizes, the ties that go to the even neighbour.
  for (int shift = 1; shift <= 60; ++shift) {
    for (std::uint64_t k = 1; k < 4000; k += 2) values.push_back(std::ldexp(double(k), -shift));
    values.push_back(std::ldexp(double((std::uint64_t{1} << 53) - 1), -shift));
  }
  // 9.99999999999999995e-1 and neighbours: the seventeen digits carry into a new decade.
  for (double v = std::nextafter(1.0, 0.0), n = 0; n < 50; ++n, v = std::nextafter(v, 0.0)) {
    values.push_back(v);
  }
  for (double v : values) {
    ASSERT_EQ(exp16(v), exp16_reference(v)) << v;
    ASSERT_EQ(exp16(-v), exp16_reference(-v)) << v;
  }
}

// ---------------------------------------------------------------- RFC 3339

struct TimeCase {
  std::int64_t seconds;
  std::uint32_t nanos;
  const char* expected;
};

void PrintTo(const TimeCase& c, std::ostream* os) {
  *os << c.expected;
}

class Rfc3339Test : public ::testing::TestWithParam<TimeCase> {};

TEST_P(Rfc3339Test, Renders) {
  const TimeCase& c = GetParam();
  EXPECT_EQ(rfc3339(c.seconds, c.nanos), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, Rfc3339Test,
    ::testing::Values(TimeCase{0, 0, "1970-01-01T00:00:00+00:00"},
                      TimeCase{1772355907, 0, "2026-03-01T09:05:07+00:00"},
                      TimeCase{1772355907, 250000000, "2026-03-01T09:05:07.250+00:00"},
                      TimeCase{1772355907, 125000, "2026-03-01T09:05:07.000125+00:00"},
                      TimeCase{1772355907, 123456789, "2026-03-01T09:05:07.123456789+00:00"},
                      TimeCase{1772355907, 1, "2026-03-01T09:05:07.000000001+00:00"},
                      TimeCase{1772355907, 1000, "2026-03-01T09:05:07.000001+00:00"},
                      TimeCase{1772355907, 1000000, "2026-03-01T09:05:07.001+00:00"},
                      TimeCase{1772355907, 999999999, "2026-03-01T09:05:07.999999999+00:00"},
                      TimeCase{1772355907, 123456000, "2026-03-01T09:05:07.123456+00:00"},
                      TimeCase{1709164799, 0, "2024-02-28T23:59:59+00:00"},
                      TimeCase{1709208000, 0, "2024-02-29T12:00:00+00:00"},
                      TimeCase{1709251200, 0, "2024-03-01T00:00:00+00:00"},
                      TimeCase{951782400, 0, "2000-02-29T00:00:00+00:00"},
                      TimeCase{4107542400, 0, "2100-03-01T00:00:00+00:00"},
                      TimeCase{946684799, 999000000, "1999-12-31T23:59:59.999+00:00"},
                      TimeCase{2147483648, 0, "2038-01-19T03:14:08+00:00"},
                      TimeCase{253402300799, 0, "9999-12-31T23:59:59+00:00"},
                      TimeCase{-1, 0, "1969-12-31T23:59:59+00:00"},
                      TimeCase{-2208988800, 0, "1900-01-01T00:00:00+00:00"}),
    testing_support::NamedByPrintTo());

// The C library's calendar conversion is an independent reference for the date fields.
TEST(Rfc3339, MatchesGmtimeOnRandomInstants) {
  std::mt19937_64 rng(3);
  std::uniform_int_distribution<std::int64_t> secs(0, 253402300799);
  char ref[64];
  for (int i = 0; i < 50000; ++i) {
    const std::int64_t s = secs(rng);
    const std::time_t t = static_cast<std::time_t>(s);
    std::tm tm{};
    ASSERT_NE(gmtime_r(&t, &tm), nullptr);
    std::strftime(ref, sizeof ref, "%Y-%m-%dT%H:%M:%S", &tm);
    ASSERT_EQ(rfc3339(s, 0), std::string(ref) + "+00:00") << s;
    // One instant per fraction width, each with its own random digits.
    const auto ms = static_cast<std::uint32_t>(rng() % 999 + 1);
    const auto us = static_cast<std::uint32_t>(rng() % 999999 + 1);
    const auto ns = static_cast<std::uint32_t>(rng() % 999999999 + 1);
    char fraction[16];
    std::snprintf(fraction, sizeof fraction, ".%03u", ms);
    ASSERT_EQ(rfc3339(s, ms * 1000000), std::string(ref) + fraction + "+00:00");
    if (us % 1000 != 0) {
      std::snprintf(fraction, sizeof fraction, ".%06u", us);
      ASSERT_EQ(rfc3339(s, us * 1000), std::string(ref) + fraction + "+00:00");
    }
    if (ns % 1000 != 0) {
      std::snprintf(fraction, sizeof fraction, ".%09u", ns);
      ASSERT_EQ(rfc3339(s, ns), std::string(ref) + fraction + "+00:00");
    }
  }
}

// The buffer forms write what the appending forms append, within their stated bounds even
// for the longest inputs.
TEST(WriteForms, MatchAppendAndFitTheirBounds) {
  char buf[64];
  for (double v : {-1.7976931348623157e308, -5e-324, -1e-300, -0.0, 0.8, -kInf, kNaN, 1e16}) {
    const std::size_t n = static_cast<std::size_t>(write_exponential16(buf, v) - buf);
    EXPECT_LE(n, kExponential16MaxSize);
    EXPECT_EQ(std::string(buf, n), exp16(v));
  }
  EXPECT_EQ(exp16(-5e-324).size(), kExponential16MaxSize);
  const std::int64_t min = std::numeric_limits<std::int64_t>::min();
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  for (std::int64_t seconds : {min, max, std::int64_t{0}, std::int64_t{-1}}) {
    for (std::uint32_t nanos : {0u, 250000000u, 123456789u}) {
      const std::size_t n = static_cast<std::size_t>(write_rfc3339(buf, seconds, nanos) - buf);
      EXPECT_LE(n, kRfc3339MaxSize);
      EXPECT_EQ(std::string(buf, n), rfc3339(seconds, nanos));
    }
  }
}

}  // namespace
}  // namespace ruvo::text
