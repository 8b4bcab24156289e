// Shared by the fuzz targets: input reading, failure reports and a reference UTF-8 decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzz {

// Bytes as printable ASCII with \xNN for the rest, so a report shows exactly what differed.
inline std::string escaped(std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (char c : s) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b < 0x7F && b != '\\') {
      out += c;
    } else {
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
    }
  }
  return out;
}

// abort() is what libFuzzer records as a crash, keeping the input as a reproducer.
[[noreturn]] inline void fail(const char* file, int line, const char* what,
                              std::string_view detail) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n%s\n", file, line, what, escaped(detail).c_str());
  std::abort();
}

// `detail` is only evaluated when the check fails.
#define FUZZ_CHECK(cond, detail)                                  \
  do {                                                            \
    if (!(cond)) ::fuzz::fail(__FILE__, __LINE__, #cond, detail); \
  } while (0)

// Reads the fuzz input from the front; past its end every read yields zeros, so any input,
// short ones included, is a valid one. Seeds are easy to write by hand in this layout.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }
  std::uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
  // Little-endian.
  std::uint64_t bytes(int n) {
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= std::uint64_t{u8()} << (8 * i);
    return v;
  }
  std::uint16_t u16() { return static_cast<std::uint16_t>(bytes(2)); }
  std::uint32_t u32() { return static_cast<std::uint32_t>(bytes(4)); }
  std::uint64_t u64() { return bytes(8); }
  // A length byte, then that many bytes (fewer at the end of the input).
  std::string str() {
    std::size_t n = u8();
    if (n > size_ - pos_) n = size_ - pos_;
    std::string s(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return s;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// Well-formed UTF-8 byte sequences as the Unicode standard tabulates them: the lead byte's
// range, then the range allowed for each following byte.
struct Utf8Row {
  std::uint8_t lead_lo, lead_hi;
  int trail;
  std::uint8_t lo[3], hi[3];
};
inline constexpr Utf8Row kUtf8Rows[] = {
    {0x00, 0x7F, 0, {}, {}},
    {0xC2, 0xDF, 1, {0x80}, {0xBF}},
    {0xE0, 0xE0, 2, {0xA0, 0x80}, {0xBF, 0xBF}},
    {0xE1, 0xEC, 2, {0x80, 0x80}, {0xBF, 0xBF}},
    {0xED, 0xED, 2, {0x80, 0x80}, {0x9F, 0xBF}},
    {0xEE, 0xEF, 2, {0x80, 0x80}, {0xBF, 0xBF}},
    {0xF0, 0xF0, 3, {0x90, 0x80, 0x80}, {0xBF, 0xBF, 0xBF}},
    {0xF1, 0xF3, 3, {0x80, 0x80, 0x80}, {0xBF, 0xBF, 0xBF}},
    {0xF4, 0xF4, 3, {0x80, 0x80, 0x80}, {0x8F, 0xBF, 0xBF}},
};

// Code points of `s`, each maximal ill-formed subpart (the longest start of a well-formed
// sequence, or else one byte) replaced by U+FFFD.
inline std::u32string decode_replacing(std::string_view s) {
  std::u32string out;
  std::size_t i = 0;
  while (i < s.size()) {
    const auto lead = static_cast<unsigned char>(s[i]);
    const Utf8Row* row = nullptr;
    for (const Utf8Row& r : kUtf8Rows) {
      if (lead >= r.lead_lo && lead <= r.lead_hi) row = &r;
    }
    if (row == nullptr) {
      out += U'\uFFFD';
      ++i;
      continue;
    }
    int fit = 0;
    while (fit < row->trail && i + 1 + fit < s.size()) {
      const auto b = static_cast<unsigned char>(s[i + 1 + fit]);
      if (b < row->lo[fit] || b > row->hi[fit]) break;
      ++fit;
    }
    if (fit < row->trail) {
      out += U'\uFFFD';
      i += 1 + static_cast<std::size_t>(fit);
      continue;
    }
    char32_t cp = row->trail == 0 ? lead : lead & (0x3Fu >> row->trail);
    for (int k = 1; k <= row->trail; ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3Fu);
    }
    out += cp;
    i += 1 + static_cast<std::size_t>(row->trail);
  }
  return out;
}

inline void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

inline std::string encode_utf8(std::u32string_view cps) {
  std::string out;
  for (char32_t cp : cps) append_utf8(out, cp);
  return out;
}

// A replacement never encodes back to the bytes it replaced, so only well-formed text
// survives decoding and encoding unchanged.
inline bool is_valid_utf8(std::string_view s) {
  return encode_utf8(decode_replacing(s)) == s;
}

}  // namespace fuzz
