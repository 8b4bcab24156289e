// The small JSON value an adapter returns as its summary.
#pragma once

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "kernel/records.h"

namespace ruvo {

class JsonValue {
 public:
  struct Null {};

  // Members kept unique and in byte order of their names, in one sorted vector: a
  // summary has a handful of members and is built once per certification.
  class Object {
   public:
    using value_type = std::pair<std::string, JsonValue>;
    using Storage = std::vector<value_type>;
    using iterator = Storage::iterator;
    using const_iterator = Storage::const_iterator;

    // Adds the member unless the name is taken; reports the member and whether it is new.
    template <class K>
    std::pair<iterator, bool> emplace(K&& name, JsonValue value) {
      const std::string_view key(name);
      auto it = lower_bound_by_name(entries_, key);
      if (it != entries_.end() && it->first == key) return {it, false};
      it = entries_.emplace(it, std::string(std::forward<K>(name)), std::move(value));
      return {it, true};
    }
    // The position is found by name; the hint is accepted for the familiar map form.
    template <class K>
    iterator emplace_hint(const_iterator /*hint*/, K&& name, JsonValue value) {
      return emplace(std::forward<K>(name), std::move(value)).first;
    }
    template <class K>
    std::pair<iterator, bool> insert_or_assign(K&& name, JsonValue value) {
      auto result = emplace(std::forward<K>(name), JsonValue());
      result.first->second = std::move(value);
      return result;
    }
    template <class K>
    JsonValue& operator[](K&& name) {
      return emplace(std::forward<K>(name), JsonValue()).first->second;
    }

    iterator find(std::string_view name) { return find_entry(entries_, name); }
    const_iterator find(std::string_view name) const { return find_entry(entries_, name); }
    bool contains(std::string_view name) const { return find(name) != end(); }
    // Like the map's: throws std::out_of_range for a missing name.
    const JsonValue& at(std::string_view name) const {
      auto it = find(name);
      if (it == end()) throw std::out_of_range("JsonValue::Object::at");
      return it->second;
    }

    void reserve(std::size_t n) { entries_.reserve(n); }
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    iterator begin() { return entries_.begin(); }
    iterator end() { return entries_.end(); }
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }

   private:
    template <class S>
    static auto find_entry(S& entries, std::string_view name) -> decltype(entries.begin()) {
      auto it = lower_bound_by_name(entries, name);
      return it != entries.end() && it->first == name ? it : entries.end();
    }

    Storage entries_;
  };

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
