// Fuzzes the RFC 3339 timestamp text against a day-by-day calendar and the C library's.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "kernel/text.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

struct Civil {
  std::int64_t year;
  int month, day, hour, minute, second;
};

bool leap(std::int64_t y) {
  return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
}

int month_days(std::int64_t y, int m) {
  constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leap(y) ? 29 : kDays[m - 1];
}

// Counts years and months off one at a time within a 400-year cycle, the calendar's period:
// slow, but plainly right.
Civil civil(std::int64_t seconds) {
  std::int64_t of_day = seconds % 86400;
  std::int64_t days = seconds / 86400;
  if (of_day < 0) {
    of_day += 86400;
    --days;
  }
  constexpr std::int64_t kCycle = 146097;          // days in 400 years
  const std::int64_t since_year0 = days + 719528;  // 0000-01-01 to 1970-01-01
  std::int64_t cycles = since_year0 / kCycle;
  std::int64_t rest = since_year0 % kCycle;
  if (rest < 0) {
    rest += kCycle;
    --cycles;
  }
  std::int64_t y = 0;
  while (rest >= (leap(y) ? 366 : 365)) rest -= leap(y++) ? 366 : 365;
  int m = 1;
  while (rest >= month_days(y, m)) rest -= month_days(y, m++);
  return {cycles * 400 + y,
          m,
          static_cast<int>(rest) + 1,
          static_cast<int>(of_day / 3600),
          static_cast<int>(of_day / 60 % 60),
          static_cast<int>(of_day % 60)};
}

// Reads `n` digits at s[i], advancing i; -1 if they are not there.
std::int64_t digits(const std::string& s, std::size_t& i, std::size_t n) {
  if (i + n > s.size()) return -1;
  std::int64_t v = 0;
  for (std::size_t k = 0; k < n; ++k, ++i) {
    if (s[i] < '0' || s[i] > '9') return -1;
    v = v * 10 + (s[i] - '0');
  }
  return v;
}

bool expect_char(const std::string& s, std::size_t& i, char c) {
  if (i >= s.size() || s[i] != c) return false;
  ++i;
  return true;
}

}  // namespace

// Input: eight bytes of seconds, four of nanoseconds, one mode byte: its low two bits pick
// the fraction (as read, whole milliseconds, whole microseconds, none) and bit 2 keeps the
// instant within years 0 to 9999.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Reader in(data, size);
  auto seconds = static_cast<std::int64_t>(in.u64());
  std::uint32_t nanos = in.u32() % 1000000000;
  const std::uint8_t mode = in.u8();
  switch (mode & 3) {
    case 1:
      nanos = nanos % 1000 * 1000000;
      break;
    case 2:
      nanos = nanos % 1000000 * 1000;
      break;
    case 3:
      nanos = 0;
      break;
  }
  if (mode & 4) {
    constexpr std::int64_t kYear0 = -62167219200;  // 0000-01-01T00:00:00
    constexpr std::int64_t kSpan = 253402300800 - kYear0;
    seconds = kYear0 + static_cast<std::int64_t>(static_cast<std::uint64_t>(seconds) %
                                                 static_cast<std::uint64_t>(kSpan));
  }

  // Exactly the stated room, on the heap, so a write past it is caught.
  const auto buf = std::make_unique<char[]>(ruvo::text::kRfc3339MaxSize);
  char* end = ruvo::text::write_rfc3339(buf.get(), seconds, nanos);
  FUZZ_CHECK(end > buf.get() && end <= buf.get() + ruvo::text::kRfc3339MaxSize,
             std::to_string(end - buf.get()));
  const std::string text(buf.get(), end);
  std::string appended = "at ";
  ruvo::text::append_rfc3339(appended, seconds, nanos);
  FUZZ_CHECK(appended == "at " + text, appended + " vs " + text);

  const Civil want = civil(seconds);
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  if (gmtime_r(&t, &tm) != nullptr) {  // null once the year outgrows an int
    FUZZ_CHECK(tm.tm_year + std::int64_t{1900} == want.year && tm.tm_mon + 1 == want.month &&
                   tm.tm_mday == want.day && tm.tm_hour == want.hour && tm.tm_min == want.minute &&
                   tm.tm_sec == want.second,
               "reference calendar disagrees with gmtime_r at " + std::to_string(seconds));
  }

  // Years 0 to 9999 take four digits; others are written plainly, signed when negative.
  std::size_t i = 0;
  const bool negative = expect_char(text, i, '-');
  const std::size_t year_start = i;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  const std::size_t year_digits = i - year_start;
  const std::string plain_year = std::to_string(want.year);
  if (want.year >= 0 && want.year <= 9999) {
    FUZZ_CHECK(!negative && year_digits == 4 && std::stoll(text.substr(0, 4)) == want.year, text);
  } else {
    FUZZ_CHECK(text.substr(0, i) == plain_year, text + " year " + plain_year);
  }
  const bool fields = expect_char(text, i, '-') && digits(text, i, 2) == want.month &&
                      expect_char(text, i, '-') && digits(text, i, 2) == want.day &&
                      expect_char(text, i, 'T') && digits(text, i, 2) == want.hour &&
                      expect_char(text, i, ':') && digits(text, i, 2) == want.minute &&
                      expect_char(text, i, ':') && digits(text, i, 2) == want.second;
  FUZZ_CHECK(fields, text + " at " + std::to_string(seconds));

  // The fraction takes as few of 0, 3, 6 or 9 digits as represent the nanoseconds exactly.
  const std::size_t width = nanos == 0 ? 0 : nanos % 1000000 == 0 ? 3 : nanos % 1000 == 0 ? 6 : 9;
  if (width > 0) {
    FUZZ_CHECK(expect_char(text, i, '.'), text);
    std::int64_t fraction = digits(text, i, width);
    for (std::size_t k = width; k < 9; ++k) fraction *= 10;
    FUZZ_CHECK(fraction == nanos, text + " nanos " + std::to_string(nanos));
  }
  FUZZ_CHECK(text.substr(i) == "+00:00", text);
  return 0;
}
