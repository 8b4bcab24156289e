// Tests for the summary JSON value: member order and uniqueness, lookups and compact text.
#include "kernel/json_value.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace ruvo {
namespace {

std::vector<std::string> names(const JsonValue::Object& o) {
  std::vector<std::string> out;
  for (const auto& [name, value] : o) out.push_back(name);
  return out;
}

TEST(JsonObject, MembersInByteOrderWhateverTheInsertionOrder) {
  const std::vector<std::vector<std::string>> orders = {
      {"b", "a", "B", "ab", "", "\u00E9"},
      {"\u00E9", "", "ab", "B", "a", "b"},
      {"", "B", "a", "ab", "b", "\u00E9"},
  };
  for (const auto& order : orders) {
    JsonValue::Object o;
    for (const auto& name : order) EXPECT_TRUE(o.emplace(name, JsonValue::string(name)).second);
    EXPECT_EQ(names(o), (std::vector<std::string>{"", "B", "a", "ab", "b", "\u00E9"}));
    for (const auto& name : order) EXPECT_EQ(o.at(name).as_string(), name);
  }
}

TEST(JsonObject, EmplaceKeepsTheFirstValueAndAssignReplaces) {
  JsonValue::Object o;
  EXPECT_TRUE(o.emplace("k", JsonValue::number(1.0)).second);
  const auto [it, inserted] = o.emplace(std::string("k"), JsonValue::number(2.0));
  EXPECT_FALSE(inserted);
  EXPECT_EQ(it->second.as_number(), 1.0);
  EXPECT_FALSE(o.insert_or_assign("k", JsonValue::number(3.0)).second);
  EXPECT_EQ(o.at("k").as_number(), 3.0);
  EXPECT_TRUE(o.insert_or_assign("j", JsonValue::number(4.0)).second);
  EXPECT_TRUE(o["new"].is_null());
  EXPECT_EQ(o.emplace_hint(o.end(), "a", JsonValue::number(5.0))->first, "a");
  EXPECT_EQ(names(o), (std::vector<std::string>{"a", "j", "k", "new"}));
  EXPECT_EQ(o.size(), 4u);
}

TEST(JsonObject, Lookups) {
  JsonValue::Object o;
  EXPECT_TRUE(o.empty());
  EXPECT_EQ(o.find("x"), o.end());
  EXPECT_THROW(o.at("x"), std::out_of_range);
  o.emplace("x", JsonValue());
  o.emplace("xy", JsonValue());
  EXPECT_TRUE(o.contains("x"));
  EXPECT_FALSE(o.contains("xz"));
  EXPECT_FALSE(o.contains("w"));
  EXPECT_EQ(o.find("xy")->first, "xy");
}

TEST(JsonValue, CompactText) {
  JsonValue::Object inner;
  inner.emplace("z", JsonValue::number(0.5));
  inner.emplace("inf", JsonValue::number(std::numeric_limits<double>::infinity()));
  JsonValue::Object outer;
  outer.emplace("s", JsonValue::string("q\"\\\n\x01"));
  outer.emplace("o", JsonValue::object(std::move(inner)));
  outer.emplace("e", JsonValue::object(JsonValue::Object()));
  outer.emplace("n", JsonValue::number(-2.0));
  EXPECT_EQ(JsonValue::object(std::move(outer)).dump(),
            R"({"e":{},"n":-2,"o":{"inf":null,"z":0.5},"s":"q\"\\\n\u0001"})");
}

}  // namespace
}  // namespace ruvo
