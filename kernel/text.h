// Text renderings shared by the kernel and the Python layer: quoting and number texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ruvo::text {

// Appends `s` as a quoted text: double quotes around it, escapes for quote, backslash,
// tab, CR, LF, NUL, and \u{hex} for Grapheme_Extend and non-printable code points.
// Invalid UTF-8 bytes are written as U+FFFD.
void append_quoted(std::string& out, std::string_view s);

// Unicode property lookups used by append_quoted.
bool is_grapheme_extend(char32_t cp);
bool is_printable(char32_t cp);

// Appends `s` as a JSON string: escapes for quote, backslash, \b \f \n \r \t and
// \u00xx for other control characters; everything else, non-ASCII included, unchanged.
void append_json_string(std::string& out, std::string_view s);

// Shortest round-trip decimal in positional notation (no exponent); "NaN", "inf", "-inf".
void append_shortest(std::string& out, double value);
std::string shortest(double value);

// Fixed-point with exactly `decimals` fractional digits, rounded from the exact value.
void append_fixed(std::string& out, double value, int decimals);

// One digit, '.', sixteen digits, 'e', plain decimal exponent ("8.0000000000000004e-1").
void append_exponential16(std::string& out, double value);
// The same text written at `out`, which has room for kExponential16MaxSize bytes; returns
// its end.
inline constexpr std::size_t kExponential16MaxSize = 24;  // "-4.9406564584124654e-324"
char* write_exponential16(char* out, double value);

// RFC 3339 in UTC with the automatic fraction (none, ms, us or ns) and "+00:00".
// `seconds` counts from the Unix epoch; `nanos` is in [0, 1e9).
void append_rfc3339(std::string& out, std::int64_t seconds, std::uint32_t nanos);
// The same text written at `out`, which has room for kRfc3339MaxSize bytes; returns its end.
// The longest has a signed twelve-digit year and nine fraction digits.
inline constexpr std::size_t kRfc3339MaxSize = 48;
char* write_rfc3339(char* out, std::int64_t seconds, std::uint32_t nanos);

}  // namespace ruvo::text
