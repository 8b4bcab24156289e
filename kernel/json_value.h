// The small JSON value an adapter returns as its summary.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "kernel/records.h"

namespace ruvo {

class JsonValue {
 public:
  struct Null {};
  using Object = std::map<std::string, JsonValue, ByteOrder>;

  JsonValue() : v_(Null{}) {}
  // Non-finite numbers are stored as null.
  static JsonValue number(double d);
  static JsonValue string(std::string s) { return JsonValue(std::move(s)); }
  static JsonValue object(Object o) { return JsonValue(std::move(o)); }

  bool is_null() const { return std::holds_alternative<Null>(v_); }
  bool is_number() const { return std::holds_alternative<double>(v_); }
  bool is_string() const { return std::holds_alternative<std::string>(v_); }
  bool is_object() const { return std::holds_alternative<Object>(v_); }
  double as_number() const { return std::get<double>(v_); }
  const std::string& as_string() const { return std::get<std::string>(v_); }
  const Object& as_object() const { return std::get<Object>(v_); }

  // Compact JSON text, keys in byte order.
  std::string dump() const;

 private:
  explicit JsonValue(double d) : v_(d) {}
  explicit JsonValue(std::string s) : v_(std::move(s)) {}
  explicit JsonValue(Object o) : v_(std::move(o)) {}

  std::variant<Null, double, std::string, Object> v_;
};

}  // namespace ruvo
